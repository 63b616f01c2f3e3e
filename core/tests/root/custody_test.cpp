// Custody trees as root in the sandbox: the module's walks, reads, checks and
// copies, then the five exports over them (argument order, the 0/1 result and
// the output rules).
#include "custody.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "tree.hpp"
#include "vela_core.h"

namespace vela::custody {
namespace {

using inventory::Inventory;
using test::os_error;
using test::outcome;
namespace fs = std::filesystem;

constexpr const char *kUnsafe = "custody path has unsafe type, owner or write permissions";
constexpr const char *kBounded = "custody file exceeds bounded read";
constexpr const char *kInstalledChanged = "installed custody asset changed";

const fs::path kSource = "/private/source";
const fs::path kTarget = "/private/target";

// Set-up steps that must pass; a failure throws.
Inventory parsed(const std::vector<test::Listing> &listed) {
  return Inventory::parse(test::bytes(test::document(listed)), "1.2.3").value();
}
Inventory parsed(const std::vector<test::File> &files) { return parsed(test::listings(files)); }
Directory root(const fs::path &path) { return Directory::open_root(path.string()).value(); }

class Custody : public ::testing::Test {
 protected:
  void SetUp() override {
    test::plant(kSource, files);
    fresh_target();
  }

  static void fresh_target() {
    fs::remove_all(kTarget);
    test::make_directories(kTarget);
  }
  std::string copy(const std::vector<test::File> &listed) {
    return outcome(root(kSource).copy_inventory(root(kTarget), parsed(listed)));
  }
  std::string verify(const fs::path &tree) { return outcome(root(tree).verify_inventory(parsed(files))); }

