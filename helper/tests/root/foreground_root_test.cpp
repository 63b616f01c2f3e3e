#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "activation.hpp"
#include "service.hpp"
#include "support.hpp"
#include "vela_core.h"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names
using Keys = std::vector<std::pair<std::string, std::string>>;

const std::string kGeneration = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kSource = "/private/runtime";
const std::string kBase(VelaForeground);
const std::string kRoot = kBase + "/" + kGeneration;
const std::string kIndex = "/host/app/client/dist/index.html";
const Json kRelease = {{"archiveSha256", kGeneration}, {"version", "1.2.3"}};

const std::string kCustody = std::string(VelaV3Versions) + "/" + kGeneration;
const std::string kOnce = "invalid_channel: Foreground channel must be opened exactly once.";
const std::string kNone = "no_channel: Verified foreground channel is unavailable.";
const std::string kRefused = "invalid_asset: Asset is unlisted, changed, unsafe or exceeds bounds.";
const std::string kUnavailable =
    "foreground_unavailable: Immutable foreground custody is unavailable; no client authority was granted.";
const std::string kAsset = " asset_bytes asset_digest ok runtimeStatus";
Keys generation(std::string text) { return {{"foreground_generation", text}}; }
Keys asset(std::string name) { return {{"foreground_asset", name}}; }

Reply send(PeerState &state, const std::string &operation, const Keys &keys = {}, bool expectsReply = true) {
  Message request{{}, expectsReply};
  for (const auto &[key, value] : keys) request.body.set_string(key, value);
  if (operation == "foreground_status") return foregroundStatusOperation(request);
  return foregroundChannelOperation(operation, request, state);
}

Reply open(PeerState &state, const std::string &text = kGeneration) {
  return send(state, "foreground_open", generation(text));
}

// "code: message" for a refusal, which carries nothing else; the sorted keys
// of a success, which carries no code and no message.
std::string summary(const Reply &answer) {
  if (!answer) return "no reply";
  std::vector<std::string> keys;
  for (const auto &entry : answer->body.entries()) keys.push_back(entry.first);
  std::ranges::sort(keys);
  std::string text;
  for (const auto &key : keys) text += " " + key;
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
    ASSERT_EQ(std::system("node " VELA_SOURCE_DIR "/tools/make-runtime.mjs --version 1.2.3 --out /private/runtime"), 0);
    inventory = test::bytes(test::readFile(kSource + "/mac-broker-inventory.json"));
    ASSERT_TRUE(ensureRootDirectory(kCustody, 0700, nullptr));
    auto copied =
        vela_core_copy_inventory(kSource.c_str(), kCustody.c_str(), inventory.data(), inventory.size(), "1.2.3");
    ASSERT_EQ(copied, 0);
    ASSERT_TRUE(atomicRootData(kCustody, ".custody-inventory.json", inventory, nullptr));
    ASSERT_TRUE(prepareForeground(kSource, inventory, kRelease, false, nullptr));
  }
  Data inventory;
};

TEST_F(Foreground, NewTreeIsReadableByAll) {
  for (auto [path, mode] : {std::pair{kRoot, 0755}, {kRoot + kIndex, 0644}, {kRoot + "/host/node/bin/node", 0755}})
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(mode)) << path;
}

