#include <gtest/gtest.h>

#include <string>

#include "documents.hpp"
#include "release.hpp"
#include "vela_core.h"

namespace vela::release {
namespace {

using test::bytes;
using test::Release;
using test::trustState;
using test::trustStateOf;

const std::string kStable = Release{}.json();

int validate(const std::string &doc) { return vela_core_validate_trust(bytes(doc).data(), doc.size()); }

TEST(TrustState, Rules) {
  constexpr const char *kUnreadable = "unreadable", *kSchema = "invalid root release trust state",
                       *kCorrupt = "root release identity is corrupt",
                       *kDiffers = "root current generation differs from its accepted channel identity";
  const std::string stable = R"("stable":)" + kStable;
  const Release beta{.channel = "beta"};
  struct Row {
    const char *name;
    std::string doc;
    const char *outcome;  // empty: sound
  };
  const Row rows[] = {
      {"extra_top_key", R"({"schemaVersion":3,"channels":{},"x":1})", kUnreadable},
      {"extra_entry_key", trustState(stable.substr(0, stable.size() - 1) + R"(,"x":1})", kStable), kUnreadable},
      {"entry_without_current", trustState(stable), kSchema},
      {"key_differs_from_channel", trustState(R"("stable":)" + beta.json(), beta.json()), kCorrupt},
      {"channel_capitalised", trustStateOf({.channel = "Stable"}), kCorrupt},
      {"version_with_v", trustStateOf({.version = "v1.2.3"}), kCorrupt},
      {"digest_g", trustStateOf({.digest = std::string(63, 'a') + "g"}), kCorrupt},
      {"bytes_zero", trustStateOf({.size = 0}), kCorrupt},
      {"current_one_ms_off", trustState(stable, Release{.notBeforeMs = 1}.json()), kDiffers},
      {"current_on_other_channel", trustState(stable, beta.json()), kDiffers},
  };
  for (const Row &row : rows) {
    auto parsed = read_state(bytes(row.doc));
    auto sound = parsed ? validate_state(*parsed) : Result<>{};
    EXPECT_EQ(!parsed ? kUnreadable : sound ? "" : sound.error().message, std::string(row.outcome)) << row.name;
    EXPECT_EQ(validate(row.doc), *row.outcome ? 1 : 0) << row.name;
  }
}

TEST(TrustState, ExportBounds) {
  std::string doc = trustState();
  doc.resize(2'097'153, ' ');  // exactly 2 MiB is the daemon's trust tests' row
  EXPECT_EQ(validate(doc), 1);
}

}  // namespace
}  // namespace vela::release
