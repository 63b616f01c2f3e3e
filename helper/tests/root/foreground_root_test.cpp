#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <ranges>
#include <set>

#include "foreground.hpp"
#include "root/fixture.hpp"
#include "staging.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

const std::string kGeneration = std::string(16, 'c') + std::string(48, '5');  // the fixture's
const std::string kSource = "/private/runtime-" + kGeneration;
const std::string kRoot = std::string(VelaForeground) + "/" + kGeneration;
const std::string kIndex = "/host/app/client/dist/index.html";

const std::string kOpened = " ok runtimeStatus";
const std::string kServed = " asset_bytes asset_digest ok runtimeStatus";
const std::string kOnce = "invalid_channel: Foreground channel must be opened exactly once.";
const std::string kNone = "no_channel: Verified foreground channel is unavailable.";
const std::string kStale =
    "stale_channel: Foreground channel is not current; static custody grants no command authority.";
const std::string kRefused = "invalid_asset: Asset is unlisted, changed, unsafe or exceeds bounds.";
const std::string kUnavailable =
    "foreground_unavailable: Immutable foreground custody is unavailable; no client authority was granted.";

// A request of "foreground_" + operation with its one key, if given.
Reply send(PeerState &state, const std::string &operation, std::optional<std::string> value, bool expectsReply = true) {
  Message request{{}, expectsReply};
  if (value) request.body.set_string(operation == "open" ? "foreground_generation" : "foreground_asset", *value);
  if (operation == "status") return foregroundStatusOperation(request);
  return foregroundChannelOperation("foreground_" + operation, request, state);
}

// "code: message" for a refusal, which carries nothing else; the sorted keys
// of a success, which carries no code and no message.
std::string summary(const Reply &answer) {
  if (!answer) return "no reply";
  auto names = answer->body.entries() | std::views::keys;
  std::string text;
  for (const auto &key : std::set<std::string>(names.begin(), names.end())) text += " " + key;
  auto code = answer->body.get_string("code");
  if (!code) return answer->body.get<bool>("ok") == true ? text : "not ok";
  EXPECT_EQ(text, " code message ok");
  EXPECT_EQ(answer->body.get<bool>("ok"), false);
  return std::string(*code) + ": " + std::string(*answer->body.get_string("message"));
}

Json binding(const Reply &answer) { return Json::parse(*answer->body.get_data("runtimeStatus")); }

class Foreground : public testing::Test {
 protected:
  void SetUp() override {
    generation = test::installGeneration(test::makeServiceAccounts());
    inventory = test::readFile(kSource + "/mac-broker-inventory.json");
    ASSERT_TRUE(prepareForeground(kSource, test::bytes(inventory), generation.release(), false, nullptr));
  }
  void TearDown() override { vela_core_stop(); }
  test::Generation generation;
  std::string inventory;
};

TEST_F(Foreground, TreeReadableByAllIsOpenedInUpperCaseAndServed) {
  for (auto [path, mode] : {std::pair{kRoot, 0755}, {kRoot + kIndex, 0644}, {kRoot + "/host/node/bin/node", 0755}})
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(mode)) << path;
  PeerState state, other;
  auto opened = send(state, "open", std::string(16, 'C') + std::string(48, '5'));
  const std::string channel = binding(opened)["channelGeneration"];
  EXPECT_TRUE(channel.size() == 64 && channel.find_first_not_of("0123456789abcdef") == std::string::npos) << channel;
  EXPECT_EQ(binding(opened),
            Json({{"nativeGeneration", kGeneration}, {"uiGeneration", kGeneration}, {"channelGeneration", channel}}));
  EXPECT_NE(binding(send(other, "open", kGeneration))["channelGeneration"], channel) << "each open draws its own";
  auto served = send(state, "asset", "index.html");
  const std::string file = test::readFile(kRoot + kIndex);
  EXPECT_EQ(served->body.get<platform::ipc::Data>("asset_bytes"), platform::ipc::Data(file.begin(), file.end()));
  EXPECT_EQ(served->body.get<std::string>("asset_digest"),
            test::commandOutput("sha256sum <'" + kRoot + kIndex + "'").substr(0, 64));
}

