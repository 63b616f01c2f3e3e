#include "inventory.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/runtime.hpp"

namespace vela::inventory {
namespace {

using test::Listing;

constexpr const char *kPasses = "";
constexpr const char *kBounds = "Mac inventory exceeds encoded bounds";
constexpr const char *kUnreadable = "invalid authenticated Mac inventory";
constexpr const char *kSchema = "Mac inventory schema/version/count mismatch";
constexpr const char *kAsset = "invalid or duplicate Mac custody asset";
constexpr const char *kDestination = "Mac custody destination is outside the fixed production closure";
constexpr const char *kAlias = "Mac dependency alias escapes the authenticated dependency closure";
constexpr const char *kOverflow = "Mac inventory size overflow";
constexpr const char *kBudget = "Mac inventory exceeds byte budget";
constexpr const char *kParent = "Mac custody asset collides with a parent directory";
constexpr const char *kIncomplete = "Mac inventory has missing required assets or inconsistent byte count";
constexpr const char *kNoForeground = "signed inventory lacks immutable foreground closure";

const std::string kDigest(64, 'a');

std::vector<Listing> base() { return test::listings(test::runtime()); }

Listing asset(std::string path, std::uint64_t bytes = 0, std::string source = "") {
  std::string from = source.empty() ? path : source;
  return {std::move(path), std::move(from), kDigest, bytes, false};
}

std::string with(const std::function<void(std::vector<Listing> &)> &change) {
  auto assets = base();
  change(assets);
  return test::document(assets);
}

std::string added(Listing extra) {
  return with([&](auto &a) { a.push_back(extra); });
}

std::string without(std::string_view path) {
  return with([&](auto &a) { std::erase_if(a, [&](const Listing &l) { return l.path == path; }); });
}

// The document with its first occurrence of a text replaced.
std::string edited(std::string_view from, std::string_view to, std::string doc = test::document(base())) {
  doc.replace(doc.find(from), from.size(), to);
  return doc;
}

std::string outcome(const std::string &doc, std::string_view version = "1.2.3") {
  auto parsed = Inventory::parse(test::bytes(doc), version);
  return parsed ? "" : parsed.error().message;
}

struct Case {
  const char *name;
  std::string doc;
  const char *expected;
};

void check(const std::vector<Case> &cases) {
  for (const auto &[name, doc, expected] : cases) EXPECT_EQ(outcome(doc), expected) << name;
}

TEST(InventoryParse, EncodedBounds) {
  std::string padded = test::document(base());
  padded.resize(Inventory::kMaxDocument, ' ');
  check({
      {"exactly 32 MiB", padded, kPasses},
      {"one byte more, whatever it holds", padded + " ", kBounds},
      {"one byte more of garbage", std::string(Inventory::kMaxDocument + 1, '['), kBounds},
  });
}

TEST(InventoryParse, Reading) {
  auto array_asset = [](const Listing &l) {
    return "[" + test::json_text(l.path) + "," + test::json_text(l.sourcePath) + "," + test::json_text(l.sha256) + "," +
           std::to_string(l.bytes) + "," + (l.executable ? "true" : "false") + "]";
  };
  std::string array_form = R"([3,"1.2.3",)";
  std::uint64_t total = 0;
  std::string list;
  for (const Listing &l : base()) total += l.bytes, list += (list.empty() ? "" : ",") + array_asset(l);
  array_form += std::to_string(total) + ",[" + list + "]]";
  check({
      {"array form at both levels", array_form, kPasses},
      {"extra key in the inventory", edited(R"({"schemaVersion")", R"({"x":1,"schemaVersion")"), kUnreadable},
      {"extra key in an asset", edited(R"("executable":)", R"("mode":1,"executable":)"), kUnreadable},
      {"missing executable", edited(R"(,"executable":true)", ""), kUnreadable},
      {"bytes with a fraction", edited(R"("bytes":7)", R"("bytes":7.0)"), kUnreadable},
      {"bytes with an exponent", edited(R"("bytes":7)", R"("bytes":7e0)"), kUnreadable},
      {"negative bytes", edited(R"("bytes":7)", R"("bytes":-7)"), kUnreadable},
      {"bytes as a string", edited(R"("bytes":7)", R"("bytes":"7")"), kUnreadable},
      {"schemaVersion beyond 32 bits", edited(R"("schemaVersion":3)", R"("schemaVersion":4294967299)"),
       kUnreadable},
      {"key given twice", edited(R"("schemaVersion":3)", R"("schemaVersion":3,"schemaVersion":3)"), kUnreadable},
      {"executable as a number", edited(R"("executable":true)", R"("executable":1)"), kUnreadable},
      {"path given null", edited(R"("path":"host/node/bin/node")", R"("path":null)"), kUnreadable},
      {"trailing value", test::document(base()) + "{}", kUnreadable},
      {"byte-order mark", "\xEF\xBB\xBF" + test::document(base()), kUnreadable},
      {"assets as an object", edited(R"("assets":[)", R"("assets":{"a":)") + "}", kUnreadable},
  });
}

TEST(InventoryParse, SchemaVersionCount) {
  EXPECT_EQ(outcome(test::document(base()), "1.2.3-rc.1"), kSchema);
  EXPECT_EQ(outcome(test::document(base(), "1.2.3-RC.1"), "1.2.3-rc.1"), kSchema);
  EXPECT_EQ(outcome(test::document(base()), "1.2"), kSchema);
  EXPECT_EQ(outcome(test::document(base()), "1.2.3 "), kSchema);
  check({
      {"schema 2", edited(R"("schemaVersion":3)", R"("schemaVersion":2)"), kSchema},
      {"no assets", test::document(std::vector<Listing>{}), kSchema},
      // Tests stand in order: a bad count is reported before a bad asset.
      {"schema 2 with a bad asset", edited(R"("schemaVersion":3)", R"("schemaVersion":2)", with([](auto &a) { a.push_back(a[0]); })), kSchema},
  });
}

std::string many(std::size_t count) {
  return with([&](auto &a) {
    for (std::size_t i = a.size(); i < count; ++i) a.push_back(asset("host/app/node_modules/m/" + std::to_string(i)));
  });
}

TEST(InventoryParse, AssetCountBound) {
  check({
      {"100,000 assets", many(Inventory::kMaxAssets), kPasses},
      {"100,001 assets", many(Inventory::kMaxAssets + 1), kSchema},
  });
}

TEST(InventoryParse, AssetFields) {
  std::string long_name = "release/" + std::string(4096 - 8, 'n');
  check({
      {"upper-case digest", with([](auto &a) { a[0].sha256 = std::string(64, 'F'); }), kPasses},
      {"63-digit digest", with([](auto &a) { a[0].sha256.pop_back(); }), kAsset},
      {"65-digit digest", with([](auto &a) { a[0].sha256 += 'a'; }), kAsset},
      {"digest with g", with([](auto &a) { a[0].sha256[5] = 'g'; }), kAsset},
      {"duplicate path", added(asset("host/app/package.json")), kAsset},
      {"dot-dot component", added(asset("host/app/../x")), kAsset},
      {"dot component", added(asset("host/app/./x")), kAsset},
      {"trailing slash", added(asset("host/app/x/")), kAsset},
      {"doubled slash", added(asset("host/app//x")), kAsset},
      {"absolute source", added(asset("host/app/x", 0, "/host/app/x")), kAsset},
      {"backslash", added(asset("host/app/a\\\\b")), kAsset},
      {"NUL", added(asset("host/app/a\\u0000b")), kAsset},
      {"empty path", added(asset("")), kAsset},
      {"path of 4096 bytes", added(asset(long_name)), kPasses},
      {"path of 4097 bytes", added(asset(long_name + "n")), kAsset},
      {"spaces and non-ASCII", added(asset("host/app/a b/\xC3\xA9.js")), kPasses},
  });
}

TEST(InventoryParse, Destination) {
  check({
      {"under release/", added(asset("release/notes.txt")), kPasses},
      {"under host/node/", added(asset("host/node/lib/x")), kPasses},
      {"foreground-runtime.json alone", without("foreground-runtime.json"), kPasses},
      {"top-level outside the names", added(asset("other.json")), kDestination},
      {"host/app itself", added(asset("host/app")), kDestination},
      {"prefix without its slash", added(asset("host/nodejs/x")), kDestination},
      {"case differs", added(asset("Host/app/x")), kDestination},
  });
}

TEST(InventoryParse, DependencyAlias) {
  check({
      {"alias inside app modules", added(asset("host/app/node_modules/a/x.js", 0, "host/app/node_modules/b/x.js")),
       kPasses},
      {"alias inside agent modules",
       added(asset("host/agent-runtime/node_modules/a", 0, "host/agent-runtime/node_modules/b")), kPasses},
      {"alias across closures",
       added(asset("host/app/node_modules/a/x.js", 0, "host/agent-runtime/node_modules/a/x.js")), kAlias},
      {"alias from outside the closures", added(asset("host/app/lib/x.js", 0, "host/app/lib/y.js")), kAlias},
      {"alias into a closure", added(asset("host/app/lib/x.js", 0, "host/app/node_modules/x.js")), kAlias},
      {"source is the closure's directory", added(asset("host/app/node_modules/a", 0, "host/app/node_modules")),
       kAlias},
  });
}

TEST(InventoryParse, ByteBudget) {
  auto totalling = [](std::uint64_t total) {
    return with([&](auto &a) {
      std::uint64_t sum = 0;
      for (const auto &l : a) sum += l.bytes;
      a.push_back(asset("release/big", total - sum));
    });
  };
  check({
      {"exactly 1 GiB", totalling(Inventory::kByteBudget), kPasses},
      {"one byte more", totalling(Inventory::kByteBudget + 1), kBudget},
      {"budget reported before a later bad asset", with([](auto &a) {
         a.push_back(asset("release/big", Inventory::kByteBudget));
         a.push_back(asset("release/big"));
       }),
       kBudget},
      {"overflow", with([](auto &a) { a.push_back(asset("release/big", UINT64_MAX)); }), kOverflow},
  });
}

TEST(InventoryParse, ParentCollision) {
  check({
      {"file then a path below it", with([](auto &a) {
         a.push_back(asset("host/app/lib"));
         a.push_back(asset("host/app/lib/x.js"));
       }),
       kParent},
      {"path below, then the file", with([](auto &a) {
         a.push_back(asset("host/app/lib/deep/x.js"));
         a.push_back(asset("host/app/lib"));
       }),
       kParent},
      {"a file among its siblings, then a path below it", with([](auto &a) {
         a.push_back(asset("host/app/lib/a.js"));
         a.push_back(asset("host/app/lib/b/c.js"));
         a.push_back(asset("host/app/lib/b"));
       }),
       kParent},
      {"a sibling sorting between the file and the path below it", with([](auto &a) {
         a.push_back(asset("host/app/x/q/r.js"));
         a.push_back(asset("host/app/x-y/z.js"));
         a.push_back(asset("host/app/x"));
       }),
       kParent},
      {"a sibling sharing the prefix", with([](auto &a) {
         a.push_back(asset("host/app/lib"));
         a.push_back(asset("host/app/lib-x/y.js"));
         a.push_back(asset("host/app/lib.d/y.js"));
       }),
       kPasses},
      {"collision reported before missing assets", with([](auto &a) {
         a.push_back(asset("host/app/lib"));
         a.push_back(asset("host/app/lib/x.js"));
         std::erase_if(a, [](const Listing &l) { return l.path == "host/app/protected/vault.bin"; });
       }),
       kParent},
  });
}

TEST(InventoryParse, Completeness) {
  check({
      {"vault missing", without("host/app/protected/vault.bin"), kIncomplete},
      {"node missing", without("host/node/bin/node"), kIncomplete},
      {"no dependency asset", with([](auto &a) {
         std::erase_if(a, [](const Listing &l) { return l.path.find("node_modules/") != std::string::npos; });
       }),
       kIncomplete},
  });
  auto assets = base();
  std::uint64_t sum = 0;
  for (const auto &l : assets) sum += l.bytes;
  EXPECT_EQ(outcome(test::document(assets, "1.2.3", sum + 1)), kIncomplete);
  EXPECT_EQ(outcome(test::document(assets, "1.2.3", sum - 1)), kIncomplete);
}

TEST(InventoryParse, KeepsDocumentOrder) {
  auto assets = base();
  std::swap(assets.front(), assets.back());
  auto parsed = Inventory::parse(test::bytes(test::document(assets)), "1.2.3");
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->assets().size(), assets.size());
  for (std::size_t i = 0; i < assets.size(); ++i) EXPECT_EQ(parsed->assets()[i].path, assets[i].path);
}

TEST(InventoryForeground, Closure) {
  auto foreground = [](const std::string &doc) -> std::string {
    auto parsed = Inventory::parse(test::bytes(doc), "1.2.3");
    EXPECT_TRUE(parsed) << doc;
    auto result = parsed->require_foreground();
    return result ? "" : result.error().message;
  };
  EXPECT_EQ(foreground(test::document(base())), kPasses);
  EXPECT_EQ(foreground(with([](auto &a) { a[0].executable = false; })), kNoForeground);
  for (const char *path :
       {"foreground-runtime.json", "host/app/protected/server/index.js", "host/app/protected/pty-service/index.js",
        "host/app/client/dist/index.html", "host/app/scripts/vela-protected-launcher.mjs",
        "host/app/scripts/vela-capability-proof-client.mjs",
        "host/app/public-capability-extensions/vela-capability-client.ts", "host/agent-runtime/package.json",
        "host/agent-runtime/node_modules/.bin/pi"})
    EXPECT_EQ(foreground(without(path)), kNoForeground) << path;
  // The parse asks for one dependency asset; the closure for one in each.
  EXPECT_EQ(foreground(without("host/app/node_modules/left-pad/index.js")), kNoForeground);
}

TEST(SafePath, Rules) {
  struct Row {
    std::string path;
    bool safe;
  };
  for (const auto &[path, safe] : std::vector<Row>{
           {"a", true},
           {"a/b/c", true},
           {"a b/\xC3\xA9", true},
           {"...", true},
           {".hidden/..x", true},
           {std::string(4096, 'a'), true},
           {std::string(4097, 'a'), false},
           {"", false},
           {"/a", false},
           {"a/", false},
           {"a//b", false},
           {".", false},
           {"..", false},
           {"a/./b", false},
           {"a/../b", false},
           {"a/..", false},
           {"a\\b", false},
           {std::string("a\0b", 3), false},
       })
    EXPECT_EQ(safe_path(path), safe) << path;
}

TEST(ForegroundMime, Table) {
  const std::string js = "text/javascript; charset=utf-8";
  struct Row {
    std::string name;
    std::string mime;  // empty: nothing
  };
  for (const auto &[name, mime] : std::vector<Row>{
           {"index.html", "text/html; charset=utf-8"},
           {"a.b.c.js", js},
           {"js", js},
           {"assets/app.mjs", js},
           {"style.css", "text/css; charset=utf-8"},
           {"m.json", "application/json"},
           {"site.webmanifest", "application/json"},
           {"x.wasm", "application/wasm"},
           {"i.svg", "image/svg+xml"},
           {"i.png", "image/png"},
           {"i.jpg", "image/jpeg"},
           {"i.jpeg", "image/jpeg"},
           {"i.gif", "image/gif"},
           {"i.webp", "image/webp"},
           {"favicon.ico", "image/x-icon"},
           {"f.woff", "font/woff"},
           {"f.woff2", "font/woff2"},
           {"f_-9.ttf", "font/ttf"},
           {"APP.JS", ""},
           {"other.html", ""},
           {"sub/index.html", ""},
           {"html", ""},
           {"a b.js", ""},
           {"a+b.js", ""},
           {"\xC3\xA9.js", ""},
           {"a.txt", ""},
           {"noextension", ""},
           {"../x.js", ""},
           {"/x.js", ""},
           {"a//x.js", ""},
           {"", ""},
           {std::string(1021, 'a') + ".js", js},
           {std::string(1022, 'a') + ".js", ""},
       }) {
    auto got = foreground_mime(name);
    EXPECT_EQ(got.value_or(""), mime) << name;
  }
}

}  // namespace
}  // namespace vela::inventory
