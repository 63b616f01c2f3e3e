// Custody trees as root in the sandbox: the module's walks, reads, checks and
// copies, and the export's output rules.
#include "custody.hpp"

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
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
const fs::path kSource = "/private/source", kTarget = "/private/target";

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

using Rows = std::vector<std::pair<std::string, std::string>>;

TEST_F(Custody, OpenRoot) {
  test::make_directories("/private/other");
  ASSERT_EQ(::chown("/private/other", 1234, 0), 0);
  for (const auto &[path, expected] : Rows{
           {"private/source", "custody root must be absolute"},
           {"/private/source/../source", "custody root contains traversal"},
           {"/private/other", kUnsafe},
       })
    EXPECT_EQ(outcome(Directory::open_root(path)), expected) << path;
}

// Unsafe entries are refused, and a fifo is never opened.
TEST_F(Custody, ReadRefusesUnsafeEntries) {
  const fs::path app = kSource / "host/app";
  ASSERT_EQ(::link((app / "package.json").c_str(), (app / "second-link").c_str()), 0);
  fs::create_directory_symlink("protected", app / "dirlink");
  test::write_file(app / "group-writable", "x", 0664);
  test::write_file(app / "foreign", "x");
  ASSERT_EQ(::chown((app / "foreign").c_str(), 1234, 0), 0);
  ASSERT_EQ(::mkfifo((app / "fifo").c_str(), 0600), 0);
  test::write_file(app / "open/deeper/file", "x");
  fs::permissions(app / "open", static_cast<fs::perms>(0757));
  Descriptor opens(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_GE(::inotify_add_watch(opens.get(), (app / "fifo").c_str(), IN_OPEN), 0);
  for (const auto &[path, expected] : Rows{
           {"host/app/package.json", kUnsafe},  // it has a second link
           {"host/app/dirlink/vault.bin", os_error(ENOTDIR)},
           {"host/app/group-writable", kUnsafe},
           {"host/app/foreign", kUnsafe},
           {"host/app/fifo", kUnsafe},
           {"host/app/open/deeper/file", kUnsafe},
           {"host/app/../app/package.json", "unsafe relative custody path"},
       })
    EXPECT_EQ(outcome(root(kSource).read(path, 100)), expected) << path;
  char event[256];
  EXPECT_LT(::read(opens.get(), event, sizeof event), 0) << "the fifo was opened";
  const auto seal = "host/app/scripts/seal-protected-runtime.mjs";
  EXPECT_EQ(outcome(root(kSource).read(seal, 7)), "custody file exceeds bounded read");
  EXPECT_EQ(outcome(root(kSource).read(seal, 8)), "");
}

TEST_F(Custody, ReadForegroundAsset) {
  test::write_file(kSource / "host/app/client/dist/big.js", "");
  auto listing = [&](std::uint64_t bytes) {  // listed at that size with another digest
    auto listed = test::listings(files);
    listed.push_back({"host/app/client/dist/big.js", "host/app/client/dist/big.js", std::string(64, 'a'), bytes});
    return parsed(listed);
  };
  for (const auto &[name, listed, expected] : std::vector<std::tuple<std::string, Inventory, std::string>>{
           {"missing.js", parsed(files), "unlisted foreground asset"},
           {"big.js", listing(16'777'216), "foreground asset changed"},
           {"big.js", listing(16'777'217), "foreground asset exceeds bounds"},
       })
    EXPECT_EQ(outcome(root(kSource).read_foreground_asset(listed, name)), expected) << name;
}

// The copy reads an alias from its source path, compares digests listed in
// upper case, and sets its modes whatever the umask, keeping the root's (its
// caller sets it). The foreground copy's modes are the daemon's tests'.
TEST_F(Custody, CopySetsModesWhateverTheUmask) {
  files.push_back({"host/app/node_modules/alias.js", "aliased();\n", false, "host/app/node_modules/original.js"});
  test::plant(kSource, files);
  auto upper = test::listings(files);
  for (auto &l : upper) std::ranges::transform(l.sha256, l.sha256.begin(), ::toupper);
  fs::permissions(kTarget, static_cast<fs::perms>(0700));
  mode_t previous = ::umask(0277);
  auto copied = root(kSource).copy_inventory(root(kTarget), parsed(upper));
  ::umask(previous);
  ASSERT_EQ(outcome(copied), "");
  EXPECT_EQ(test::mode_of(kTarget), 0700u);
  for (const test::File &f : files) {
    EXPECT_EQ(test::read_text(kTarget / f.path), f.content) << f.path;
    EXPECT_EQ(test::mode_of(kTarget / f.path), f.executable ? 0750u : 0640u) << f.path;
    for (fs::path dir = fs::path(f.path).parent_path(); !dir.empty(); dir = dir.parent_path())
      EXPECT_EQ(test::mode_of(kTarget / dir), 0750u) << dir;
  }
}

TEST_F(Custody, CopyRefusals) {
  test::write_file(kTarget / "host/app/package.json", "keep");
  EXPECT_EQ(copy(files), os_error(EEXIST));
  auto vault_listed_as = [&](std::string content) {
    auto listed = files;
    listed[9].content = std::move(content);
    return listed;
  };
  for (const auto &[content, expected] : Rows{{files[9].content + "x", "authenticated asset size differs"},
                                              {files[9].content.substr(1) + "x", "asset changed during custody copy"}}) {
    fresh_target();
    EXPECT_EQ(copy(vault_listed_as(content)), expected);
    EXPECT_FALSE(fs::exists(kTarget / "host/app/protected/vault.bin")) << "a failed copy unlinks its file";
  }
}

// A file of many chunks that grows from its first read on, while the copy or
// the verification still reads it.
TEST_F(Custody, FilesThatGrowWhileRead) {
  files.push_back({"release/large.bin", std::string(64 << 20, 'L')});
  const fs::path large = kSource / "release/large.bin";
  for (const auto &[copying, expected] :
       {std::pair{true, "asset grew during custody copy"}, std::pair{false, "custody file changed during read"}}) {
    test::plant(kSource, files);
    fresh_target();
    Descriptor watch(::inotify_init1(IN_CLOEXEC)), appender(::open(large.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    ASSERT_GE(::inotify_add_watch(watch.get(), large.c_str(), IN_ACCESS), 0);
    std::jthread grow([&](std::stop_token stop) {
      pollfd ready{watch.get(), POLLIN, 0};
      while (!stop.stop_requested() && ::poll(&ready, 1, 10) == 0) {
      }
      while (!stop.stop_requested() && ::write(appender.get(), "more", 4) == 4) {
      }
    });
    EXPECT_EQ(copying ? copy(files) : verify(kSource), expected);
    EXPECT_FALSE(fs::exists(kTarget / "release/large.bin"));
  }
}

// The read writes its three outputs only on success.
TEST_F(Custody, ExportedReadWritesAllOrNothing) {
  const std::string doc = test::document(files);
  for (const auto &[capacity, digest_capacity, digest] : std::vector<std::tuple<std::size_t, std::size_t, const char *>>{
           {7, 65, "2592fc76f918132c617629088de9909c9834ca33aa269b5f5d763ba352544522"}, {6, 65, nullptr}, {7, 64, nullptr}}) {
    std::string output(8, '#'), digest_out(digest_capacity, '#');
    std::size_t length = 12345;
    EXPECT_EQ(vela_core_read_foreground_asset(kSource.c_str(), test::bytes(doc).data(), doc.size(), "1.2.3",
                                              "assets/app.js", reinterpret_cast<std::uint8_t *>(output.data()),
                                              capacity, &length, digest_out.data(), digest_capacity),
              digest ? 0 : 1);
    EXPECT_EQ(output, digest ? "app();\n#" : "########");
    EXPECT_EQ(length, digest ? 7U : 12345U);
    EXPECT_EQ(digest_out, digest ? std::string(digest) + '\0' : std::string(digest_capacity, '#'));
  }
}

// While the walks run, a child keeps exchanging a directory of each tree with
// a link to a directory outside: each walk succeeds on the real tree or
// fails, and nothing outside is ever opened, read or created.
const fs::path kOutside = "/private/outside", kOutsideTarget = "/private/outside-target";

TEST_F(Custody, SwappedDirectoriesNeverLeadOutside) {
  const Inventory listed = parsed(files);
  // The source's client directory, and an outside copy of it that would pass
  // every check if it were ever reached.
  std::vector<test::File> client;
  for (const auto &f : files)
    if (f.path.starts_with("host/app/client/")) client.push_back({f.path.substr(16), f.content});
  test::plant(kOutside, client);
  test::make_directories(kOutsideTarget);
  const fs::path client_dir = kSource / "host/app/client", client_link = kSource / "host/app/client.swap";
  const fs::path host = kTarget / "host", host_link = kTarget / "host.swap";
  fs::create_directory_symlink(kOutside, client_link);

  Descriptor watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  for (const fs::path &dir : {kOutside, kOutside / "dist", kOutside / "dist/assets", kOutsideTarget})
    ASSERT_GE(::inotify_add_watch(watch.get(), dir.c_str(), IN_ALL_EVENTS), 0);

  int successes = 0, refusals = 0;
  const pid_t swapper = ::fork();  // swaps both pairs of names, over and over
  ASSERT_GE(swapper, 0);
  if (swapper == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (;;)
      for (const auto &[a, b] : {std::pair{client_dir, client_link}, std::pair{host, host_link}})
        ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (int i = 0; i < 400 && std::chrono::steady_clock::now() < deadline; ++i) {
    auto source = Directory::open_root(kSource.string());
    ASSERT_TRUE(source);
    auto tally = [&](const Result<> &r) {
      ASSERT_TRUE(r || (r.error().kind == Kind::os && r.error().code == ENOTDIR)) << test::outcome(r);
      (r ? successes : refusals)++;
    };
    tally(source->verify_inventory(listed));
    auto asset = source->read_foreground_asset(listed, "assets/app.js");
    tally(asset ? Result<>{} : fail(asset.error()));

    // A fresh destination whose "host" directory is being swapped too.
    test::make_directories(kTarget);
    fs::create_directory(host);
    fs::permissions(host, static_cast<fs::perms>(0750));
    fs::create_directory_symlink(kOutsideTarget, host_link);
    auto target = Directory::open_root(kTarget.string());
    ASSERT_TRUE(target);
    tally(i % 2 ? source->copy_foreground(*target, listed) : source->copy_inventory(*target, listed));
    fs::rename(kTarget, "/private/copy-" + std::to_string(i));
  }
  ::kill(swapper, SIGKILL);
  ::waitpid(swapper, nullptr, 0);
  EXPECT_GT(successes, 0) << "operations on the real trees succeed";
  EXPECT_GT(refusals, 0) << "the swaps were met";

  alignas(inotify_event) char events[4096];
  EXPECT_TRUE(::read(watch.get(), events, sizeof events) < 0 && errno == EAGAIN)
      << "something outside the trees was opened or changed";
  EXPECT_TRUE(fs::is_empty(kOutsideTarget));
}

}  // namespace
}  // namespace vela::custody