TEST_F(Foreground, UpperCaseOpensTheGenerationAndServesItsAssets) {
  PeerState state, other, quiet;
  auto opened = open(state, "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(summary(opened), " ok runtimeStatus");
  auto channel = binding(opened)["channelGeneration"];
  EXPECT_TRUE(std::regex_match(channel.get<std::string>(), std::regex("[0-9a-f]{64}")));
  EXPECT_EQ(binding(opened),
            Json({{"nativeGeneration", kGeneration}, {"uiGeneration", kGeneration}, {"channelGeneration", channel}}));
  EXPECT_NE(binding(open(other))["channelGeneration"], channel) << "every open draws its own channel generation";
  auto served = send(state, "foreground_asset", asset("index.html"));
  EXPECT_EQ(summary(served), kAsset);
  EXPECT_EQ(binding(served), binding(opened));
  EXPECT_EQ(served->body.get<Data>("asset_bytes"), test::bytes(test::readFile(kRoot + kIndex)));
  auto listed = Json::parse(inventory)["assets"];
  EXPECT_TRUE(std::ranges::any_of(listed, [&](const Json &a) {
    return a["path"] == kIndex.substr(1) && a["sha256"] == served->body.get<std::string>("asset_digest");
  }));
  EXPECT_FALSE(send(quiet, "foreground_open", generation(kGeneration), false));
  EXPECT_TRUE(quiet.foregroundContext) << "a request that expects no reply is still carried out";
}

TEST_F(Foreground, FailedOpenMayBeRetriedAndStaleStaysWithTheConnection) {
  PeerState state;
  EXPECT_EQ(summary(open(state, std::string(64, 'f'))), kNone);
  EXPECT_EQ(summary(open(state)), " ok runtimeStatus");
  const std::string stale =
      "stale_channel: Foreground channel is not current; static custody grants no command authority.";
  EXPECT_EQ(summary(send(state, "foreground_current")), stale);
  state.foregroundContext.reset();  // as an error event on the connection does
  EXPECT_EQ(summary(open(state)), " ok runtimeStatus");
  EXPECT_EQ(summary(send(state, "foreground_current")), stale);
  EXPECT_TRUE(state.foregroundStale);
  EXPECT_EQ(summary(send(state, "foreground_asset", asset("favicon.svg"))), kAsset) << "stale still reads assets";
}

struct Refusal {
  const char *name;
  bool opened;
  const char *operation;
  Keys keys;
  std::string outcome;
};

class Refusals : public Foreground, public testing::WithParamInterface<Refusal> {};

TEST_P(Refusals, FixedCodeAndMessage) {
  const auto &c = GetParam();
  PeerState state;
  if (c.opened) state.foregroundContext = openForegroundContext(kGeneration, nullptr);
  auto before = state.foregroundContext ? state.foregroundContext->channelGeneration : "";
  EXPECT_EQ(summary(send(state, c.operation, c.keys)), c.outcome);
  EXPECT_EQ(state.foregroundContext ? state.foregroundContext->channelGeneration : "", before) << "channel unchanged";
}

INSTANTIATE_TEST_SUITE_P(
    Foreground, Refusals,
    testing::Values(
        Refusal{"second_open", true, "foreground_open", generation(kGeneration), kOnce},
        Refusal{"open_without_generation", false, "foreground_open", {}, kOnce},
        Refusal{"open_not_a_digest", false, "foreground_open", generation("0123"), kNone},
        Refusal{"current_before_open", false, "foreground_current", {}, kNone},
        Refusal{"asset_before_open", false, "foreground_asset", asset("index.html"), kNone},
        Refusal{"asset_without_name", true, "foreground_asset", {}, "invalid_asset: Canonical static asset required."},
        Refusal{"asset_unlisted", true, "foreground_asset", asset("missing.js"), kRefused},
        Refusal{"asset_name_with_nul", true, "foreground_asset", asset({"index.html\0.js", 14}), kRefused},
        Refusal{"status_without_current_release", false, "foreground_status", {}, kUnavailable}),
    rowName<Refusal>);

struct Preparation {
  const char *name;
  void (*change)();
  bool repair;
  std::string outcome;  // "": in place; "failed": refused without an error; else the error's message
  std::size_t entries;  // in the base: the tree and its checkpoints
  bool replaced;
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
  bool prepared = prepareForeground(kSource, inventory, kRelease, c.repair, &error);
  EXPECT_EQ(prepared ? "" : error ? error->message : "failed", c.outcome);
  auto names = test::directoryNames(kBase);
  EXPECT_EQ(names.size(), c.entries);
  const std::regex kept(kGeneration + "(\\.quarantined-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12})?");
  for (const auto &name : names) EXPECT_TRUE(std::regex_match(name, kept)) << name;
  EXPECT_EQ(inode(kRoot) != before, c.replaced);
}

void damage() { test::writeFile(kRoot + kIndex, "changed", 0644); }
void breakSource() { std::filesystem::remove_all(kRoot), std::filesystem::remove(kSource + kIndex); }
const std::string kInvalid = "Existing foreground custody is invalid; preserved for explicit repair.";

INSTANTIATE_TEST_SUITE_P(Foreground, Prepare,
                         testing::Values(Preparation{"valid_tree_install", [] {}, false, "", 1, false},
                                         Preparation{"valid_tree_repair", [] {}, true, "", 1, false},
                                         Preparation{"invalid_tree_install", damage, false, kInvalid, 1, false},
                                         Preparation{"invalid_tree_repair", damage, true, "", 2, true},
                                         Preparation{"failed_copy", breakSource, false, "failed", 0, false}),
                         rowName<Preparation>);

}  // namespace
}  // namespace vela::helper
