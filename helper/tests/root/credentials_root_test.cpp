#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>

#include <algorithm>

#include "credentials.hpp"
#include "platform/descriptor.hpp"
#include "platform/keychain.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using test::credentialError;

namespace keychain = platform::keychain;

constexpr const char *kStore = "/Library/Keychains/System.sqlite";
constexpr const char *kJournal = "/Library/Keychains/System.sqlite-journal";

std::string generation(unsigned n) {
  const std::string digits = std::to_string(n);  // decimal digits are hex digits too
  return std::string(64 - digits.size(), '0') + digits;
}

// The largest value a store takes, its bytes set by n.
std::vector<std::uint8_t> value(unsigned n) {
  return std::vector<std::uint8_t>(4096, static_cast<std::uint8_t>(n * 31 + 7));
}

TEST(Credentials, InvalidArgumentsRefused) {
  const std::string hex(63, 'a');
  const std::pair<std::string, std::size_t> rows[] = {{hex + "A", 8}, {hex, 8},      {hex + "aa", 8},
                                                      {hex + "g", 8}, {hex + "a", 0}, {hex + "a", 4097}};
  for (const auto &[account, size] : rows) {
    std::optional<Error> readError, storeError;
    EXPECT_FALSE(VelaStoreServiceCredentials(account, std::vector<std::uint8_t>(size, 1), &storeError));
    EXPECT_EQ(storeError, credentialError(keychain::kParam)) << account << " " << size;
    EXPECT_TRUE(size != 8 || (!VelaReadServiceCredentials(account, &readError) && readError == storeError));
  }
}

TEST(Credentials, UnsafeStoreNeverOpened) {
  for (const std::string change : {"chmod 0775 /Library/Keychains", "chmod 0644 /Library/Keychains/System.sqlite",
                                   "chown 1234 /Library/Keychains/System.sqlite",
                                   "cd /Library/Keychains && mv System.sqlite real && ln -s real System.sqlite",
                                   "cd /Library && mv Keychains real && ln -s real Keychains"}) {
    ASSERT_EQ(std::system("rm -rf /Library/Keychains /Library/real"), 0);
    ASSERT_TRUE(keychain::Keychain::system());
    ASSERT_EQ(std::system(change.c_str()), 0);
    std::optional<Error> error;
    EXPECT_FALSE(VelaReadServiceCredentials(generation(1), &error)) << change;
    EXPECT_EQ(error, credentialError(keychain::kNotAvailable)) << change;
  }
}

TEST(Credentials, StoredOnce) {
  std::optional<Error> error;
  EXPECT_TRUE(VelaStoreServiceCredentials(generation(1), value(1), &error));
  EXPECT_TRUE(VelaStoreServiceCredentials(generation(1), value(1), &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(VelaStoreServiceCredentials(generation(1), value(2), &error));
  EXPECT_EQ(error, credentialError(keychain::kDuplicateItem));
}

// Stops the writer after each write to the database (`watch`) until its rollback journal
// holds a header: a commit under way, which the next reader must roll back. Gives up after
// a while; kills the writer in any case and tells whether that was inside a commit.
bool killInsideACommit(pid_t writer, int watch) {
  constexpr std::uint8_t kMagic[] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
  alignas(inotify_event) char events[4096];
  pollfd ready{watch, POLLIN, 0};
  bool inside = false;
  for (int attempt = 0; !inside && attempt < 1000 && poll(&ready, 1, 5000) == 1; ++attempt) {
    if (::read(watch, events, sizeof events) <= 0) break;
    kill(writer, SIGSTOP);
    waitpid(writer, nullptr, WUNTRACED);
    std::uint8_t header[sizeof kMagic] = {};
    platform::Descriptor journal(::open(kJournal, O_RDONLY | O_CLOEXEC));
    inside = journal && ::read(journal.get(), header, sizeof header) == sizeof header &&
             std::ranges::equal(header, kMagic);
    if (!inside) kill(writer, SIGCONT);
  }
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  return inside;
}

TEST(Credentials, StoreSurvivesKillOfTheWriterInTheMiddleOfAStore) {
  ASSERT_TRUE(keychain::Keychain::system());
  platform::Descriptor watch(inotify_init1(IN_CLOEXEC));
  ASSERT_GE(inotify_add_watch(watch.get(), kStore, IN_MODIFY), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t writer = fork();
  if (writer == 0) {
    // Stores one generation after another, reporting each that returned.
    for (unsigned n = 0; VelaStoreServiceCredentials(generation(n), value(n), nullptr); ++n)
      if (write(fds[1], &n, sizeof n) != sizeof n) break;
    _exit(1);
  }
  close(fds[1]);
  platform::Descriptor reports(fds[0]);
  unsigned next = 0;  // the first store that has not returned
  for (unsigned n; next < 3 && ::read(reports.get(), &n, sizeof n) == sizeof n;) next = n + 1;
  ASSERT_TRUE(killInsideACommit(writer, watch.get())) << "killed with a commit half done";
  for (unsigned n; ::read(reports.get(), &n, sizeof n) == sizeof n;) next = n + 1;

  // Every store that returned holds its item whole; the item being written
  // is whole or absent, and reading it is never an error.
  for (unsigned n = 0; n < next; ++n) {
    auto stored = VelaReadServiceCredentials(generation(n), nullptr);
    EXPECT_TRUE(stored && std::ranges::equal(*stored, value(n))) << n;
  }
  std::optional<Error> error;
  auto inFlight = VelaReadServiceCredentials(generation(next), &error);
  EXPECT_FALSE(error);
  EXPECT_TRUE(!inFlight || std::ranges::equal(*inFlight, value(next)));
  EXPECT_NE(access(kJournal, F_OK), 0) << "the half-done commit was rolled back";
  EXPECT_TRUE(VelaStoreServiceCredentials(generation(next + 1), value(next + 1), nullptr));
}

}  // namespace
}  // namespace vela::helper
