#include "json.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

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
};

struct Loose {
  std::string name;
  std::optional<Leaf> leaf;
};

struct Dict {
  Map<Leaf> entries;
};

constexpr Field leaf_fields[] = {field<&Leaf::name>("name"), field<&Leaf::note>("note")};
constexpr Record<Leaf> leaf{leaf_fields, Extra::refuse};

constexpr Field doc_fields[] = {
    field<&Doc::small>("small"), field<&Doc::big>("big"),           field<&Doc::sign>("sign"),
    field<&Doc::flag>("flag"),   field<&Doc::halt>("halt"),         field<&Doc::leaf>("leaf", &leaf),
    field<&Doc::leaves>("leaves", &leaf),
};
constexpr Record<Doc> doc{doc_fields, Extra::refuse};

constexpr Field loose_fields[] = {field<&Loose::name>("name"), field<&Loose::leaf>("leaf", &leaf)};
constexpr Record<Loose> loose{loose_fields, Extra::skip};

constexpr Field dict_fields[] = {field<&Dict::entries>("entries", &leaf)};
constexpr Record<Dict> dict{dict_fields, Extra::refuse};

std::span<const std::uint8_t> bytes(const std::string &s) {
  return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

const std::string kBase = R"("small":1,"big":2,"sign":-3,"flag":true,"leaves":[])";
std::string object(const std::string &extra) { return "{" + kBase + extra + "}"; }

TEST(Reader, Rules) {
  struct Row {
    const char *name;
    std::string text;
    bool ok;
  };
  const Row rows[] = {
      {"whitespace_around", " \t\r\n" + object("") + " \t\r\n", true},
      {"byte_order_mark", "\xEF\xBB\xBF" + object(""), false},
      {"trailing_text", object("") + "x", false},
      {"nul_after_value", object("") + std::string("\0x", 2), false},
      {"empty", "", false},
      {"scalar_root", "1", false},
      {"unknown_key_refused", object(R"(,"other":1)"), false},
      {"key_twice", object(R"(,"small":1)"), false},
      {"required_missing", R"({"small":1,"big":2,"sign":3,"flag":true})", false},
      {"required_null", R"({"small":null,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
      {"escaped_key", R"({"sm\u0061ll":1,"big":2,"sign":-3,"flag":true,"leaves":[]})", true},
      {"key_case", R"({"Small":1,"big":2,"sign":-3,"flag":true,"leaves":[]})", false},
      {"u32_max", R"({"small":4294967295,"big":2,"sign":3,"flag":true,"leaves":[]})", true},
      {"u32_over", R"({"small":4294967296,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
      {"u64_max", R"({"small":1,"big":18446744073709551615,"sign":3,"flag":true,"leaves":[]})", true},
      {"u64_over", R"({"small":1,"big":18446744073709551616,"sign":3,"flag":true,"leaves":[]})", false},
      {"i64_min", R"({"small":1,"big":2,"sign":-9223372036854775808,"flag":true,"leaves":[]})", true},
      {"i64_over", R"({"small":1,"big":2,"sign":9223372036854775808,"flag":true,"leaves":[]})", false},
      {"unsigned_negative", R"({"small":-1,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
      {"signed_minus_zero", R"({"small":1,"big":2,"sign":-0,"flag":true,"leaves":[]})", false},
      {"exponent", R"({"small":1e2,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
      {"number_as_string", R"({"small":"1","big":2,"sign":3,"flag":true,"leaves":[]})", false},
      {"bool_as_number", R"({"small":1,"big":2,"sign":3,"flag":1,"leaves":[]})", false},
      {"surrogate_pair", object(R"(,"leaf":{"name":"\ud83d\ude00"})"), true},
      {"lone_high_surrogate", object(R"(,"leaf":{"name":"\ud83d"})"), false},
      {"lone_low_surrogate", object(R"(,"leaf":{"name":"\udc00"})"), false},
      {"invalid_utf8", object(",\"leaf\":{\"name\":\"\xC3\x28\"}"), false},
      {"invalid_utf8_in_key", object(",\"\xFF\":1"), false},
      {"halt_any_object", object(R"(,"halt":{"a":[1,{"b":null}]})"), true},
      {"halt_bad_json", object(R"(,"halt":[1,])"), false},
      {"halt_lone_surrogate", object(R"(,"halt":"\udc00")"), false},
      {"nested_unknown_key", object(R"(,"leaf":{"name":"a","x":1})"), false},
      {"nested_array_form", object(R"(,"leaf":["a","b"])"), true},
      {"nested_array_short_optional", object(R"(,"leaf":["a"])"), true},
      {"nested_array_empty", object(R"(,"leaf":[])"), false},
      {"nested_array_extra", object(R"(,"leaf":["a",null,1])"), false},
      {"nested_wrong_type", object(R"(,"leaf":"a")"), false},
      {"list_element_null", R"({"small":1,"big":2,"sign":3,"flag":true,"leaves":[null]})", false},
      {"list_as_object", R"({"small":1,"big":2,"sign":3,"flag":true,"leaves":{}})", false},
      {"array_form", R"([1,2,-3,true,null,null,[]])", true},
  };
  for (const Row &row : rows) EXPECT_EQ(read(bytes(row.text), doc).has_value(), row.ok) << row.name;
}

TEST(Reader, KeepsValues) {
  auto d = read(bytes(R"({"leaves":[{"name":"a"},["b","n"]],"small":7,"big":18446744073709551615,)"
                      R"("sign":-9223372036854775808,"flag":false,"halt":false,"leaf":["x\/y\u00e9"]})"),
                doc);
  ASSERT_TRUE(d);
  EXPECT_EQ(std::tuple(d->small, d->big, d->sign, d->flag), std::tuple(7u, UINT64_MAX, INT64_MIN, false));
  EXPECT_TRUE(d->halt.has_value());
  ASSERT_TRUE(d->leaf);
  EXPECT_EQ(d->leaf->name, "x/y\xC3\xA9");
  EXPECT_FALSE(d->leaf->note);
  ASSERT_EQ(d->leaves.size(), 2u);
  EXPECT_EQ(d->leaves[0].name + d->leaves[1].note.value(), "an");
}

TEST(Reader, SkipsUnknownKeysAtAnyDepth) {
  std::string deep(100'000, '[');
  deep += std::string(100'000, ']');
  auto l = read(bytes(R"({"x":)" + deep + R"(,"name":"a","x":{"name":1},"x":"\ud83d\ude00"})"), loose);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->name, "a");
  // Keys outside a nested record's list follow that record's own rule.
  EXPECT_FALSE(read(bytes(R"({"name":"a","leaf":{"name":"b","x":1}})"), loose));
}

TEST(Reader, MapKeepsLaterValue) {
  auto d = read(bytes(R"({"entries":{"b":{"name":"1"},"a":["2"],"b":{"name":"3","note":"n"}}})"), dict);
  ASSERT_TRUE(d);
  ASSERT_EQ(d->entries.size(), 2u);
  EXPECT_EQ(d->entries.at("b").name, "3");
  EXPECT_EQ(d->entries.at("a").name, "2");
  // The later value replaces the earlier one whole, optional fields included.
  d = read(bytes(R"({"entries":{"b":{"name":"1","note":"n"},"b":{"name":"3"}}})"), dict);
  ASSERT_TRUE(d);
  EXPECT_FALSE(d->entries.at("b").note);
  EXPECT_FALSE(read(bytes(R"({"entries":[]})"), dict));
}

}  // namespace
}  // namespace vela::json
