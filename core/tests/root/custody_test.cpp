#include "custody.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "tree.hpp"

namespace vela::custody {
namespace {

using inventory::Inventory;
using test::outcome;
namespace fs = std::filesystem;

constexpr const char *kAbsolute = "custody root must be absolute";
constexpr const char *kTraversal = "custody root contains traversal";
constexpr const char *kUnsafe = "custody path has unsafe type, owner or write permissions";
constexpr const char *kUnsafeRelative = "unsafe relative custody path";
constexpr const char *kBounded = "custody file exceeds bounded read";
constexpr const char *kChangedRead = "custody file changed during read";
constexpr const char *kInstalledChanged = "installed custody asset changed";
constexpr const char *kBadName = "invalid static asset path or MIME";
constexpr const char *kUnlisted = "unlisted foreground asset";
constexpr const char *kForegroundBounds = "foreground asset exceeds bounds";
constexpr const char *kForegroundChanged = "foreground asset changed";
constexpr const char *kSizeDiffers = "authenticated asset size differs";
constexpr const char *kGrew = "asset grew during custody copy";
constexpr const char *kCopyChanged = "asset changed during custody copy";
constexpr const char *kNoForeground = "signed inventory lacks immutable foreground closure";

const fs::path kSource = "/private/source";
const fs::path kTarget = "/private/target";

Inventory parsed(const std::vector<test::File> &files) {
  auto inv = Inventory::parse(test::bytes(test::document(files)), "1.2.3");
  if (!inv) throw std::runtime_error(inv.error().message);
  return std::move(*inv);
}

Directory root(const fs::path &path) {
  auto dir = Directory::open_root(path.string());
  if (!dir) throw std::runtime_error("open_root " + path.string() + ": " + outcome(dir));
  return std::move(*dir);
}

class Custody : public ::testing::Test {
 protected:
  void SetUp() override {
    test::plant(kSource, files);
    test::make_directories(kTarget);
  }

  std::string copy(const std::vector<test::File> &listed) {
    return outcome(root(kSource).copy_inventory(root(kTarget), parsed(listed)));
  }
  std::string verify(const fs::path &tree) { return outcome(root(tree).verify_inventory(parsed(files))); }

