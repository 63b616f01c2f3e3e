// Custody walks under attack: while verifications, reads and copies run in a
// loop, another process keeps swapping a directory of the trees they walk
// with a symbolic link to a directory outside them (renameat2 with
// RENAME_EXCHANGE). Every operation must either succeed on the real tree or
// fail, and nothing outside may ever be opened, read or created.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "custody.hpp"
#include "tree.hpp"

namespace vela::custody {
namespace {

namespace fs = std::filesystem;
using test::outcome;

constexpr int kMaxIterations = 400;
constexpr auto kMaxDuration = std::chrono::seconds(5);

const fs::path kSource = "/private/source";
const fs::path kTarget = "/private/target";
const fs::path kOutside = "/private/outside";
const fs::path kOutsideTarget = "/private/outside-target";

// Swaps each pair of names, over and over, in a child process; counts the
// exchanges that took place.
class Swapper {
 public:
  explicit Swapper(std::vector<std::pair<fs::path, fs::path>> pairs) {
    void *shared = ::mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                          -1, 0);
    if (shared == MAP_FAILED) throw std::runtime_error("mmap");
    swaps_ = new (shared) std::atomic<long>(0);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;)
        for (const auto &[a, b] : pairs)
          if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) ++*swaps_;
    }
  }
  ~Swapper() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ::munmap(swaps_, sizeof *swaps_);
  }
  long swaps() const { return swaps_->load(); }

 private:
  pid_t pid_;
  std::atomic<long> *swaps_;
};

// Every event on the watched directories and the entries in them.
class Watch {
 public:
  Watch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  void add(const fs::path &dir) {
    if (::inotify_add_watch(fd_.get(), dir.c_str(), IN_ALL_EVENTS) < 0) throw std::runtime_error("inotify");
  }
  bool quiet() const {
    alignas(inotify_event) char buffer[4096];
    return ::read(fd_.get(), buffer, sizeof buffer) < 0 && errno == EAGAIN;
  }

 private:
  Descriptor fd_;
};

bool refused_link(const Result<> &r) { return !r && r.error().kind == Kind::os && r.error().code == ENOTDIR; }

// The directory that the swap left at either name.
fs::path real(const fs::path &a, const fs::path &b) { return fs::is_symlink(a) ? b : a; }

TEST(CustodyRace, SwappedDirectoriesNeverLeadOutside) {
  auto files = test::runtime();
  const auto doc = test::document(files);
  auto inventory = inventory::Inventory::parse(test::bytes(doc), "1.2.3");
  ASSERT_TRUE(inventory);

  // The source's client directory, and an outside copy of it that would pass
  // every check if it were ever reached.
  test::plant(kSource, files);
  std::vector<test::File> client;
  for (const auto &f : files)
    if (f.path.starts_with("host/app/client/")) client.push_back({f.path.substr(16), f.content});
  test::plant(kOutside, client);
  test::make_directories(kOutsideTarget);
  fs::create_directory_symlink(kOutside, kSource / "host/app/client.swap");

  Watch watch;
  for (const fs::path &dir : {kOutside, kOutside / "dist", kOutside / "dist/assets", kOutsideTarget}) watch.add(dir);

  const fs::path client_dir = kSource / "host/app/client", client_link = kSource / "host/app/client.swap";
  const fs::path host = kTarget / "host", host_link = kTarget / "host.swap";
  int successes = 0, refusals = 0;
  std::vector<std::pair<fs::path, int>> copies;  // successful copies, kept aside
  {
    Swapper swapper({{client_dir, client_link}, {host, host_link}});
    auto deadline = std::chrono::steady_clock::now() + kMaxDuration;
    for (int i = 0; i < kMaxIterations && std::chrono::steady_clock::now() < deadline; ++i) {
      auto source = Directory::open_root(kSource.string());
      ASSERT_TRUE(source);
      auto tally = [&](const Result<> &r) {
        ASSERT_TRUE(r || refused_link(r)) << outcome(r);
        (r ? successes : refusals)++;
      };
      tally(source->verify_inventory(*inventory));

      auto asset = source->read_foreground_asset(*inventory, "assets/app.js");
      if (asset) {
        EXPECT_EQ(std::string(asset->bytes.begin(), asset->bytes.end()), files[15].content);
      }
      tally(asset ? Result<>{} : fail(asset.error()));

      // A fresh destination whose "host" directory is being swapped too.
      test::make_directories(kTarget);
      fs::create_directory(host);
      fs::permissions(host, static_cast<fs::perms>(0750));
      fs::create_directory_symlink(kOutsideTarget, host_link);
      auto target = Directory::open_root(kTarget.string());
      ASSERT_TRUE(target);
      auto copied = i % 2 ? source->copy_foreground(*target, *inventory) : source->copy_inventory(*target, *inventory);
      tally(copied);
      fs::path aside = "/private/copy-" + std::to_string(i);
      fs::rename(kTarget, aside);
      if (copied) copies.emplace_back(aside, i);
    }
    EXPECT_GT(swapper.swaps(), 0);
  }
  std::cout << successes << " operations succeeded and " << refusals << " were refused\n";

  EXPECT_TRUE(watch.quiet()) << "something outside the trees was opened or changed";
  EXPECT_TRUE(fs::is_empty(kOutsideTarget));
  for (const auto &[tree, i] : copies) {
    fs::path top = real(tree / "host", tree / "host.swap");
    for (const auto &f : files) {
      fs::path at = f.path.starts_with("host/") ? top / f.path.substr(5) : tree / f.path;
      EXPECT_EQ(test::read_text(at), f.content) << at;
    }
  }
}

}  // namespace
}  // namespace vela::custody
