#include "json.hpp"

#include <bit>
#include <charconv>
#include <cstring>

#include "utf8.hpp"

namespace vela::json {
namespace {

constexpr int kMaxDepth = 127;

// Sixteen bytes of a string, compared all at once.
using Chunk = signed char __attribute__((vector_size(16)));
static_assert(std::endian::native == std::endian::little);

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

// Four hexadecimal digits at s, or false.
bool hex4(const char *s, std::uint32_t &out) {
  out = 0;
  for (int i = 0; i < 4; ++i) {
    char c = s[i];
    std::uint32_t d;
    if (digit(c)) d = static_cast<std::uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<std::uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<std::uint32_t>(c - 'A' + 10);
    else return false;
    out = out << 4 | d;
  }
  return true;
}

bool high_surrogate(std::uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool low_surrogate(std::uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Integers of exact width on the number's own text, which is valid JSON.
bool unsigned_integer(std::string_view raw, std::uint64_t &out) {
  if (raw.find_first_of("-.eE") != std::string_view::npos) return false;
  auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), out);
  return ec == std::errc{} && end == raw.data() + raw.size();
}

bool signed_integer(std::string_view raw, std::int64_t &out) {
  if (raw.find_first_of(".eE") != std::string_view::npos || raw == "-0") return false;
  auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), out);
  return ec == std::errc{} && end == raw.data() + raw.size();
}

// One pass over the bytes, straight into the records: read values by their
// fields, skipped values checked for form only. A string without escapes is
// taken from the input as it stands; an escaped one is decoded into a wiped
// scratch buffer, since strings may be secrets.
class Reader {
 public:
  Reader(std::span<const std::uint8_t> bytes, char *arena)
      : p_(reinterpret_cast<const char *>(bytes.data())), end_(p_ + bytes.size()), arena_(arena) {}

  bool document(const Layout &layout, void *out) {
    skip_space();
    if (peek() != '{' && peek() != '[') return false;
    if (!record(layout, out, 1)) return false;
    skip_space();
    return p_ == end_;
  }

