#include "inventory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/runtime.hpp"

namespace vela::inventory {
namespace {

using test::Listing;

constexpr const char *kPasses = "", *kAsset = "invalid or duplicate Mac custody asset";
constexpr const char *kBounds = "Mac inventory exceeds encoded bounds", *kBudget = "Mac inventory exceeds byte budget";
constexpr const char *kUnreadable = "invalid authenticated Mac inventory";
constexpr const char *kSchema = "Mac inventory schema/version/count mismatch";
constexpr const char *kDestination = "Mac custody destination is outside the fixed production closure";
constexpr const char *kAlias = "Mac dependency alias escapes the authenticated dependency closure";
constexpr const char *kParent = "Mac custody asset collides with a parent directory";
constexpr const char *kIncomplete = "Mac inventory has missing required assets or inconsistent byte count";
constexpr const char *kNoForeground = "signed inventory lacks immutable foreground closure";

std::vector<Listing> base() { return test::listings(test::runtime()); }
const std::string kBase = test::document(base());

Listing asset(const std::string &path, std::uint64_t bytes = 0, const std::string &source = "") {
  return {path, source.empty() ? path : source, std::string(64, 'a'), bytes, false};
}

std::string with(const std::function<void(std::vector<Listing> &)> &change) {
  auto assets = base();
  change(assets);
  return test::document(assets);
}

std::string added(std::vector<Listing> extra) {
  return with([&](auto &a) { a.insert(a.end(), extra.begin(), extra.end()); });
}

std::string without(std::string_view path) {
  return with([&](auto &a) { std::erase_if(a, [&](const Listing &l) { return l.path == path; }); });
}

// The document with its first occurrence of a text replaced.
std::string edited(std::string_view from, std::string_view to, std::string doc = kBase) {
  return doc.replace(doc.find(from), from.size(), to);
}

struct Case {
  const char *name;
  std::string doc;
  const char *expected;
  const char *version = "1.2.3";
};

// Each document's refusal by the parse or, asked for, by the foreground
// closure of what it parsed; "" when both pass.
void check(const std::vector<Case> &cases, bool foreground = false) {
  for (const auto &[name, doc, expected, version] : cases) {
    auto parsed = Inventory::parse(test::bytes(doc), version);
    auto closure = parsed && foreground ? parsed->require_foreground() : Result<>{};
    EXPECT_EQ(!parsed ? parsed.error().message : closure ? "" : closure.error().message, std::string(expected)) << name;
  }
}

std::string many(std::size_t count) {
  return with([&](auto &a) {
    for (std::size_t i = a.size(); i < count; ++i) a.push_back(asset("host/app/node_modules/m/" + std::to_string(i)));
  });
}

TEST(InventoryParse, ReadingAndSchema) {
  // Keys dropped (each ends where a quote meets a colon) and objects made
  // arrays; with an alias whose source is another listed path, so that the
  // field order shows.
  auto array_form = added({asset("host/app/node_modules/copy.js", 0, "host/app/node_modules/left-pad/index.js")});
  for (auto end = array_form.find("\":"); end != std::string::npos; end = array_form.find("\":")) {
    auto start = array_form.rfind('"', end - 1);
    array_form.erase(start, end + 2 - start);
  }
  std::ranges::replace(array_form, '{', '[');
  std::ranges::replace(array_form, '}', ']');
  check({
      {"one byte more", kBase + std::string(Inventory::kMaxDocument + 1 - kBase.size(), ' '), kBounds},
      {"one byte more of garbage", std::string(Inventory::kMaxDocument + 1, '['), kBounds},
      {"array form at both levels", array_form, kPasses},
      {"escaped path", edited("host/app/package.json", R"(host\/app\/package.j\u0073on)"), kPasses},
      {"extra key in the inventory", edited(R"({"schemaVersion")", R"({"x":1,"schemaVersion")"), kUnreadable},
      {"extra key in an asset", edited(R"("executable":)", R"("mode":1,"executable":)"), kUnreadable},
      {"missing executable", edited(R"(,"executable":true)", ""), kUnreadable},
      {"bytes with a fraction", edited(R"("bytes":7)", R"("bytes":7.0)"), kUnreadable},
      {"version differs in case", test::document(base(), "1.2.3-RC.1"), kSchema, "1.2.3-rc.1"},
      {"no assets", test::document(std::vector<Listing>{}), kSchema},
      {"schema 2, checked before the assets",
       edited(R"("schemaVersion":3)", R"("schemaVersion":2)", added({base()[0]})), kSchema},
      {"100,001 assets", many(Inventory::kMaxAssets + 1), kSchema},
  });
  // The texts stay with the inventory, copies included.
  auto parsed = Inventory::parse(test::bytes(edited("left-pad", R"(left\u002dpad)")), "1.2.3");
  ASSERT_TRUE(parsed);
  Inventory copy = *parsed;
  parsed = Inventory::parse(test::bytes(kBase), "1.2.3");
  EXPECT_EQ(copy.assets().back().path, "host/app/node_modules/left-pad/index.js");
}

TEST(InventoryParse, AssetRules) {
  auto alias = [](std::string path, std::string source) { return added({asset(path, 0, source)}); };
  auto totalling = [](std::uint64_t total) { return added({asset("release/big", total - test::sum(base()))}); };
  check({
      {"63-digit digest", with([](auto &a) { a[0].sha256.pop_back(); }), kAsset},
      {"65-digit digest", with([](auto &a) { a[0].sha256 += 'a'; }), kAsset},
      {"digest with g", with([](auto &a) { a[0].sha256[60] = 'g'; }), kAsset},
      {"duplicate path", added({asset("host/app/package.json")}), kAsset},
      {"unsafe path", added({asset("host/app/../x")}), kAsset},
      {"unsafe source", alias("host/app/node_modules/x", "/host/app/node_modules/x"), kAsset},
      {"top-level outside the names", added({asset("other.json")}), kDestination},
      {"host/app itself", added({asset("host/app")}), kDestination},
      {"alias across closures", alias("host/app/node_modules/a/x.js", "host/agent-runtime/node_modules/a/x.js"),
       kAlias},
      {"alias outside the closures", alias("host/app/lib/x.js", "host/app/lib/y.js"), kAlias},
      {"source is the closure's directory", alias("host/app/node_modules/a", "host/app/node_modules"), kAlias},
      {"one byte more", totalling(Inventory::kByteBudget + 1), kBudget},
      {"budget reported before a later bad asset",
       added({asset("release/big", Inventory::kByteBudget), asset("release/big")}), kBudget},
      {"overflow", added({asset("release/big", UINT64_MAX)}), "Mac inventory size overflow"},
  });
}

TEST(InventoryParse, ParentsAndCompleteness) {
  auto app = [](std::vector<std::string> paths) {
    std::vector<Listing> out;
    for (auto &p : paths) out.push_back(asset("host/app/" + p));
    return added(out);
  };
  const std::uint64_t sum = test::sum(base());
  check({
      {"file then a path below it", app({"lib", "lib/x.js"}), kParent},
      {"path below, then the file", app({"lib/deep/x.js", "lib"}), kParent},
      {"a sibling between the file and the path below it", app({"x/q/r.js", "x-y/z.js", "x"}), kParent},
      {"collision reported before missing assets", with([](auto &a) {
         std::erase_if(a, [](const Listing &l) { return l.path == "host/app/protected/vault.bin"; });
         a.push_back(asset("host/app/lib"));
         a.push_back(asset("host/app/lib/x.js"));
       }),
       kParent},
      {"vault missing", without("host/app/protected/vault.bin"), kIncomplete},
      {"totalBytes one more", test::document(base(), "1.2.3", sum + 1), kIncomplete},
  });
}

TEST(InventoryForeground, Closure) {
  check({{"node not executable", with([](auto &a) { a[0].executable = false; }), kNoForeground},
         {"first closure path missing", without("foreground-runtime.json"), kNoForeground},
         {"last closure path missing", without("host/agent-runtime/node_modules/.bin/pi"), kNoForeground},
         {"no app dependency", without("host/app/node_modules/left-pad/index.js"), kNoForeground}},
        true);
}

TEST(SafePath, Rules) {
  const std::string k16(16, 'a');  // to take the path through its sixteen-byte steps
  for (const auto &path : std::vector<std::string>{std::string(4097, 'a'), "", "/a", "a/", "a//b", "..", "a/./b",
                                                   "a/..", "a\\b", std::string("a\0b", 3), "a/../" + k16,
                                                   "a\\b" + k16, std::string("a\0b", 3) + k16, "a//" + k16})
    EXPECT_FALSE(safe_path(path)) << path;
}

TEST(ForegroundMime, Refusals) {
  for (const auto &name : std::vector<std::string>{std::string(1022, 'a') + ".js", "APP.JS", "other.html",
                                                   "sub/index.html", "a b.js", "\xC3\xA9.js", "a.txt", "noextension",
                                                   "../x.js", ""})
    EXPECT_EQ(foreground_mime(name), std::nullopt) << name;
}

}  // namespace
}  // namespace vela::inventory