TEST_F(Foreground, OnlyTheRunningCurrentGenerationIsCurrentAndStaleStaysStale) {
  PeerState state, stale;
  EXPECT_EQ(summary(send(stale, "open", kGeneration)), kOpened);
  test::makeCurrent(generation);
  EXPECT_EQ(summary(send(stale, "current", {})), kStale) << "current, but no broker runs";
  EXPECT_EQ(summary(send(state, "status", {})), kUnavailable) << "no broker runs";
  ASSERT_TRUE(startAcceptedRelease(generation.release(), nullptr));
  EXPECT_EQ(summary(send(state, "open", kGeneration)), kOpened);
  EXPECT_EQ(summary(send(state, "current", {})), kOpened);
  EXPECT_EQ(summary(send(stale, "current", {})), kStale);
  auto status = send(state, "status", {});
  EXPECT_EQ(summary(status), kOpened);
  EXPECT_EQ(binding(status), Json({{"generation", kGeneration}, {"version", "1.0.0"}, {"root", kRoot}}));
}

// One event of a connection: a request of "foreground_" + operation with its one key, if
// given, and its reply's summary ("no reply": it expects none); or "error", an error event.
using Step = std::tuple<std::string, std::optional<std::string>, std::string>;

TEST_F(Foreground, ChannelReplies) {
  const Step open{"open", kGeneration, kOpened}, current{"current", {}, kStale}, errorEvent{"error", {}, ""};
  const std::pair<const char *, std::vector<Step>> scripts[] = {
      {"second_open", {open, {"open", kGeneration, kOnce}, {"asset", "index.html", kServed}}},
      {"open_without_reply", {{"open", kGeneration, "no reply"}, {"asset", "index.html", kServed}}},
      {"open_without_generation", {{"open", {}, kOnce}}},
      {"open_not_a_digest", {{"open", "0123", kNone}}},
      {"failed_open_may_be_retried", {{"open", std::string(64, 'f'), kNone}, {"current", {}, kNone}, open}},
      {"asset_before_open", {{"asset", "index.html", kNone}}},
      {"stale_stays_after_reopen", {open, current, errorEvent, open, current, {"asset", "favicon.svg", kServed}}},
      {"asset_without_name", {open, {"asset", {}, "invalid_asset: Canonical static asset required."}}},
      {"asset_unlisted", {open, {"asset", "missing.js", kRefused}}},
      {"asset_name_with_nul", {open, {"asset", std::string("index.html\0.js", 14), kRefused}}},
      {"status_without_current_release", {{"status", {}, kUnavailable}}},
  };
  for (const auto &[name, steps] : scripts) {
    PeerState state;
    std::optional<Json> bound;  // the open channel's binding
    for (const auto &[operation, value, outcome] : steps) {
      if (operation == "error") {
        state.foregroundContext.reset(), bound.reset();
        continue;
      }
      auto answer = send(state, operation, value, outcome != "no reply");
      EXPECT_EQ(summary(answer), outcome) << name << ": " << operation;
      if (!answer || !answer->body.find("runtimeStatus")) continue;
      if (!bound) bound = binding(answer);
      EXPECT_EQ(binding(answer), bound) << name << ": the channel stays as it was opened";
    }
  }
}

struct Preparation {
  const char *name;
  void (*change)();
  bool repair;
  std::string outcome;  // "": in place; "failed": refused without an error; else the error's message
  std::size_t entries;  // in the base: the tree, and its checkpoint when it was replaced
};

class Prepare : public Foreground, public testing::WithParamInterface<Preparation> {};

ino_t inode(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_P(Prepare, Outcome) {
  const auto &c = GetParam();
  c.change();
  auto before = inode(kRoot);
  std::optional<Error> error;
  bool prepared = prepareForeground(kSource, test::bytes(inventory), generation.release(), c.repair, &error);
  EXPECT_EQ(prepared ? "" : error ? error->message : "failed", c.outcome);
  auto names = test::directoryNames(std::string(VelaForeground));
  EXPECT_EQ(names.size(), c.entries);
  const std::string checkpoint = kGeneration + ".quarantined-";
  for (const auto &name : names)
    EXPECT_TRUE(name == kGeneration || (name.starts_with(checkpoint) && name.size() == checkpoint.size() + 36)) << name;
  EXPECT_EQ(inode(kRoot) != before, c.entries == 2) << "replaced exactly when a checkpoint stays";
}

void damage() { test::writeFile(kRoot + kIndex, "changed", 0644); }
void breakSource() { std::filesystem::remove_all(kRoot), std::filesystem::remove(kSource + kIndex); }
const std::string kInvalid = "Existing foreground custody is invalid; preserved for explicit repair.";

INSTANTIATE_TEST_SUITE_P(Foreground, Prepare,
                         testing::Values(Preparation{"valid_tree_install", [] {}, false, "", 1},
                                         Preparation{"invalid_tree_install", damage, false, kInvalid, 1},
                                         Preparation{"invalid_tree_repair", damage, true, "", 2},
                                         Preparation{"failed_copy", breakSource, false, "failed", 0}),
                         rowName<Preparation>);

}  // namespace
}  // namespace vela::helper
