#include "json.hpp"

#include <gtest/gtest.h>

#include <string>

#include "documents.hpp"

namespace vela::json {
namespace {

struct Leaf {
  std::string name;
  std::optional<std::string> note;
};

struct Doc {
  std::uint32_t small = 0;
  std::uint64_t big = 0;
  std::int64_t sign = 0;
  bool flag = false;
  std::optional<AnyValue> halt;
  std::optional<Leaf> leaf;
  std::vector<Leaf> leaves;
  std::optional<Map<Leaf>> entries;
};

struct Node {
  std::optional<std::vector<Node>> kids;
};

constexpr Field leaf_fields[] = {field<&Leaf::name>("name"), field<&Leaf::note>("note")};
constexpr Record<Leaf> leaf{leaf_fields, Extra::refuse};
constexpr Field doc_fields[] = {
    field<&Doc::small>("small"), field<&Doc::big>("big"),   field<&Doc::sign>("sign"),
    field<&Doc::flag>("flag"),   field<&Doc::halt>("halt"), field<&Doc::leaf>("leaf", &leaf),
    field<&Doc::leaves>("leaves", &leaf), field<&Doc::entries>("entries", &leaf),
};
constexpr Record<Doc> doc{doc_fields, Extra::skip};
extern const Record<Node> node;
constexpr Field node_fields[] = {field<&Node::kids>("kids", &node)};
constexpr Record<Node> node{node_fields, Extra::refuse};

using test::bytes;

const std::string kBase = R"("small":1,"big":2,"sign":-3,"flag":true,"leaves":[])";
std::string object(const std::string &extra) { return "{" + kBase + extra + "}"; }
// The base with the first occurrence of a text replaced.
std::string edited(const std::string &from, const std::string &to) {
  std::string text = object("");
  return text.replace(text.find(from), from.size(), to);
}

// The form of JSON itself (whitespace, byte-order mark, NUL, escapes,
// surrogates, UTF-8, numbers, skipped values) and the values read are
// checked against another parser by fuzz/json_fuzz.cpp, from its seeds on.
TEST(Reader, Rules) {
  const std::tuple<const char *, std::string, bool> rows[] = {
      {"unknown_key_skipped", object(R"(,"other":1,"other":[{"small":"x"}])"), true},
      {"key_twice", object(R"(,"small":1)"), false},
      {"key_running_into_its_value", edited(R"("small":)", R"("smallx:)"), false},
      {"required_null", edited("1", "null"), false},
      {"u32_over", edited("1", "4294967296"), false},
      {"u64_over", edited("2", "18446744073709551616"), false},
      {"i64_over", edited("-3", "9223372036854775808"), false},
      {"unsigned_negative", edited("1", "-1"), false},
      {"exponent", edited("1", "1e2"), false},
      {"number_as_string", edited("1", R"("1")"), false},
      {"bool_as_number", edited("true", "1"), false},
      {"halt_any_object", object(R"(,"halt":{"a":[1,{"b":null}]})"), true},
      {"nested_array_empty", object(R"(,"leaf":[])"), false},
      {"nested_array_extra", object(R"(,"leaf":["a",null,1])"), false},
      {"nested_wrong_type", object(R"(,"leaf":"a")"), false},
      {"list_element_null", edited("[]", "[null]"), false},
      {"list_as_object", edited("[]", "{}"), false},
      {"map_as_array", object(R"(,"entries":[])"), false},
  };
  for (const auto &[name, text, ok] : rows) EXPECT_EQ(read(bytes(text), doc).has_value(), ok) << name;
}

TEST(Reader, Depth) {
  auto nested = [](std::size_t depth) { return read(bytes(std::string(depth, '[') + std::string(depth, ']')), node); };
  EXPECT_TRUE(nested(127));
  EXPECT_FALSE(nested(128));
  // Skipped values nest at any depth.
  std::string deep(100'000, '[');
  EXPECT_TRUE(read(bytes(object(R"(,"x":)" + deep + std::string(100'000, ']'))), doc));
}

}  // namespace
}  // namespace vela::json