  std::vector<test::File> files = test::runtime();
};

TEST_F(Custody, OpenRoot) {
  test::make_directories("/private/other");
  ASSERT_EQ(::chown("/private/other", 1234, 0), 0);
  test::make_directories("/private/shared");
  fs::permissions("/private/shared", static_cast<fs::perms>(0775));
  fs::create_directory_symlink(kSource, "/private/link");
  test::write_file("/private/file", "x");
  struct Row {
    std::string path, expected;
  };
  for (const auto &[path, expected] : std::vector<Row>{
           {"/", ""},
           {"//private//source/", ""},
           {"/private/source/host/app", ""},
           {"", kAbsolute},
           {"private/source", kAbsolute},
           {"/private/source/../source", kTraversal},
           {"/private/source/./host", kTraversal},
           {"/private/missing/../source", test::os_error(ENOENT)},
           {"/private/link", test::os_error(ENOTDIR)},  // a link is not opened as a directory
           {"/private/link/host", test::os_error(ENOTDIR)},
           {"/private/file", test::os_error(ENOTDIR)},
           {"/private/other", kUnsafe},
           {"/private/shared", kUnsafe},
           {"/tmp", kUnsafe},
       })
    EXPECT_EQ(outcome(Directory::open_root(path)), expected) << path;
}

TEST_F(Custody, ReadRefusesUnsafeEntries) {
  const fs::path app = kSource / "host/app";
  ASSERT_EQ(::link((app / "package.json").c_str(), (app / "second-link").c_str()), 0);
  fs::create_symlink("package.json", app / "symlink");
  fs::create_directory_symlink("protected", app / "dirlink");
  test::write_file(app / "group-writable", "x", 0664);
  test::write_file(app / "foreign", "x");
  ASSERT_EQ(::chown((app / "foreign").c_str(), 1234, 0), 0);
  ASSERT_EQ(::mkfifo((app / "fifo").c_str(), 0600), 0);
  test::make_directories(app / "open/deeper");
  test::write_file(app / "open/deeper/file", "x");
  fs::permissions(app / "open", static_cast<fs::perms>(0757));
  struct Row {
    std::string path;
    std::uint64_t maximum;
    std::string expected;
  };
  const std::string json = R"({"name":"app"})";
  for (const auto &[path, maximum, expected] : std::vector<Row>{
           {"host/app/scripts/seal-protected-runtime.mjs", 8, ""},
           {"host/app/scripts/seal-protected-runtime.mjs", 7, kBounded},
           {"host/app/second-link", 100, kUnsafe},
           {"host/app/package.json", 100, kUnsafe},  // its second link
           {"host/app/symlink", 100, test::os_error(ELOOP)},
           {"host/app/dirlink/vault.bin", 100, test::os_error(ENOTDIR)},
           {"host/app/group-writable", 100, kUnsafe},
           {"host/app/foreign", 100, kUnsafe},
           {"host/app/fifo", 100, kUnsafe},
           {"host/app/protected", 100, kUnsafe},
           {"host/app/open/deeper/file", 100, kUnsafe},
           {"host/app/missing", 100, test::os_error(ENOENT)},
           {"host/app/../app/package.json", 100, kUnsafeRelative},
           {"/host/app/package.json", 100, kUnsafeRelative},
       })
    EXPECT_EQ(outcome(root(kSource).read(path, maximum)), expected) << path;
  auto bytes = root(kSource).read("host/app/scripts/seal-protected-runtime.mjs", 8);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "seal();\n");
}

TEST_F(Custody, Parent) {
  auto parent = root(kSource).parent("host/app/package.json", false);
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->leaf, "package.json");
  struct stat seen {}, expected {};
  ASSERT_EQ(::fstat(parent->directory.get(), &seen), 0);
  ASSERT_EQ(::stat((kSource / "host/app").c_str(), &expected), 0);
  EXPECT_EQ(seen.st_ino, expected.st_ino);
  // One component: a duplicate of the root, above the standard descriptors.
  auto top = root(kSource).parent("production-inventory.json", false);
  ASSERT_TRUE(top);
  EXPECT_GE(top->directory.get(), 10);
  EXPECT_EQ(top->leaf, "production-inventory.json");
  EXPECT_EQ(outcome(root(kTarget).parent("a/b/c", false)), test::os_error(ENOENT));
  EXPECT_FALSE(fs::exists(kTarget / "a"));
}

TEST_F(Custody, Verify) {
  EXPECT_EQ(verify(kSource), "");
  const fs::path vault = kSource / "host/app/protected/vault.bin";
  const std::string original = test::read_text(vault);
  struct Row {
    const char *name;
    std::string content;
    std::string expected;
  };
  for (const auto &[name, content, expected] : std::vector<Row>{
           {"one byte larger", original + "x", kBounded},
           {"one byte smaller", original.substr(1), kInstalledChanged},
           {"same size, other bytes", std::string(original.size(), 'v'), kInstalledChanged},
           {"restored", original, ""},
       }) {
    test::write_file(vault, content);
    EXPECT_EQ(verify(kSource), expected) << name;
  }
  // A digest listed in upper case names the same content.
  auto listings = test::listings(files);
  for (auto &l : listings) std::ranges::transform(l.sha256, l.sha256.begin(), ::toupper);
  auto upper = Inventory::parse(test::bytes(test::document(listings)), "1.2.3");
  ASSERT_TRUE(upper);
  EXPECT_EQ(outcome(root(kSource).verify_inventory(*upper)), "");
  fs::remove(vault);
  EXPECT_EQ(verify(kSource), test::os_error(ENOENT));
}

