// Semantic versions: SemVer 2.0.0 syntax, and a total order that also ranks
// build metadata, so that two versions are equal only when all of it is.
#pragma once

#include <optional>
#include <string_view>

namespace vela::semver {

struct Version {
  std::string_view major, minor, patch;  // digits, no leading zero
  std::string_view prerelease;           // dot-separated identifiers, or empty
  std::string_view build;                // dot-separated identifiers, or empty
  bool has_prerelease = false;
  bool has_build = false;
};

// The parts of the text, which must outlive the result.
std::optional<Version> parse(std::string_view text);

// Negative, zero or positive as a orders before, equal to, or after b.
int compare(const Version &a, const Version &b);

}  // namespace vela::semver
