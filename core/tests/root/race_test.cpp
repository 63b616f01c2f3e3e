// Custody walks under attack: while verifications, reads and copies run in a
// loop, another process keeps swapping a directory of the trees they walk
// with a symbolic link to a directory outside them (renameat2 with
// RENAME_EXCHANGE). Every operation must either succeed on the real tree or
// fail, and nothing outside may ever be opened, read or created.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>

#include "custody.hpp"
#include "tree.hpp"

namespace vela::custody {
namespace {

namespace fs = std::filesystem;

const fs::path kSource = "/private/source", kTarget = "/private/target";
const fs::path kOutside = "/private/outside", kOutsideTarget = "/private/outside-target";

TEST(CustodyRace, SwappedDirectoriesNeverLeadOutside) {
  auto files = test::runtime();
  auto inventory = inventory::Inventory::parse(test::bytes(test::document(files)), "1.2.3");
  ASSERT_TRUE(inventory);

  // The source's client directory, and an outside copy of it that would pass
  // every check if it were ever reached.
  test::plant(kSource, files);
  std::vector<test::File> client;
  for (const auto &f : files)
    if (f.path.starts_with("host/app/client/")) client.push_back({f.path.substr(16), f.content});
  test::plant(kOutside, client);
  test::make_directories(kOutsideTarget);
  const fs::path client_dir = kSource / "host/app/client", client_link = kSource / "host/app/client.swap";
  const fs::path host = kTarget / "host", host_link = kTarget / "host.swap";
  fs::create_directory_symlink(kOutside, client_link);

  // Every event on the outside directories and the entries in them.
  Descriptor watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  for (const fs::path &dir : {kOutside, kOutside / "dist", kOutside / "dist/assets", kOutsideTarget})
    ASSERT_GE(::inotify_add_watch(watch.get(), dir.c_str(), IN_ALL_EVENTS), 0);

  int successes = 0, refusals = 0;
  // Swaps both pairs of names, over and over, in a child process.
  const pid_t swapper = ::fork();
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
    tally(source->verify_inventory(*inventory));
    auto asset = source->read_foreground_asset(*inventory, "assets/app.js");
    tally(asset ? Result<>{} : fail(asset.error()));

    // A fresh destination whose "host" directory is being swapped too.
    test::make_directories(kTarget);
    fs::create_directory(host);
    fs::permissions(host, static_cast<fs::perms>(0750));
    fs::create_directory_symlink(kOutsideTarget, host_link);
    auto target = Directory::open_root(kTarget.string());
    ASSERT_TRUE(target);
    tally(i % 2 ? source->copy_foreground(*target, *inventory) : source->copy_inventory(*target, *inventory));
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
