// The record reader against an independent parser (nlohmann's) on the same
// bytes: a record that skips everything is read exactly when the bytes are
// well-formed JSON without a byte-order mark, an object or an empty array; and what a typed record reads agrees with the values
// that parser finds. That parser refuses numbers beyond a double's range,
// which are well-formed JSON: it judges the form of a copy whose numbers
// are brought into range (see finite). It also takes a NUL byte outside a
// string for the end of its input, where JSON has none.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "json.hpp"

namespace {

using namespace vela::json;
using Value = nlohmann::json;

struct Leaf {
  std::string name;
  std::optional<std::string> note;
};

struct Doc {
  std::optional<std::uint32_t> small;
  std::optional<std::uint64_t> big;
  std::optional<std::int64_t> sign;
  std::optional<bool> flag;
  std::optional<AnyValue> any;
  std::optional<std::string_view> view;
  std::optional<Leaf> leaf;
  std::optional<std::vector<Leaf>> leaves;
  std::optional<Map<Leaf>> entries;
};

struct Skipping {};

constexpr Field leaf_fields[] = {field<&Leaf::name>("name"), field<&Leaf::note>("note")};
constexpr Record<Leaf> leaf{leaf_fields, Extra::refuse};
constexpr Field doc_fields[] = {
    field<&Doc::small>("small"),  field<&Doc::big>("big"),   field<&Doc::sign>("sign"),
    field<&Doc::flag>("flag"),    field<&Doc::any>("any"),   field<&Doc::view>("view"),
    field<&Doc::leaf>("leaf", &leaf), field<&Doc::leaves>("leaves", &leaf), field<&Doc::entries>("entries", &leaf),
};
constexpr Record<Doc> doc{doc_fields, Extra::skip};
constexpr Record<Skipping> skipping{{{}, Extra::skip}};  // no fields

// Accepts every well-formed value; counts the elements of a root array.
struct Shape : nlohmann::json_sax<Value> {
  int depth = 0;
  bool root_object = false, root_array = false;
  std::size_t elements = 0;  // of a root array
  bool value() {
    if (depth == 1 && root_array) ++elements;
    return true;
  }
  bool open(bool array) {
    value();
    if (depth++ == 0) (array ? root_array : root_object) = true;
    return true;
  }
  bool null() override { return value(); }
  bool boolean(bool) override { return value(); }
  bool number_integer(number_integer_t) override { return value(); }
  bool number_unsigned(number_unsigned_t) override { return value(); }
  bool number_float(number_float_t, const string_t &) override { return value(); }
  bool string(string_t &) override { return value(); }
  bool binary(binary_t &) override { return value(); }
  bool start_object(std::size_t) override { return open(false); }
  bool key(string_t &) override { return true; }
  bool end_object() override { return --depth, true; }
  bool start_array(std::size_t) override { return open(true); }
  bool end_array() override { return --depth, true; }
  bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override { return false; }
};

// The member of an object, or the element of an array, at field i.
const Value *at(const Value &v, std::size_t i, std::string_view name) {
  if (v.is_array()) return i < v.size() ? &v[i] : nullptr;
  auto it = v.find(std::string(name));
  return it == v.end() ? nullptr : &*it;
}

template <class T>
bool same(const std::optional<T> &read, const Value *v) {
  if (v == nullptr || v->is_null()) return !read;
  if (!read) return false;
  if constexpr (std::is_same_v<T, AnyValue>) return true;
  else if constexpr (std::is_same_v<T, bool>) return v->is_boolean() && *read == v->get<bool>();
  else if constexpr (std::is_same_v<T, std::string_view>) return v->is_string() && *read == v->get_ref<const std::string &>();
  else if constexpr (std::is_same_v<T, std::string>) return v->is_string() && *read == v->get_ref<const std::string &>();
  else if constexpr (std::is_signed_v<T>) return v->is_number_integer() && *read == v->get<std::int64_t>();
  else return v->is_number_unsigned() && *read == v->get<std::uint64_t>();
}

bool same(const std::optional<Leaf> &read, const Value *v) {
  if (v == nullptr || v->is_null()) return !read;
  return read && same(std::optional(read->name), at(*v, 0, "name")) && same(read->note, at(*v, 1, "note"));
}

bool same(const std::optional<std::vector<Leaf>> &read, const Value *v) {
  if (v == nullptr || v->is_null()) return !read;
  return read && v->is_array() && std::ranges::equal(*read, *v, [](const Leaf &l, const Value &e) {
           return same(std::optional(l), &e);
         });
}

bool same(const std::optional<Map<Leaf>> &read, const Value *v) {
  if (v == nullptr || v->is_null()) return !read;
  return read && v->is_object() && read->size() == v->size() && std::ranges::all_of(*read, [&](const auto &e) {
           auto it = v->find(e.first);
           return it != v->end() && same(std::optional(e.second), &*it);
         });
}

bool same(const Doc &d, const Value &v) {
  return same(d.small, at(v, 0, "small")) && same(d.big, at(v, 1, "big")) && same(d.sign, at(v, 2, "sign")) &&
         same(d.flag, at(v, 3, "flag")) && same(d.any, at(v, 4, "any")) && same(d.view, at(v, 5, "view")) &&
         same(d.leaf, at(v, 6, "leaf")) && same(d.leaves, at(v, 7, "leaves")) && same(d.entries, at(v, 8, "entries"));
}

// The bytes with every digit after an exponent's "e" made 0 and every run of
// digits cut to 20: numbers keep their form (a leading zero stays the only
// leading digit) and fall within a double's range, and digits in strings,
// escapes included, stay valid where they were.
std::string finite(std::span<const std::uint8_t> bytes) {
  std::string out;
  std::size_t run = 0;
  bool exponent = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = static_cast<char>(bytes[i]);
    bool digit = c >= '0' && c <= '9';
    if (!digit) {
      run = 0;
      exponent = c == 'e' || c == 'E' || ((c == '+' || c == '-') && i > 0 && (bytes[i - 1] | 0x20) == 'e');
    } else if (run++ >= 20) {
      continue;
    } else if (exponent) {
      c = '0';
    }
    out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::span<const std::uint8_t> bytes{data, size};
  Shape shape;
  bool bom = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF;
  std::string form = finite(bytes);
  bool nul = std::memchr(data, 0, size) != nullptr;
  bool well_formed = !bom && !nul && Value::sax_parse(form.begin(), form.end(), &shape);
  if (read(bytes, skipping).has_value() != (well_formed && (shape.root_object || (shape.root_array && shape.elements == 0)))) std::abort();

  std::string arena(size, '\0');
  auto typed = read(bytes, doc, arena.data());
  if (!typed) return 0;
  if (!well_formed) std::abort();
  // Numbers beyond a double's range, which the reader passes over in skipped
  // values, are refused by that parser's own values.
  Value v = Value::parse(data, data + size, nullptr, false);
  if (!v.is_discarded() && !same(*typed, v)) std::abort();
  return 0;
}
