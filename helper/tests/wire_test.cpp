#include <gtest/gtest.h>

#include "platform/wire.hpp"

namespace vela::platform::ipc::wire {
namespace {

using namespace std::string_literals;

// The body of a frame, without its header.
Data body(const Entries &entries, bool expectsReply = true) {
  auto frame = encode(entries, expectsReply);
  return Data(frame.begin() + kHeader, frame.end());
}

Data edited(Data bytes, std::size_t at, std::uint8_t value) {
  bytes.at(at) = value;
  return bytes;
}

// Dictionaries nested `depth` deep, as a value of a body (which is one level more).
std::shared_ptr<const Dictionary> nested(unsigned depth) {
  auto outer = std::make_shared<Dictionary>();
  if (depth > 1) outer->set("d", nested(depth - 1));
  return outer;
}

Entries distinctKeys(std::size_t count) {
  Entries entries;
  for (std::size_t i = 0; i < count; ++i) entries.emplace_back(std::to_string(i), true);
  return entries;
}

// A dictionary of `count` entries, as a value.
std::shared_ptr<const Dictionary> holding(std::size_t count) {
  auto dictionary = std::make_shared<Dictionary>();
  for (auto &[key, value] : distinctKeys(count)) dictionary->set(key, value);
  return dictionary;
}

TEST(Wire, RefusedBodies) {
  const Data sound = body({{"k", true}});  // flags, count, key size, "k", tag, value
  struct Row {
    const char *name;
    Data body;
    bool decodes;
  };
  const Row rows[] = {
      {"sound", sound, true},
      {"empty", {}, false},
      {"flags_other_than_0_or_1", edited(sound, 0, 2), false},
      {"bool_other_than_0_or_1", edited(sound, 11, 2), false},
      {"unknown_tag", edited(sound, 10, 7), false},
      {"count_past_the_end", edited(sound, 4, 2), false},
      {"size_past_the_end", edited(sound, 5, 0x7f), false},
      {"byte_left_over", [&] { auto b = sound; b.push_back(0); return b; }(), false},
      {"truncated_integer", [] { auto b = body({{"k", std::uint64_t{1}}}); b.pop_back(); return b; }(), false},
      {"repeated_key", body({{"k", true}, {"k", true}}), false},
      {"nul_in_key", body({{"a\0b"s, true}}), false},
      {"nul_in_string", body({{"k", "a\0b"s}}), false},
      {"key_of_256_bytes", body({{std::string(256, 'k'), true}}), true},
      {"key_of_257_bytes", body({{std::string(257, 'k'), true}}), false},
      {"nested_8_deep", body({{"d", nested(7)}}), true},
      {"nested_9_deep", body({{"d", nested(8)}}), false},
      {"1024_entries", body(distinctKeys(1024)), true},
      {"1025_entries", body(distinctKeys(1025)), false},
      {"1025_entries_in_all", body({{"a", holding(600)}, {"b", holding(423)}}), false},  // with their own two
  };
  for (const auto &row : rows) EXPECT_EQ(decode(row.body).has_value(), row.decodes) << row.name;
}

}  // namespace
}  // namespace vela::platform::ipc::wire
