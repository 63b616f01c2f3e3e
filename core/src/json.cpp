#include "json.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "rapidjson.hpp"
#include "utf8.hpp"

namespace vela::json {
namespace {

constexpr std::size_t kMaxDepth = 127;

// RapidJSON keeps decoded strings on its own stack; this allocator wipes that
// stack when it grows or is released, since strings may be secrets.
struct WipingStack {
  static const bool kNeedFree = true;
  static constexpr std::size_t kHeader = alignof(std::max_align_t);

  void *Malloc(std::size_t n) {
    if (n == 0) return nullptr;
    auto *base = static_cast<unsigned char *>(std::malloc(n + kHeader));
    if (base == nullptr) throw std::bad_alloc();
    std::memcpy(base, &n, sizeof n);
    return base + kHeader;
  }
  void *Realloc(void *old, std::size_t old_size, std::size_t n) {
    void *fresh = Malloc(n);
    if (old != nullptr && fresh != nullptr) std::memcpy(fresh, old, std::min(old_size, n));
    Free(old);
    return fresh;
  }
  static void Free(void *p) {
    if (p == nullptr) return;
    auto *base = static_cast<unsigned char *>(p) - kHeader;
    std::size_t n;
    std::memcpy(&n, base, sizeof n);
    sodium_memzero(p, n);
    std::free(base);
  }
};

// What the next value of the document is to become.
struct Target {
  enum class Slot : std::uint8_t { root, member, element, skipped } slot;
  Type type;
  bool optional;
  const Layout *nested;
  const Field *field;  // the member, or the list or map holding the element
  void *owner;         // the record, list or map; for the root, the output
  std::string_view key;

  static Target member(const Field &f, void *record) {
    return {Slot::member, f.type, f.optional, f.nested, &f, record, {}};
  }
  static Target element(const Field &f, void *container, std::string_view key) {
    return {Slot::element, Type::record, false, f.nested, &f, container, key};
  }

  void *storage() const {
    switch (slot) {
      case Slot::member: return field->open(owner);
      case Slot::element: return field->add(owner, key);
      default: return owner;
    }
  }
};

struct Frame {
  enum class Form : std::uint8_t { object, array, list, map } form;
  const Layout *layout;  // the record, or the element record of a list or map
  const Field *field;    // the list or map field
  void *storage;
  std::uint32_t seen = 0;  // object: a bit per field seen; array: fields read
  int pending = -1;        // object: the field awaiting its value, or kSkipped
  std::string key;         // map: the key awaiting its value
};

constexpr int kSkipped = -2;

class Handler {
 public:
  Handler(const Layout &layout, void *out)
      : root_{Target::Slot::root, Type::record, false, &layout, nullptr, out, {}} {}

  bool Null() { return skipping() || (next() && (target_.optional || target_.slot == Target::Slot::skipped)); }
  bool Bool(bool b) { return skipping() || (next() && accept_bool(b)); }
  bool RawNumber(const char *s, rapidjson::SizeType n, bool) {
    return skipping() || (next() && accept_number({s, n}));
  }
  bool String(const char *s, rapidjson::SizeType n, bool) {
    std::string_view text{s, n};
    return utf8::valid(text) && (skipping() || (next() && accept_string(text)));
  }
  bool Key(const char *s, rapidjson::SizeType n, bool) {
    std::string_view key{s, n};
    return utf8::valid(key) && (skipping() || accept_key(key));
  }
  bool StartObject() { return open(Frame::Form::object); }
  bool StartArray() { return open(Frame::Form::array); }
  bool EndObject(rapidjson::SizeType) { return skip_depth_ > 0 ? (--skip_depth_, true) : close(); }
  bool EndArray(rapidjson::SizeType) { return skip_depth_ > 0 ? (--skip_depth_, true) : close(); }

  // Never called with raw numbers; part of the handler concept.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(std::int64_t) { return false; }
  bool Uint64(std::uint64_t) { return false; }
  bool Double(double) { return false; }

  bool done() const { return done_; }

 private:
  bool skipping() const { return skip_depth_ > 0; }

  // Takes the target of the value that starts now.
  bool next() {
    if (frames_.empty()) {
      if (done_) return false;
      target_ = root_;
      return true;
    }
    Frame &f = frames_.back();
    switch (f.form) {
      case Frame::Form::object:
        target_ = f.pending == kSkipped
                      ? Target{Target::Slot::skipped, Type::any, true, nullptr, nullptr, nullptr, {}}
                      : Target::member(f.layout->fields[static_cast<std::size_t>(f.pending)], f.storage);
        f.pending = -1;
        return true;
      case Frame::Form::array:
        if (f.seen >= f.layout->fields.size()) return false;  // an extra element
        target_ = Target::member(f.layout->fields[f.seen++], f.storage);
        return true;
      default:
        target_ = Target::element(*f.field, f.storage, f.key);
        return true;
    }
  }