 private:
  // The next byte, or NUL at the end: no JSON token starts with a NUL byte.
  char peek() const { return p_ < end_ ? *p_ : '\0'; }
  void skip_space() {
    while (p_ < end_ && space(*p_)) ++p_;
  }
  void skip_digits() {
    while (p_ < end_ && digit(*p_)) ++p_;
  }
  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0)
      return false;
    p_ += word.size();
    return true;
  }

  // The members or elements of a container whose opening bracket is read,
  // each read by one call of each().
  template <class Each>
  bool elements(char close, Each each) {
    skip_space();
    if (peek() == close) return ++p_, true;
    for (;;) {
      if (!each()) return false;
      skip_space();
      if (p_ == end_) return false;
      char c = *p_++;
      if (c == close) return true;
      if (c != ',') return false;
    }
  }

  // A record in object or array form; depth counts its own bracket.
  bool record(const Layout &layout, void *out, int depth) {
    const auto &fields = layout.fields;
    if (*p_++ == '[') {
      std::size_t n = 0;
      if (!elements(']', [&] { return n < fields.size() && member(fields[n++], out, depth); })) return false;
      for (; n < fields.size(); ++n)
        if (!fields[n].optional) return false;
      return true;
    }
    std::uint32_t seen = 0;  // a bit per field
    std::size_t next = 0;
    bool read = elements('}', [&] {
      // Keys mostly come in the table's order: the name after the last one
      // read is tried first, as it stands in the input.
      std::size_t i = next;
      if (i < fields.size() && plain_key(fields[i].name)) {
        if (!colon()) return false;
      } else {
        std::string_view key;
        if (!key_text(key)) return false;
        for (i = 0; i < fields.size() && fields[i].name != key; ++i) {
        }
      }
      next = i + 1;
      if (i == fields.size()) return layout.extra == Extra::skip && skip_value();
      if (seen & (1u << i)) return false;  // given twice
      seen |= 1u << i;
      return member(fields[i], out, depth);
    });
    if (!read) return false;
    for (std::size_t i = 0; i < fields.size(); ++i)
      if (!fields[i].optional && !(seen & (1u << i))) return false;
    return true;
  }

  // The value of field f of the record at out.
  bool member(const Field &f, void *out, int depth) {
    skip_space();
    switch (peek()) {
      case 'n': return literal("null") && f.optional;
      case 't': return literal("true") && boolean(f, out, true);
      case 'f': return literal("false") && boolean(f, out, false);
      case '"': return text(f, out);
      case '{':
      case '[': return nested(f, out, depth);
      default: return number(f, out);
    }
  }

  // A value kept only for its presence.
  static bool present(const Field &f, void *out) {
    if (f.type != Type::any) return false;
    f.open(out);
    return true;
  }

  static bool boolean(const Field &f, void *out, bool b) {
    if (f.type != Type::boolean) return present(f, out);
    *static_cast<bool *>(f.open(out)) = b;
    return true;
  }

  bool text(const Field &f, void *out) {
    std::string_view raw;
    bool escaped;
    if (!string(raw, escaped)) return false;
    switch (f.type) {
      case Type::text:
        static_cast<std::string *>(f.open(out))->assign(escaped ? decode(raw) : raw);
        return true;
      case Type::view: {
        auto value = escaped ? decode(raw) : raw;
        std::memcpy(arena_, value.data(), value.size());
        *static_cast<std::string_view *>(f.open(out)) = {arena_, value.size()};
        arena_ += value.size();
        return true;
      }
      case Type::secret:
        static_cast<secret::Text *>(f.open(out))->assign(escaped ? decode(raw) : raw);
        return true;
      default:
        return present(f, out);
    }
  }

  bool number(const Field &f, void *out) {
    std::string_view raw;
    if (!number_text(raw)) return false;
    switch (f.type) {
      case Type::u32: {
        std::uint64_t v;
        if (!unsigned_integer(raw, v) || v > UINT32_MAX) return false;
        *static_cast<std::uint32_t *>(f.open(out)) = static_cast<std::uint32_t>(v);
        return true;
      }
      case Type::u64: {
        std::uint64_t v;
        if (!unsigned_integer(raw, v)) return false;
        *static_cast<std::uint64_t *>(f.open(out)) = v;
        return true;
      }
      case Type::i64: {
        std::int64_t v;
        if (!signed_integer(raw, v)) return false;
        *static_cast<std::int64_t *>(f.open(out)) = v;
        return true;
      }
      default:
        return present(f, out);
    }
  }

  // An object or array as the value of field f, at the record's depth.
  bool nested(const Field &f, void *out, int depth) {
    if (f.type == Type::any) return skip_value() && present(f, out);
    if (depth >= kMaxDepth) return false;
    bool object = *p_ == '{';
    switch (f.type) {
      case Type::record:
        return record(*f.nested, f.open(out), depth + 1);
      case Type::list:
        if (object) return false;
        ++p_;
        return elements(']', [&, list = f.open(out)] { return element(f, list, {}, depth + 1); });
      case Type::map:
        if (!object) return false;
        ++p_;
        return elements('}', [&, map = f.open(out)] {
          std::string_view key;
          return key_text(key) && element(f, map, key, depth + 1);
        });
      default:
        return false;
    }
  }

  // A record added to the list or map of field f, at the container's depth.
  bool element(const Field &f, void *container, std::string_view key, int depth) {
    skip_space();
    if ((peek() != '{' && peek() != '[') || depth >= kMaxDepth) return false;
    return record(*f.nested, f.add(container, key), depth + 1);
  }

  // A member's key and its colon; an escaped key is decoded.
  bool key_text(std::string_view &key) {
    skip_space();
    std::string_view raw;
    bool escaped;
    if (peek() != '"' || !string(raw, escaped)) return false;
    key = escaped ? decode(raw) : raw;
    return colon();
  }

  // The key string is exactly this name (which needs no escape).
  bool plain_key(std::string_view name) {
    skip_space();
    if (static_cast<std::size_t>(end_ - p_) < name.size() + 2 || p_[0] != '"' || p_[name.size() + 1] != '"')
      return false;
    for (std::size_t k = 0; k < name.size(); ++k)
      if (p_[k + 1] != name[k]) return false;
    p_ += name.size() + 2;
    return true;
  }

  bool colon() {
    skip_space();
    return peek() == ':' && (++p_, true);
  }

  // One well-formed value of any type and depth, passed over.
  bool skip_value() {
    nest_.clear();  // the closing bracket of each open container
    for (;;) {
      skip_space();
      std::string_view raw;
      bool escaped;
      switch (peek()) {
        case '{':
          ++p_;
          skip_space();
          if (peek() == '}') {
            ++p_;
            break;
          }
          nest_.push_back('}');
          if (!skipped_key()) return false;
          continue;
        case '[':
          ++p_;
          skip_space();
          if (peek() == ']') {
            ++p_;
            break;
          }
          nest_.push_back(']');
          continue;
        case '"':
          if (!string(raw, escaped)) return false;
          break;
        case 't':
          if (!literal("true")) return false;
          break;
        case 'f':
          if (!literal("false")) return false;
          break;
        case 'n':
          if (!literal("null")) return false;
          break;
        default:
          if (!number_text(raw)) return false;
      }
      // After a value: close what ends here, then go on to the next one.
      for (;;) {
        if (nest_.empty()) return true;
        skip_space();
        if (p_ == end_) return false;
        char c = *p_++;
        if (c == nest_.back()) {
          nest_.pop_back();
          continue;
        }
        if (c != ',' || (nest_.back() == '}' && !skipped_key())) return false;
        break;
      }
    }
  }

  bool skipped_key() {
    std::string_view key;
    return key_text(key);
  }

  // A number's text by the JSON grammar.
  bool number_text(std::string_view &raw) {
    const char *start = p_;
    if (peek() == '-') ++p_;
    if (peek() == '0') ++p_;
    else if (digit(peek())) skip_digits();
    else return false;
    if (peek() == '.') {
      ++p_;
      if (!digit(peek())) return false;
      skip_digits();
    }
    if (peek() == 'e' || peek() == 'E') {
      ++p_;
      if (peek() == '+' || peek() == '-') ++p_;
      if (!digit(peek())) return false;
      skip_digits();
    }
    raw = {start, p_};
    return true;
  }

  // A string from its opening quote: raw is the text between the quotes,
  // checked for strict UTF-8, control characters and escapes.
  bool string(std::string_view &raw, bool &escaped) {
    const char *start = ++p_;
    escaped = false;
    for (;;) {
      while (end_ - p_ >= 16) {  // bytes that need no attention, sixteen at a time
        Chunk v;
        std::memcpy(&v, p_, sizeof v);
        Chunk hit = (v == '"') | (v == '\\') | (v < 0x20);  // below 0x20, or 0x80 and above
        std::uint64_t half[2];
        std::memcpy(half, &hit, sizeof half);
        if (half[0] != 0) {
          p_ += std::countr_zero(half[0]) / 8;
          break;
        }
        if (half[1] != 0) {
          p_ += 8 + std::countr_zero(half[1]) / 8;
          break;
        }
        p_ += 16;
      }
      if (p_ == end_) return false;
      auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        raw = {start, p_++};
        return true;
      }
      if (c == '\\') {
        escaped = true;
        if (!escape()) return false;
      } else if (c >= 0x80) {
        std::size_t n = utf8::sequence(reinterpret_cast<const std::uint8_t *>(p_), end_ - p_);
        if (n == 0) return false;
        p_ += n;
      } else if (c < 0x20) {
        return false;
      } else {
        ++p_;
      }
    }
  }

  // One escape from its backslash; a high surrogate must be followed at once
  // by an escaped low surrogate.
  bool escape() {
    if (end_ - p_ < 2) return false;
    char e = p_[1];
    p_ += 2;
    if (e != 'u') return std::string_view("\"\\/bfnrt").find(e) != std::string_view::npos;
    std::uint32_t code, low;
    if (end_ - p_ < 4 || !hex4(p_, code) || low_surrogate(code)) return false;
    p_ += 4;
    if (!high_surrogate(code)) return true;
    if (end_ - p_ < 6 || p_[0] != '\\' || p_[1] != 'u' || !hex4(p_ + 2, low) || !low_surrogate(low)) return false;
    p_ += 6;
    return true;
  }

  // The text of a checked string that holds escapes.
  std::string_view decode(std::string_view raw) {
    scratch_.clear();
    for (std::size_t i = 0; i < raw.size();) {
      auto slash = std::min(raw.find('\\', i), raw.size());
      scratch_.insert(scratch_.end(), raw.begin() + i, raw.begin() + slash);
      if (slash == raw.size()) break;
      char e = raw[slash + 1];
      i = slash + 2;
      if (e != 'u') {
        constexpr std::string_view from = "bfnrt", to = "\b\f\n\r\t";
        auto k = from.find(e);
        scratch_.push_back(k == std::string_view::npos ? e : to[k]);
        continue;
      }
      std::uint32_t code, low;
      hex4(raw.data() + i, code);
      i += 4;
      if (high_surrogate(code)) {
        hex4(raw.data() + i + 2, low);
        i += 6;
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      }
      append_utf8(code);
    }
    return {scratch_.data(), scratch_.size()};
  }

  void append_utf8(std::uint32_t code) {
    auto put = [&](std::uint32_t b) { scratch_.push_back(static_cast<char>(b)); };
    if (code < 0x80) {
      put(code);
    } else if (code < 0x800) {
      put(0xC0 | code >> 6);
      put(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      put(0xE0 | code >> 12);
      put(0x80 | (code >> 6 & 0x3F));
      put(0x80 | (code & 0x3F));
    } else {
      put(0xF0 | code >> 18);
      put(0x80 | (code >> 12 & 0x3F));
      put(0x80 | (code >> 6 & 0x3F));
      put(0x80 | (code & 0x3F));
    }
  }

  const char *p_;
  const char *end_;
  char *arena_;  // where the next text held as a view goes
  std::vector<char, secret::WipingAllocator<char>> scratch_;
  std::string nest_;
};

}  // namespace

bool read_into(std::span<const std::uint8_t> bytes, const Layout &layout, void *out, char *arena) {
  return Reader(bytes, arena).document(layout, out);
}

}  // namespace vela::json
