#include "platform/wire.hpp"

#include <algorithm>
#include <type_traits>

namespace vela::platform::ipc::wire {

namespace {

enum Tag : std::uint8_t { kBool = 1, kUnsigned, kSigned, kString, kData, kDictionary };

void put_u32(Data &out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void put_u64(Data &out, std::uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void put_bytes(Data &out, std::span<const std::uint8_t> bytes) {
  put_u32(out, static_cast<std::uint32_t>(bytes.size()));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void put_text(Data &out, std::string_view text) {
  put_bytes(out, {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()});
}

void put_entries(Data &out, const Entries &entries);

void put_value(Data &out, const Value &value) {
  std::visit(
      [&out](const auto &held) {
        using T = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<T, bool>) {
          out.push_back(kBool);
          out.push_back(held ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          out.push_back(kUnsigned);
          put_u64(out, held);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          out.push_back(kSigned);
          put_u64(out, static_cast<std::uint64_t>(held));
        } else if constexpr (std::is_same_v<T, std::string>) {
          out.push_back(kString);
          put_text(out, held);
        } else if constexpr (std::is_same_v<T, Data>) {
          out.push_back(kData);
          put_bytes(out, held);
        } else {
          out.push_back(kDictionary);
          put_entries(out, held->entries());
        }
      },
      value);
}

void put_entries(Data &out, const Entries &entries) {
  put_u32(out, static_cast<std::uint32_t>(entries.size()));
  for (const auto &[key, value] : entries) {
    put_text(out, key);
    put_value(out, value);
  }
}

// Reads a body front to back; every read fails rather than pass its end.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool done() const { return bytes_.empty(); }

  std::optional<std::span<const std::uint8_t>> take(std::size_t size) {
    if (size > bytes_.size()) return std::nullopt;
    auto taken = bytes_.first(size);
    bytes_ = bytes_.subspan(size);
    return taken;
  }

  std::optional<std::uint64_t> number(std::size_t width) {
    auto bytes = take(width);
    if (!bytes) return std::nullopt;
    std::uint64_t value = 0;
    for (auto byte : *bytes) value = value << 8 | byte;
    return value;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> body) : in_(body) {}

  std::optional<Message> message() {
    auto flags = in_.number(1);
    if (!flags || *flags > 1) return std::nullopt;
    Message message{.body = {}, .expects_reply = *flags == 1};
    if (!dictionary(message.body, 1) || !in_.done()) return std::nullopt;
    return message;
  }

 private:
  std::optional<Data> bytes() {
    auto size = in_.number(4);
    auto taken = size ? in_.take(*size) : std::nullopt;
    return taken ? std::optional<Data>(Data(taken->begin(), taken->end())) : std::nullopt;
  }

  std::optional<std::string> text() {
    auto raw = bytes();
    if (!raw || std::ranges::find(*raw, 0) != raw->end()) return std::nullopt;
    return std::string(raw->begin(), raw->end());
  }

  std::optional<Value> value(unsigned depth) {
    auto tag = in_.number(1);
    if (!tag) return std::nullopt;
    switch (*tag) {
      case kBool: {
        auto flag = in_.number(1);
        return flag && *flag <= 1 ? std::optional<Value>(*flag == 1) : std::nullopt;
      }
      case kUnsigned: return in_.number(8);
      case kSigned: {
        auto bits = in_.number(8);
        return bits ? std::optional<Value>(static_cast<std::int64_t>(*bits)) : std::nullopt;
      }
      case kString: return text();
      case kData: return bytes();
      case kDictionary: {
        auto nested = std::make_shared<Dictionary>();
        if (depth >= kMaxDepth || !dictionary(*nested, depth + 1)) return std::nullopt;
        return std::shared_ptr<const Dictionary>(std::move(nested));
      }
      default: return std::nullopt;
    }
  }

  bool dictionary(Dictionary &out, unsigned depth) {
    auto count = in_.number(4);
    if (!count) return false;
    for (std::uint64_t i = 0; i < *count; ++i) {
      if (++entries_ > kMaxEntries) return false;
      auto key = text();
      if (!key || key->size() > kMaxKey || out.find(*key)) return false;
      auto held = value(depth);
      if (!held) return false;
      out.set(*key, std::move(*held));
    }
    return true;
  }

  Reader in_;
  std::size_t entries_ = 0;
};

}  // namespace

Data encode(const Entries &entries, bool expects_reply) {
  Data frame(kHeader, 0);
  frame.push_back(expects_reply ? 1 : 0);
  put_entries(frame, entries);
  auto size = static_cast<std::uint32_t>(frame.size() - kHeader);
  for (std::size_t i = 0; i < kHeader; ++i) frame[i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  return frame;
}

Data encode(const Message &message) { return encode(message.body.entries(), message.expects_reply); }

std::uint32_t body_size(std::span<const std::uint8_t, kHeader> header) {
  return std::uint32_t{header[0]} << 24 | std::uint32_t{header[1]} << 16 | std::uint32_t{header[2]} << 8 | header[3];
}

std::optional<Message> decode(std::span<const std::uint8_t> body) { return Decoder(body).message(); }

}  // namespace vela::platform::ipc::wire