  bool accept_bool(bool b) {
    if (target_.type != Type::boolean) return present();
    *static_cast<bool *>(target_.storage()) = b;
    return true;
  }

  bool accept_number(std::string_view raw) {
    switch (target_.type) {
      case Type::u32: {
        std::uint64_t v;
        if (!unsigned_integer(raw, v) || v > UINT32_MAX) return false;
        *static_cast<std::uint32_t *>(target_.storage()) = static_cast<std::uint32_t>(v);
        return true;
      }
      case Type::u64:
        return unsigned_integer(raw, *static_cast<std::uint64_t *>(target_.storage()));
      case Type::i64:
        return signed_integer(raw, *static_cast<std::int64_t *>(target_.storage()));
      default:
        return present();
    }
  }

  bool accept_string(std::string_view text) {
    switch (target_.type) {
      case Type::text:
        static_cast<std::string *>(target_.storage())->assign(text);
        return true;
      case Type::secret:
        static_cast<secret::Text *>(target_.storage())->assign(text);
        return true;
      default:
        return present();
    }
  }

  // A value kept only for its presence, or passed over.
  bool present() {
    if (target_.type != Type::any) return false;
    if (target_.slot != Target::Slot::skipped) target_.storage();
    return true;
  }

  bool accept_key(std::string_view key) {
    Frame &f = frames_.back();
    if (f.form == Frame::Form::map) {
      f.key.assign(key);
      return true;
    }
    const auto &fields = f.layout->fields;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].name != key) continue;
      if (f.seen & (1u << i)) return false;  // given twice
      f.seen |= 1u << i;
      f.pending = static_cast<int>(i);
      return true;
    }
    if (f.layout->extra == Extra::refuse) return false;
    f.pending = kSkipped;
    return true;
  }

  bool open(Frame::Form form) {
    if (skipping()) return ++skip_depth_, true;
    if (!next()) return false;
    if (target_.type == Type::any) {
      skip_depth_ = 1;
      return present();
    }
    if (frames_.size() >= kMaxDepth) return false;
    bool object = form == Frame::Form::object;
    switch (target_.type) {
      case Type::record:
        return push(form);
      case Type::list:
        return !object && push(Frame::Form::list);
      case Type::map:
        return object && push(Frame::Form::map);
      default:
        return false;
    }
  }

  bool push(Frame::Form form) {
    frames_.push_back({form, target_.nested, target_.field, target_.storage(), 0, -1, {}});
    return true;
  }

  bool close() {
    const Frame &f = frames_.back();
    const auto &fields = f.layout->fields;
    if (f.form == Frame::Form::object) {
      for (std::size_t i = 0; i < fields.size(); ++i)
        if (!fields[i].optional && !(f.seen & (1u << i))) return false;
    } else if (f.form == Frame::Form::array) {
      for (std::size_t i = f.seen; i < fields.size(); ++i)
        if (!fields[i].optional) return false;
    }
    frames_.pop_back();
    done_ = frames_.empty();
    return true;
  }

  static bool unsigned_integer(std::string_view raw, std::uint64_t &out) {
    if (raw.find_first_of("-.eE") != std::string_view::npos) return false;
    auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), out);
    return ec == std::errc{} && end == raw.data() + raw.size();
  }

  static bool signed_integer(std::string_view raw, std::int64_t &out) {
    if (raw.find_first_of(".eE") != std::string_view::npos || raw == "-0") return false;
    auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), out);
    return ec == std::errc{} && end == raw.data() + raw.size();
  }

  Target root_;
  Target target_{};
  std::vector<Frame> frames_;
  std::size_t skip_depth_ = 0;
  bool done_ = false;
};

}  // namespace

bool read_into(std::span<const std::uint8_t> bytes, const Layout &layout, void *out) {
  // RapidJSON takes a NUL byte for the end of its input; none belongs in JSON.
  if (!bytes.empty() && std::memchr(bytes.data(), 0, bytes.size()) != nullptr) return false;
  Handler handler(layout, out);
  WipingStack stack;
  rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, WipingStack> reader(&stack);
  rapidjson::MemoryStream stream(reinterpret_cast<const char *>(bytes.data()), bytes.size());
  constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
  return !reader.Parse<flags>(stream, handler).IsError() && handler.done();
}

}  // namespace vela::json
