#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

#include "credentials.hpp"
#include "platform/descriptor.hpp"
#include "platform/keychain.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names
using test::credentialError;

namespace keychain = platform::keychain;

constexpr const char *kService = "org.velabox.broker-helper.activation.v3";
constexpr const char *kStore = "/Library/Keychains/System.sqlite";
constexpr const char *kJournal = "/Library/Keychains/System.sqlite-journal";

std::string generation(unsigned n) {
  char text[65];
  std::snprintf(text, sizeof text, "%064x", n);
  return text;
}

std::vector<std::uint8_t> value(unsigned n, std::size_t size = 96) {
  return std::vector<std::uint8_t>(size, static_cast<std::uint8_t>(n * 31 + 7));
}

std::optional<std::vector<std::uint8_t>> read(const std::string &gen, std::optional<Error> *error) {
  auto stored = VelaReadServiceCredentials(gen, error);
  if (!stored) return std::nullopt;
  return std::vector<std::uint8_t>(stored->begin(), stored->end());
}

struct UnsafeStoreCase {
  const char *name;
  std::function<void()> prepare;
};

class UnsafeStores : public testing::TestWithParam<UnsafeStoreCase> {};

TEST_P(UnsafeStores, NotOpened) {
  ASSERT_TRUE(keychain::Keychain::system());
  GetParam().prepare();
  std::optional<Error> error;
  EXPECT_FALSE(VelaReadServiceCredentials(generation(1), &error));
  EXPECT_EQ(error, credentialError(keychain::kNotAvailable));
}

INSTANTIATE_TEST_SUITE_P(
    Credentials, UnsafeStores,
    testing::Values(
        UnsafeStoreCase{"group_writable_directory", [] { chmod("/Library/Keychains", 0775); }},
        UnsafeStoreCase{"readable_file", [] { chmod(kStore, 0644); }},
        UnsafeStoreCase{"file_of_another_user", [] { chown(kStore, 1234, 0); }},
        UnsafeStoreCase{"linked_file", [] { rename(kStore, "/Library/Keychains/real"); symlink("real", kStore); }},
        UnsafeStoreCase{"linked_directory",
                        [] { rename("/Library/Keychains", "/Library/real"); symlink("real", "/Library/Keychains"); }}),
    rowName<UnsafeStoreCase>);

TEST(Credentials, StoredOnceReadWithinBounds) {
  std::optional<Error> error;
  EXPECT_TRUE(VelaStoreServiceCredentials(generation(1), value(1, 4096), &error));
  EXPECT_TRUE(VelaStoreServiceCredentials(generation(1), value(1, 4096), &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(VelaStoreServiceCredentials(generation(1), value(2, 4096), &error));
  EXPECT_EQ(error, credentialError(keychain::kDuplicateItem));
  // Items written past the daemon's own bounds.
  auto store = keychain::Keychain::system();
  for (unsigned size : {0u, 4097u}) {
    ASSERT_EQ(store->add({kService, generation(size), "access", value(size, size)}), keychain::kSuccess);
    EXPECT_FALSE(VelaReadServiceCredentials(generation(size), &error));
    EXPECT_EQ(error, credentialError(keychain::kDecode)) << size;
  }
}

// Whether the store's rollback journal holds a header: a commit that has
// begun to change the database and not ended, which the next reader must
// roll back.
bool commitUnderWay() {
  constexpr std::uint8_t kMagic[] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
  std::uint8_t header[sizeof kMagic] = {};
  platform::Descriptor journal(::open(kJournal, O_RDONLY | O_CLOEXEC));
  return journal && ::read(journal.get(), header, sizeof header) == sizeof header &&
         std::ranges::equal(header, kMagic);
}

// Stops the writer after each write to the database file (`watch`) until
// it is found with a commit under way. Gives up after a while; kills the
// writer in any case and tells whether that was inside a commit.
bool killInsideACommit(pid_t writer, int watch) {
  alignas(inotify_event) char events[4096];
  pollfd ready{watch, POLLIN, 0};
  bool inside = false;
  for (int attempt = 0; !inside && attempt < 1000 && poll(&ready, 1, 5000) == 1; ++attempt) {
    if (::read(watch, events, sizeof events) <= 0) break;
    kill(writer, SIGSTOP);
    waitpid(writer, nullptr, WUNTRACED);
    inside = commitUnderWay();
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
    for (unsigned n = 0; VelaStoreServiceCredentials(generation(n), value(n, 4096), nullptr); ++n)
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
  for (unsigned n = 0; n < next; ++n) EXPECT_EQ(read(generation(n), nullptr), value(n, 4096)) << n;
  std::optional<Error> error;
  auto inFlight = read(generation(next), &error);
  EXPECT_FALSE(error);
  EXPECT_TRUE(!inFlight || *inFlight == value(next, 4096));
  EXPECT_NE(access(kJournal, F_OK), 0) << "the half-done commit was rolled back";
  EXPECT_TRUE(VelaStoreServiceCredentials(generation(next + 1), value(next + 1), nullptr));
}

}  // namespace
}  // namespace vela::helper
