#include "json.hpp"

#include <gtest/gtest.h>

#include <string>

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
std::string with_nul(std::string s, const char *at) {
  s[s.find(at) + 1] = '\0';
  return s;
}

struct Case {
  const char *name;
  std::string text;
  bool ok;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }
std::string case_name(const testing::TestParamInfo<Case> &p) { return p.param.name; }

class DocCases : public testing::TestWithParam<Case> {};

TEST_P(DocCases, Reads) {
  EXPECT_EQ(read(bytes(GetParam().text), doc).has_value(), GetParam().ok) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DocCases,
    testing::Values(
        Case{"minimal", object(""), true},
        Case{"whitespace_around", " \t\r\n" + object("") + " \t\r\n", true},
        Case{"byte_order_mark", "\xEF\xBB\xBF" + object(""), false},
        Case{"trailing_text", object("") + "x", false},
        Case{"second_value", object("") + "{}", false},
        Case{"nul_after_value", object("") + std::string("\0x", 2), false},
        Case{"nul_in_string", with_nul(object(R"(,"leaf":{"name":"a_b"})"), "a_b"), false},
        Case{"empty", "", false},
        Case{"scalar_root", "1", false},
        Case{"null_root", "null", false},
        Case{"unknown_key_refused", object(R"(,"other":1)"), false},
        Case{"key_twice", object(R"(,"small":1)"), false},
        Case{"optional_key_twice", object(R"(,"halt":null,"halt":null)"), false},
        Case{"required_missing", R"({"small":1,"big":2,"sign":3,"flag":true})", false},
        Case{"required_null", R"({"small":null,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
        Case{"escaped_key", R"({"sm\u0061ll":1,"big":2,"sign":-3,"flag":true,"leaves":[]})", true},
        Case{"key_case", R"({"Small":1,"big":2,"sign":-3,"flag":true,"leaves":[]})", false},
        // integers
        Case{"u32_max", R"({"small":4294967295,"big":2,"sign":3,"flag":true,"leaves":[]})", true},
        Case{"u32_over", R"({"small":4294967296,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
        Case{"u64_max", R"({"small":1,"big":18446744073709551615,"sign":3,"flag":true,"leaves":[]})", true},
        Case{"u64_over", R"({"small":1,"big":18446744073709551616,"sign":3,"flag":true,"leaves":[]})", false},
        Case{"i64_min", R"({"small":1,"big":2,"sign":-9223372036854775808,"flag":true,"leaves":[]})", true},
        Case{"i64_under", R"({"small":1,"big":2,"sign":-9223372036854775809,"flag":true,"leaves":[]})", false},
        Case{"i64_over", R"({"small":1,"big":2,"sign":9223372036854775808,"flag":true,"leaves":[]})", false},
        Case{"unsigned_negative", R"({"small":-1,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
        Case{"unsigned_minus_zero", R"({"small":-0,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
        Case{"signed_minus_zero", R"({"small":1,"big":2,"sign":-0,"flag":true,"leaves":[]})", false},
        Case{"fraction", R"({"small":3.0,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
        Case{"exponent", R"({"small":1e2,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
        Case{"leading_zero", R"({"small":01,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
        Case{"plus_sign", R"({"small":+1,"big":2,"sign":3,"flag":true,"leaves":[]})", false},
        Case{"number_as_string", R"({"small":"1","big":2,"sign":3,"flag":true,"leaves":[]})", false},
        Case{"bool_as_number", R"({"small":1,"big":2,"sign":3,"flag":1,"leaves":[]})", false},
        // strings
        Case{"surrogate_pair", object(R"(,"leaf":{"name":"\ud83d\ude00"})"), true},
        Case{"lone_high_surrogate", object(R"(,"leaf":{"name":"\ud83d"})"), false},
        Case{"lone_low_surrogate", object(R"(,"leaf":{"name":"\udc00"})"), false},
        Case{"reversed_surrogates", object(R"(,"leaf":{"name":"\ude00\ud83d"})"), false},
        Case{"unknown_escape", object(R"(,"leaf":{"name":"\q"})"), false},
        Case{"raw_control", object(",\"leaf\":{\"name\":\"a\tb\"}"), false},
        Case{"invalid_utf8", object(",\"leaf\":{\"name\":\"\xC3\x28\"}"), false},
        Case{"overlong_utf8", object(",\"leaf\":{\"name\":\"\xC0\xAF\"}"), false},
        Case{"encoded_surrogate", object(",\"leaf\":{\"name\":\"\xED\xA0\x80\"}"), false},
        Case{"escaped_nul", object(R"(,"leaf":{"name":"\u0000"})"), true},
        Case{"invalid_utf8_in_key", object(",\"\xFF\":1"), false},
        // optional values and nested records
        Case{"halt_any_object", object(R"(,"halt":{"a":[1,{"b":null}]})"), true},
        Case{"halt_null", object(R"(,"halt":null)"), true},
        Case{"halt_bad_json", object(R"(,"halt":[1,])"), false},
        Case{"halt_lone_surrogate", object(R"(,"halt":"\udc00")"), false},
        Case{"nested_unknown_key", object(R"(,"leaf":{"name":"a","x":1})"), false},
        Case{"nested_array_form", object(R"(,"leaf":["a","b"])"), true},
        Case{"nested_array_short_optional", object(R"(,"leaf":["a"])"), true},
        Case{"nested_array_empty", object(R"(,"leaf":[])"), false},
        Case{"nested_array_extra", object(R"(,"leaf":["a",null,1])"), false},
        Case{"nested_wrong_type", object(R"(,"leaf":"a")"), false},
        Case{"list_of_mixed_forms", R"({"small":1,"big":2,"sign":3,"flag":true,"leaves":[{"name":"a"},["b",null]]})", true},
        Case{"list_null", R"({"small":1,"big":2,"sign":3,"flag":true,"leaves":null})", false},
        Case{"list_element_null", R"({"small":1,"big":2,"sign":3,"flag":true,"leaves":[null]})", false},
        Case{"list_as_object", R"({"small":1,"big":2,"sign":3,"flag":true,"leaves":{}})", false},
        // array form of the whole record
        Case{"array_form", R"([1,2,-3,true,null,null,[]])", true},
        Case{"array_form_object_inside", R"([1,2,-3,true,{},{"name":"x"},[["y"]]])", true},
        Case{"array_form_required_missing", R"([1,2,-3,true,null,null])", false},
        Case{"array_form_extra", R"([1,2,-3,true,null,null,[],0])", false},
        Case{"array_form_required_null", R"([1,null,-3,true,null,null,[]])", false}),
    case_name);

TEST(Reader, KeepsValues) {
  auto d = read(bytes(R"({"leaves":[{"name":"a"},["b","n"]],"small":7,"big":18446744073709551615,)"
                      R"("sign":-9223372036854775808,"flag":false,"halt":false,"leaf":["x\/y\u00e9"]})"),
                doc);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->small, 7u);
  EXPECT_EQ(d->big, UINT64_MAX);
  EXPECT_EQ(d->sign, INT64_MIN);
  EXPECT_FALSE(d->flag);
  EXPECT_TRUE(d->halt.has_value());
  ASSERT_TRUE(d->leaf);
  EXPECT_EQ(d->leaf->name, "x/y\xC3\xA9");
  EXPECT_FALSE(d->leaf->note);
  ASSERT_EQ(d->leaves.size(), 2u);
  EXPECT_EQ(d->leaves[0].name, "a");
  EXPECT_EQ(d->leaves[1].note, "n");
}

TEST(Reader, SkipsUnknownKeysAtAnyDepth) {
  std::string deep(100'000, '[');
  deep += std::string(100'000, ']');
  auto l = read(bytes(R"({"x":)" + deep + R"(,"name":"a","x":{"name":1},"x":"\ud83d\ude00"})"), loose);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->name, "a");
  // Keys outside a nested record's list follow that record's own rule.
  EXPECT_FALSE(read(bytes(R"({"name":"a","leaf":{"name":"b","x":1}})"), loose));
  EXPECT_FALSE(read(bytes(R"({"name":"a","x":[1,]})"), loose));
  EXPECT_FALSE(read(bytes(R"({"name":"a","name":"b"})"), loose));
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
  EXPECT_FALSE(read(bytes(R"({"entries":{"a":null}})"), dict));
}

TEST(Reader, DepthOfReadValues) {
  struct Chain {
    std::vector<Leaf> items;
  };
  constexpr static Field chain_fields[] = {field<&Chain::items>("items", &leaf)};
  constexpr static Record<Chain> chain{chain_fields, Extra::refuse};
  // Depth 3 is well inside the bound; the records themselves cannot nest
  // deeper than their declarations, so 127 is never reached by reading.
  EXPECT_TRUE(read(bytes(R"([[["a"]]])"), chain));
  EXPECT_FALSE(read(bytes(R"([[[["a"]]]])"), chain));
}

}  // namespace
}  // namespace vela::json