  std::vector<test::File> files = test::runtime();
};

struct Row {
  std::string path, expected;
};

TEST_F(Custody, OpenRoot) {
  test::make_directories("/private/other");
  ASSERT_EQ(::chown("/private/other", 1234, 0), 0);
  test::make_directories("/private/shared");
  fs::permissions("/private/shared", static_cast<fs::perms>(0775));
  fs::create_directory_symlink(kSource, "/private/link");
  for (const auto &[path, expected] : std::vector<Row>{
           {"//private//source/", ""},
           {"", "custody root must be absolute"},
           {"/private/source/../source", "custody root contains traversal"},
           {"/private/link", os_error(ENOTDIR)},
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
  ASSERT_EQ(::mknod((app / "device").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
  Descriptor opens(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  for (auto name : {"fifo", "device"}) ASSERT_GE(::inotify_add_watch(opens.get(), (app / name).c_str(), IN_OPEN), 0);
  test::write_file(app / "open/deeper/file", "x");
  fs::permissions(app / "open", static_cast<fs::perms>(0757));
  for (const auto &[path, expected] : std::vector<Row>{
           {"host/app/package.json", kUnsafe},  // it has a second link
           {"host/app/symlink", kUnsafe},
           {"host/app/dirlink/vault.bin", os_error(ENOTDIR)},
           {"host/app/group-writable", kUnsafe},
           {"host/app/foreign", kUnsafe},
           {"host/app/fifo", kUnsafe},
           {"host/app/device", kUnsafe},
           {"host/app/open/deeper/file", kUnsafe},
           {"host/app/../app/package.json", "unsafe relative custody path"},
       })
    EXPECT_EQ(outcome(root(kSource).read(path, 100)), expected) << path;
  char event[256];
  EXPECT_LT(::read(opens.get(), event, sizeof event), 0) << "a special file was opened";
  const auto seal = "host/app/scripts/seal-protected-runtime.mjs";
  EXPECT_EQ(outcome(root(kSource).read(seal, 7)), kBounded);
  auto bytes = root(kSource).read(seal, 8).value();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "seal();\n");
}

TEST_F(Custody, Verify) {
  EXPECT_EQ(verify(kSource), "");
  const fs::path vault = kSource / "host/app/protected/vault.bin";
  const std::string original = test::read_text(vault);
  for (const auto &[content, expected] : std::vector<Row>{
           {original + "x", kBounded},
           {original.substr(1), kInstalledChanged},
           {std::string(original.size(), 'v'), kInstalledChanged},
       }) {
    test::write_file(vault, content);
    EXPECT_EQ(verify(kSource), expected) << content;
  }
  fs::remove(vault);
  EXPECT_EQ(verify(kSource), os_error(ENOENT));
}

TEST_F(Custody, ReadForegroundAsset) {
  // Empty files, listed at the size given with another digest.
  for (auto name : {"zero.js", "big.js"}) test::write_file(kSource / "host/app/client/dist" / name, "");
  auto listing = [&](const std::string &name, std::uint64_t bytes) {
    auto listed = test::listings(files);
    listed.push_back({"host/app/client/dist/" + name, "host/app/client/dist/" + name, std::string(64, 'a'), bytes});
    return parsed(listed);
  };
  auto no_closure = files;
  std::erase_if(no_closure, [](const test::File &f) { return f.path == "host/app/protected/server/index.js"; });
  struct Case {
    std::string name;
    Inventory listed;
    std::string expected;
  };
  for (const auto &[name, listed, expected] : std::vector<Case>{
           {"missing.js", parsed(files), "unlisted foreground asset"},
           {"notes.txt", parsed(files), "invalid static asset path or MIME"},
           {"index.html", parsed(no_closure), "signed inventory lacks immutable foreground closure"},
           {"zero.js", listing("zero.js", 0), "foreground asset changed"},
           {"big.js", listing("big.js", 16'777'216), "foreground asset changed"},
           {"big.js", listing("big.js", 16'777'217), "foreground asset exceeds bounds"},
       })
    EXPECT_EQ(outcome(root(kSource).read_foreground_asset(listed, name)), expected) << name;
}

// Both copies read an alias from its source path and compare digests listed
// in upper case. The custody copy keeps the root's mode (its caller sets it);
// the foreground copy makes the whole tree world-readable.
TEST_F(Custody, CopiesSetModesWhateverTheUmask) {
  files.push_back({"host/app/node_modules/alias.js", "aliased();\n", false, "host/app/node_modules/original.js"});
  test::plant(kSource, files);
  auto upper = test::listings(files);
  for (auto &l : upper) std::ranges::transform(l.sha256, l.sha256.begin(), ::toupper);
  using Copy = Result<> (Directory::*)(const Directory &, const Inventory &) const;
  struct Case {
    Copy copy;
    mode_t root, directory, executable, plain;
  };
  for (const auto &[copy, root_mode, directory, executable, plain] :
       {Case{&Directory::copy_inventory, 0700, 0750, 0750, 0640},
        Case{&Directory::copy_foreground, 0755, 0755, 0755, 0644}}) {
    fresh_target();
    fs::permissions(kTarget, static_cast<fs::perms>(0700));
    mode_t previous = ::umask(0277);
    auto copied = (root(kSource).*copy)(root(kTarget), parsed(upper));
    ::umask(previous);
    ASSERT_EQ(outcome(copied), "");
    EXPECT_EQ(test::mode_of(kTarget), root_mode);
    EXPECT_FALSE(fs::exists(kTarget / "host/app/node_modules/original.js"));
    for (const test::File &f : files) {
      EXPECT_EQ(test::read_text(kTarget / f.path), f.content) << f.path;
      EXPECT_EQ(test::mode_of(kTarget / f.path), f.executable ? executable : plain) << f.path;
      for (fs::path dir = fs::path(f.path).parent_path(); !dir.empty(); dir = dir.parent_path())
        EXPECT_EQ(test::mode_of(kTarget / dir), directory) << dir;
    }
    EXPECT_EQ(verify(kTarget), "");
  }
}

TEST_F(Custody, CopyRefusesAnExistingFile) {
  test::write_file(kTarget / "host/app/package.json", "keep");
  EXPECT_EQ(copy(files), os_error(EEXIST));
  EXPECT_EQ(test::read_text(kTarget / "host/app/package.json"), "keep");
  EXPECT_EQ(test::read_text(kTarget / "host/node/bin/node"), files[0].content) << "earlier copies stay";
  EXPECT_FALSE(fs::exists(kTarget / "host/app/scripts")) << "later assets are not copied";
}

TEST_F(Custody, CopyRefusesUnsoundSources) {
  const fs::path vault = kTarget / "host/app/protected/vault.bin";
  auto vault_listed_as = [&](std::string content) {
    auto listed = files;
    listed[9].content = std::move(content);
    return listed;
  };
  EXPECT_EQ(copy(vault_listed_as(files[9].content + "x")), "authenticated asset size differs");
  EXPECT_FALSE(fs::exists(vault));
  fresh_target();
  EXPECT_EQ(copy(vault_listed_as("x" + files[9].content.substr(1))), "asset changed during custody copy");
  EXPECT_FALSE(fs::exists(vault)) << "a failed copy unlinks its file";
  fresh_target();
  ASSERT_EQ(::link((kSource / "host/app/protected/vault.bin").c_str(), "/private/vault-link"), 0);
  EXPECT_EQ(copy(files), kUnsafe);
}

// Runs the change on the file, again and again, from the first read of it
// until the thread goes.
std::jthread on_first_read(const fs::path &file, std::function<bool()> change) {
  Descriptor watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (::inotify_add_watch(watch.get(), file.c_str(), IN_ACCESS) < 0) throw std::runtime_error("inotify");
  return std::jthread([watch = std::move(watch), change](std::stop_token stop) {
    pollfd ready{watch.get(), POLLIN, 0};
    while (!stop.stop_requested() && ::poll(&ready, 1, 10) == 0) {
    }
    while (!stop.stop_requested() && change()) {
    }
  });
}

// A file of many chunks, large enough that a change made at its first read
// lands while the copy or verification still reads it; a failed copy leaves
// no new file.
TEST_F(Custody, FilesThatChangeWhileRead) {
  files.push_back({"release/large.bin", std::string(64 << 20, 'L')});
  const fs::path large = kSource / "release/large.bin";
  test::plant(kSource, files);
  Descriptor appender(::open(large.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  std::function<bool()> grow = [&] { return ::write(appender.get(), "more", 4) == 4; };
  struct Case {
    const char *name;
    std::function<bool()> change;
    bool copying;
    const char *expected;
  };
  for (const auto &[name, change, copying, expected] : std::vector<Case>{
           {"copy of a growing file", grow, true, "asset grew during custody copy"},
           {"verification of a growing file", grow, false, "custody file changed during read"},
       }) {
    test::plant(kSource, files);
    fresh_target();
    std::string result;
    {
      auto during = on_first_read(large, change);
      result = copying ? copy(files) : verify(kSource);
    }
    EXPECT_EQ(result, expected) << name;
    EXPECT_EQ(fs::exists(kTarget / "release/large.bin"), copying && result.empty()) << name;
  }
}

const std::string kDoc = test::document(test::runtime());
// The custody inventory need not list the foreground closure.
const std::string kNoClosure = [] {
  auto files = test::runtime();
  std::erase_if(files, [](const test::File &f) { return f.path == "host/agent-runtime/package.json"; });
  return test::document(files);
}();

const std::uint8_t *data(const std::string &doc) { return test::bytes(doc).data(); }

TEST_F(Custody, ExportedReadWritesAllOrNothing) {
  enum { kNoOutput = 1, kNoLength = 2, kNoDigest = 4 };
  struct Read {
    const char *name;
    std::string content;
    std::size_t capacity, digest_capacity;
    const char *digest;  // null: refused
    int missing = 0;
  };
  for (const auto &[name, content, capacity, digest_capacity, digest, missing] : std::vector<Read>{
           {"assets/app.js", "app();\n", 7, 65, "2592fc76f918132c617629088de9909c9834ca33aa269b5f5d763ba352544522"},
           {"empty.css", "", 0, 65, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
           {"assets/app.js", "", 6, 65, nullptr},
           {"assets/app.js", "", 7, 64, nullptr},
           {"assets/app.js", "", 7, 65, nullptr, kNoDigest},
       }) {
    // Buffers filled with a marker, so what was written shows.
    std::string output(capacity + 1, '#'), digest_out(digest_capacity, '#');
    std::size_t length = 12345;
    int result = vela_core_read_foreground_asset(
        kSource.c_str(), data(kDoc), kDoc.size(), "1.2.3", name,
        missing & kNoOutput ? nullptr : reinterpret_cast<std::uint8_t *>(output.data()), capacity,
        missing & kNoLength ? nullptr : &length, missing & kNoDigest ? nullptr : digest_out.data(), digest_capacity);
    const auto row = std::string(name) + " " + std::to_string(capacity) + "/" + std::to_string(digest_capacity) +
                     " missing " + std::to_string(missing);
    EXPECT_EQ(result, digest ? 0 : 1) << row;
    EXPECT_EQ(output, content + std::string(capacity + 1 - content.size(), '#')) << row;
    EXPECT_EQ(length, digest ? content.size() : 12345) << row;
    EXPECT_EQ(digest_out, digest ? std::string(digest) + '\0' : std::string(digest_capacity, '#')) << row;
  }
}

TEST_F(Custody, ExportedVerifications) {
  const char *root = kSource.c_str();
  const auto *inventory = data(kDoc), *no_closure = data(kNoClosure);
  EXPECT_EQ(vela_core_verify_inventory(root, inventory, kDoc.size(), "1.2.3"), 0);
  EXPECT_EQ(vela_core_verify_foreground(root, inventory, kDoc.size(), "1.2.3"), 0);
  EXPECT_EQ(vela_core_verify_inventory(root, no_closure, kNoClosure.size(), "1.2.3"), 0);
  EXPECT_EQ(vela_core_verify_foreground(root, no_closure, kNoClosure.size(), "1.2.3"), 1);
  EXPECT_EQ(vela_core_verify_inventory(root, inventory, kDoc.size(), "1.2.4"), 1);
  EXPECT_EQ(vela_core_verify_inventory(root, nullptr, 0, "1.2.3"), 1);
  EXPECT_EQ(vela_core_verify_inventory(nullptr, inventory, kDoc.size(), "1.2.3"), 1);
  EXPECT_EQ(vela_core_verify_inventory(root, inventory, kDoc.size(), nullptr), 1);
}

TEST_F(Custody, ExportedCopies) {
  const char *source = kSource.c_str(), *target = kTarget.c_str();
  const auto *inventory = data(kDoc);
  EXPECT_EQ(vela_core_copy_inventory(source, target, inventory, kDoc.size(), "1.2.4"), 1);
  EXPECT_EQ(vela_core_copy_foreground(source, target, inventory, kDoc.size(), "1.2.4"), 1);
  EXPECT_EQ(vela_core_copy_foreground(source, target, data(kNoClosure), kNoClosure.size(), "1.2.3"), 1);
  EXPECT_TRUE(fs::is_empty(kTarget)) << "refused before touching a tree";
  for (auto copy : {vela_core_copy_inventory, vela_core_copy_foreground}) {
    fresh_target();
    ASSERT_EQ(copy(source, target, inventory, kDoc.size(), "1.2.3"), 0);
    EXPECT_EQ(vela_core_verify_foreground(target, inventory, kDoc.size(), "1.2.3"), 0);
  }
}

}  // namespace
}  // namespace vela::custody