TEST_F(Custody, ReadForegroundAsset) {
  auto inv = parsed(files);
  auto asset = root(kSource).read_foreground_asset(inv, "assets/app.js");
  ASSERT_TRUE(asset);
  EXPECT_EQ(std::string(asset->bytes.begin(), asset->bytes.end()), "app();\n");
  EXPECT_EQ(asset->digest, test::listing(files[15]).sha256);

  auto big = files;
  big.push_back({"host/app/client/dist/big.js", ""});
  auto listings = test::listings(big);
  listings.back().bytes = 16'777'217;
  auto with_big = Inventory::parse(test::bytes(test::document(listings)), "1.2.3");
  ASSERT_TRUE(with_big);

  auto without_closure = files;
  std::erase_if(without_closure, [](const test::File &f) { return f.path == "host/app/protected/server/index.js"; });
  auto no_closure = parsed(without_closure);
  struct Row {
    std::string name;
    const Inventory &inv;
    std::string expected;
  };
  for (const auto &[name, listed, expected] : std::vector<Row>{
           {"index.html", inv, ""},
           {"empty.css", inv, ""},
           {"missing.js", inv, kUnlisted},
           {"notes.txt", inv, kBadName},
           {"../dist/index.html", inv, kBadName},
           {"index.html", no_closure, kNoForeground},
           {"big.js", *with_big, kForegroundBounds},
       })
    EXPECT_EQ(outcome(root(kSource).read_foreground_asset(listed, name)), expected) << name;

  test::write_file(kSource / "host/app/client/dist/assets/app.js", "bad();\n");
  EXPECT_EQ(outcome(root(kSource).read_foreground_asset(inv, "assets/app.js")), kForegroundChanged);
}

TEST_F(Custody, CopyInventorySetsModesWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{0277}}) {
    const fs::path target = "/private/copy-" + std::to_string(mask);
    test::make_directories(target);
    fs::permissions(target, static_cast<fs::perms>(0700));
    mode_t previous = ::umask(mask);
    auto copied = root(kSource).copy_inventory(root(target), parsed(files));
    ::umask(previous);
    ASSERT_EQ(outcome(copied), "") << mask;
    EXPECT_EQ(test::mode_of(target), 0700u) << "the caller sets the root's mode";
    for (const test::File &f : files) {
      EXPECT_EQ(test::read_text(target / f.path), f.content) << f.path;
      EXPECT_EQ(test::mode_of(target / f.path), f.executable ? 0750u : 0640u) << f.path;
      for (fs::path dir = fs::path(f.path).parent_path(); !dir.empty(); dir = dir.parent_path())
        EXPECT_EQ(test::mode_of(target / dir), 0750u) << dir;
    }
    EXPECT_EQ(verify(target), "");
  }
}

TEST_F(Custody, CopyFollowsDependencyAliases) {
  files.push_back({"host/app/node_modules/alias/index.js", "aliased();\n", false,
                   "host/app/node_modules/original/index.js"});
  test::plant(kSource, files);
  EXPECT_EQ(copy(files), "");
  EXPECT_EQ(test::read_text(kTarget / "host/app/node_modules/alias/index.js"), "aliased();\n");
  EXPECT_FALSE(fs::exists(kTarget / "host/app/node_modules/original"));
}

TEST_F(Custody, CopyRefusesAnExistingFile) {
  test::write_file(kTarget / "host/app/package.json", "keep");
  EXPECT_EQ(copy(files), test::os_error(EEXIST));
  EXPECT_EQ(test::read_text(kTarget / "host/app/package.json"), "keep");
  // Files copied before the failing asset stay.
  EXPECT_EQ(test::read_text(kTarget / "host/node/bin/node"), files[0].content);
  EXPECT_FALSE(fs::exists(kTarget / "host/app/scripts"));
}

TEST_F(Custody, CopyRefusesUnsoundSources) {
  const fs::path vault = kTarget / "host/app/protected/vault.bin";
  auto listed_with = [&](auto change) {
    auto changed = files;
    change(changed[9]);  // the vault
    return changed;
  };
  EXPECT_EQ(copy(listed_with([](test::File &f) { f.content += "x"; })), kSizeDiffers);
  EXPECT_FALSE(fs::exists(vault));
  fs::remove_all(kTarget);
  test::make_directories(kTarget);
  EXPECT_EQ(copy(listed_with([](test::File &f) { f.content[0] = 'x'; })), kCopyChanged);
  EXPECT_FALSE(fs::exists(vault)) << "a failed copy unlinks its file";
  fs::remove_all(kTarget);
  test::make_directories(kTarget);
  ASSERT_EQ(::link((kSource / "host/app/protected/vault.bin").c_str(), "/private/vault-link"), 0);
  EXPECT_EQ(copy(files), kUnsafe);
}

