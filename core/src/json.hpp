// Strict JSON records. A record is declared as a table of fields; the one
// reader below enforces every rule of the format on it:
//   - one value, only JSON whitespace around it, no byte-order mark;
//   - object form: listed keys at most once, required keys present, null or
//     absence for optional ones; keys outside the list skipped or refused as
//     the record says;
//   - array form: the fields in table order, trailing optional ones may be
//     left off, nothing extra;
//   - integers of exact width (no fraction, exponent, -0 or sign on unsigned);
//   - strings decoded and strictly UTF-8 (lone surrogates refused);
//   - maps keep the later value of a repeated key;
//   - read containers nest at most 127 deep; skipped values at any depth.
// A text field held as std::string_view is copied into an arena that the
// caller gives the read, of at least as many chars as the input has bytes
// (decoded texts are never longer than their JSON form).
//
//   constexpr json::Field point_fields[] = {
//       json::field<&Point::x>("x"),
//       json::field<&Point::label>("label"),   // std::optional<...> = optional
//   };
//   constexpr json::Record<Point> point{point_fields, json::Extra::refuse};
//   std::optional<Point> p = json::read(bytes, point);
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/secret.hpp"

namespace vela::json {

// Keys outside a record's list: skip their values, or refuse the document.
enum class Extra : std::uint8_t { skip, refuse };

// A value of any JSON type whose presence alone is kept.
struct AnyValue {};

enum class Type : std::uint8_t { u32, u64, i64, boolean, text, view, secret, any, record, list, map };

struct Layout;

struct Field {
  std::string_view name;
  Type type;
  bool optional;
  const Layout *nested;  // the record type of a record, list or map field
  // Storage for the field's value inside a record (an optional is emplaced).
  void *(*open)(void *record);
  // A new element of a list or map field (a repeated map key starts afresh).
  void *(*add)(void *container, std::string_view key);
};

struct Layout {
  std::span<const Field> fields;
  Extra extra;
};

template <class R>
struct Record {
  Layout layout;
};

// Reads one record from the bytes into out; false on any breach of the rules.
bool read_into(std::span<const std::uint8_t> bytes, const Layout &layout, void *out, char *arena = nullptr);

template <class R>
std::optional<R> read(std::span<const std::uint8_t> bytes, const Record<R> &record, char *arena = nullptr) {
  std::optional<R> out{std::in_place};
  if (!read_into(bytes, record.layout, &*out, arena)) out.reset();
  return out;
}

namespace detail {

template <class T>
struct Optional : std::false_type {
  using type = T;
};
template <class T>
struct Optional<std::optional<T>> : std::true_type {
  using type = T;
};

template <class T>
struct Element {
  using type = void;
  static constexpr Type kind = Type::record;
};
template <class T>
struct Element<std::vector<T>> {
  using type = T;
  static constexpr Type kind = Type::list;
};
template <class T>
struct Element<std::map<std::string, T, std::less<>>> {
  using type = T;
  static constexpr Type kind = Type::map;
};

template <class T>
constexpr Type type_of() {
  if constexpr (std::is_same_v<T, std::uint32_t>) return Type::u32;
  else if constexpr (std::is_same_v<T, std::uint64_t>) return Type::u64;
  else if constexpr (std::is_same_v<T, std::int64_t>) return Type::i64;
  else if constexpr (std::is_same_v<T, bool>) return Type::boolean;
  else if constexpr (std::is_same_v<T, std::string>) return Type::text;
  else if constexpr (std::is_same_v<T, std::string_view>) return Type::view;
  else if constexpr (std::is_same_v<T, secret::Text>) return Type::secret;
  else if constexpr (std::is_same_v<T, AnyValue>) return Type::any;
  else return Element<T>::kind;
}

template <class C>
struct MemberOf;
template <class R, class M>
struct MemberOf<M R::*> {
  using record = R;
  using member = M;
};

}  // namespace detail

// A field holding a scalar, a text or, with the nested record, a record, a
// list of records or a map of records. std::optional members are optional.
template <auto M, class N = void>
constexpr Field field(std::string_view name, const Record<N> *nested = nullptr) {
  using R = typename detail::MemberOf<decltype(M)>::record;
  using Member = typename detail::MemberOf<decltype(M)>::member;
  using Value = typename detail::Optional<Member>::type;
  constexpr Type type = detail::type_of<Value>();
  if constexpr (type == Type::list || type == Type::map)
    static_assert(std::is_same_v<N, typename detail::Element<Value>::type>);
  else if constexpr (type == Type::record)
    static_assert(std::is_same_v<N, Value>);
  else
    static_assert(std::is_void_v<N>);

  void *(*open)(void *) = [](void *record) -> void * {
    auto &member = static_cast<R *>(record)->*M;
    if constexpr (detail::Optional<Member>::value) return &member.emplace();
    else return &member;
  };
  void *(*add)(void *, std::string_view) = nullptr;
  if constexpr (type == Type::list) {
    add = [](void *c, std::string_view) -> void * { return &static_cast<Value *>(c)->emplace_back(); };
  } else if constexpr (type == Type::map) {
    add = [](void *c, std::string_view key) -> void * {
      using E = typename detail::Element<Value>::type;
      return &static_cast<Value *>(c)->insert_or_assign(std::string(key), E{}).first->second;
    };
  }
  const Layout *layout = nullptr;
  if constexpr (!std::is_void_v<N>) layout = &nested->layout;
  return Field{name, type, detail::Optional<Member>::value, layout, open, add};
}

template <class T>
using Map = std::map<std::string, T, std::less<>>;

}  // namespace vela::json
