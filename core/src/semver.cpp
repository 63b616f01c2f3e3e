#include "semver.hpp"

#include <algorithm>

namespace vela::semver {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool all_digits(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), is_digit); }
bool identifier_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

bool numeric(std::string_view s) { return all_digits(s) && (s.size() == 1 || s[0] != '0'); }

// Dot-separated, non-empty identifiers of [0-9A-Za-z-]; pre-release numbers
// may not have leading zeros.
bool identifiers(std::string_view s, bool prerelease) {
  for (;;) {
    auto dot = s.find('.');
    auto id = s.substr(0, dot);
    if (id.empty() || !std::all_of(id.begin(), id.end(), identifier_char)) return false;
    if (prerelease && all_digits(id) && !numeric(id)) return false;
    if (dot == std::string_view::npos) return true;
    s.remove_prefix(dot + 1);
  }
}

int sign(int v) { return (v > 0) - (v < 0); }

// Digit strings by value; at equal value the shorter text first.
int compare_numbers(std::string_view a, std::string_view b) {
  auto strip = [](std::string_view s) { return s.substr(std::min(s.find_first_not_of('0'), s.size())); };
  auto x = strip(a), y = strip(b);
  if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
  if (int c = sign(x.compare(y))) return c;
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Identifier lists as SemVer orders pre-release identifiers; build metadata
// follows the same rules, with the numeric rule above for leading zeros.
int compare_identifiers(std::string_view a, std::string_view b) {
  for (;;) {
    if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
    auto da = a.find('.'), db = b.find('.');
    auto x = a.substr(0, da), y = b.substr(0, db);
    bool nx = all_digits(x), ny = all_digits(y);
    int c = nx && ny ? compare_numbers(x, y) : nx != ny ? (nx ? -1 : 1) : sign(x.compare(y));
    if (c != 0) return c;
    a = da == std::string_view::npos ? std::string_view{} : a.substr(da + 1);
    b = db == std::string_view::npos ? std::string_view{} : b.substr(db + 1);
  }
}

}  // namespace

std::optional<Version> parse(std::string_view text) {
  Version v;
  auto plus = text.find('+');
  if (plus != std::string_view::npos) {
    v.build = text.substr(plus + 1);
    v.has_build = true;
    if (!identifiers(v.build, false)) return std::nullopt;
    text = text.substr(0, plus);
  }
  auto dash = text.find('-');
  if (dash != std::string_view::npos) {
    v.prerelease = text.substr(dash + 1);
    v.has_prerelease = true;
    if (!identifiers(v.prerelease, true)) return std::nullopt;
    text = text.substr(0, dash);
  }
  std::string_view *parts[] = {&v.major, &v.minor, &v.patch};
  for (std::size_t i = 0; i < 3; ++i) {
    auto dot = i < 2 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    *parts[i] = text.substr(0, dot);
    if (!numeric(*parts[i])) return std::nullopt;
    text.remove_prefix(std::min(dot + 1, text.size()));
  }
  if (!text.empty()) return std::nullopt;
  return v;
}

int compare(const Version &a, const Version &b) {
  for (auto part : {&Version::major, &Version::minor, &Version::patch})
    if (int c = compare_numbers(a.*part, b.*part)) return c;
  if (a.has_prerelease != b.has_prerelease) return a.has_prerelease ? -1 : 1;
  if (int c = compare_identifiers(a.prerelease, b.prerelease)) return c;
  return compare_identifiers(a.build, b.build);
}

}  // namespace vela::semver