TEST_F(Custody, CopyDoesNotFollowALinkInTheDestination) {
  test::make_directories("/private/elsewhere");
  test::make_directories(kTarget / "host");
  fs::create_directory_symlink("/private/elsewhere", kTarget / "host/app");
  EXPECT_EQ(copy(files), test::os_error(ENOTDIR));
  EXPECT_TRUE(fs::is_empty("/private/elsewhere"));
}

// Runs the change on the file, again and again, from the first read of it
// until the guard goes; on another thread.
class OnFirstRead {
 public:
  OnFirstRead(const fs::path &file, std::function<bool()> change)
      : watch_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (::inotify_add_watch(watch_.get(), file.c_str(), IN_ACCESS) < 0) throw std::runtime_error("inotify");
    thread_ = std::thread([this, change] {
      pollfd ready{watch_.get(), POLLIN, 0};
      while (!stop_ && ::poll(&ready, 1, 10) == 0) {
      }
      while (!stop_ && change()) {
      }
    });
  }
  ~OnFirstRead() {
    stop_ = true;
    thread_.join();
  }

 private:
  Descriptor watch_;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// A file large enough that a change made at its first read lands while the
// copy or verification still reads it; each failure leaves no new file.
TEST_F(Custody, FilesThatChangeWhileRead) {
  files.push_back({"release/large.bin", std::string(64 << 20, 'L')});
  const fs::path large = kSource / "release/large.bin";
  test::plant(kSource, files);
  Descriptor appender(::open(large.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  std::function<bool()> grow = [&] { return ::write(appender.get(), "more", 4) == 4; };
  std::function<bool()> shrink = [&] { return ::truncate(large.c_str(), 1 << 20) != 0; };
  struct Row {
    const char *name;
    std::function<bool()> change;
    bool copying;
    const char *expected;
  };
  for (const auto &[name, change, copying, expected] : std::vector<Row>{
           {"copy of a growing file", grow, true, kGrew},
           {"copy of a shrinking file", shrink, true, kCopyChanged},
           {"verification of a growing file", grow, false, kChangedRead},
           {"verification of a shrinking file", shrink, false, kChangedRead},
       }) {
    test::plant(kSource, files);
    fs::remove_all(kTarget);
    test::make_directories(kTarget);
    std::string result;
    {
      OnFirstRead during(large, change);
      result = copying ? copy(files) : verify(kSource);
    }
    EXPECT_EQ(result, expected) << name;
    EXPECT_FALSE(fs::exists(kTarget / "release/large.bin")) << name;
  }
}

TEST_F(Custody, CopyForegroundGivesWorldReadableModes) {
  fs::permissions(kTarget, static_cast<fs::perms>(0700));
  mode_t previous = ::umask(077);
  auto copied = root(kSource).copy_foreground(root(kTarget), parsed(files));
  ::umask(previous);
  ASSERT_EQ(outcome(copied), "");
  EXPECT_EQ(test::mode_of(kTarget), 0755u);
  for (const test::File &f : files) {
    EXPECT_EQ(test::read_text(kTarget / f.path), f.content) << f.path;
    EXPECT_EQ(test::mode_of(kTarget / f.path), f.executable ? 0755u : 0644u) << f.path;
    for (fs::path dir = fs::path(f.path).parent_path(); !dir.empty(); dir = dir.parent_path())
      EXPECT_EQ(test::mode_of(kTarget / dir), 0755u) << dir;
  }
}

TEST_F(Custody, CopyForegroundWithoutClosureCopiesNothing) {
  std::erase_if(files, [](const test::File &f) { return f.path == "host/agent-runtime/package.json"; });
  EXPECT_EQ(outcome(root(kSource).copy_foreground(root(kTarget), parsed(files))), kNoForeground);
  EXPECT_TRUE(fs::is_empty(kTarget));
}

}  // namespace
}  // namespace vela::custody
