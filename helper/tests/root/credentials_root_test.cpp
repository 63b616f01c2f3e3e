#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <poll.h>
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
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(n * 31 + i);
  return bytes;
}

Error credentialError(std::int64_t status) {
  return {"VelaBrokerCredentials", status,
          "Service activation custody is unavailable; the helper will not start an unsealed runtime."};
}

std::optional<std::vector<std::uint8_t>> read(const std::string &gen, std::optional<Error> *error) {
  auto stored = VelaReadServiceCredentials(gen, error);
  if (!stored) return std::nullopt;
  return std::vector<std::uint8_t>(stored->begin(), stored->end());
}

keychain::Status openingStatus() {
  auto store = keychain::Keychain::system();
  return store ? keychain::kSuccess : store.error();
}

keychain::Keychain openStore() {
  auto store = keychain::Keychain::system();
  if (!store) throw std::runtime_error("keychain status " + std::to_string(store.error()));
  return std::move(*store);
}

// The platform store

TEST(Keychain, Statuses) {
  auto store = openStore();
  auto bytes = value(1);
  EXPECT_EQ(store.add({"svc", "acct", "access", bytes}), keychain::kSuccess);
  EXPECT_EQ(store.add({"svc", "acct", "access", value(2)}), keychain::kDuplicateItem);
  EXPECT_EQ(store.add({"svc", "other", "access", {}}), keychain::kSuccess);
  EXPECT_EQ(store.add({"", "acct", "access", bytes}), keychain::kParam);
  EXPECT_EQ(store.add({"svc", "", "access", bytes}), keychain::kParam);
  EXPECT_EQ(store.add({"svc", "x", "", bytes}), keychain::kParam);
  std::vector<std::uint8_t> seen;
  auto keep = [&](std::span<const std::uint8_t> v) { seen.assign(v.begin(), v.end()); };
  EXPECT_EQ(store.copy("svc", "acct", keep), keychain::kSuccess);
  EXPECT_EQ(seen, bytes);
  EXPECT_EQ(store.copy("svc", "other", keep), keychain::kSuccess);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(store.copy("svc", "missing", keep), keychain::kItemNotFound);
  EXPECT_EQ(store.copy("", "acct", keep), keychain::kParam);
}

TEST(Keychain, RootOnlyFileInRootOnlyDirectory) {
  openStore();
  struct stat st {};
  ASSERT_EQ(lstat("/Library/Keychains", &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 077, 0u);
  ASSERT_EQ(lstat(kStore, &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 077, 0u);
}

struct UnsafeStoreCase {
  const char *name;
  std::function<void()> prepare;
};

class UnsafeStores : public testing::TestWithParam<UnsafeStoreCase> {};

TEST_P(UnsafeStores, NotOpened) {
  openStore();
  GetParam().prepare();
  EXPECT_EQ(openingStatus(), keychain::kNotAvailable);
  std::optional<Error> error;
  EXPECT_FALSE(VelaReadServiceCredentials(generation(1), &error));
  EXPECT_EQ(error, credentialError(keychain::kNotAvailable));
}

INSTANTIATE_TEST_SUITE_P(
    Credentials, UnsafeStores,
    testing::Values(UnsafeStoreCase{"writable_directory", [] { chmod("/Library/Keychains", 0777); }},
                    UnsafeStoreCase{"writable_ancestor", [] { chmod("/Library", 0775); }},
                    UnsafeStoreCase{"readable_file", [] { chmod(kStore, 0644); }},
                    UnsafeStoreCase{"file_of_another_user", [] { chown(kStore, 1234, 0); }},
                    UnsafeStoreCase{"linked_file",
                                    [] {
                                      rename(kStore, "/Library/Keychains/real");
                                      symlink("real", kStore);
                                    }},
                    UnsafeStoreCase{"linked_directory",
                                    [] {
                                      rename("/Library/Keychains", "/Library/real");
                                      symlink("real", "/Library/Keychains");
                                    }}),
    rowName<UnsafeStoreCase>);

// The daemon's credentials

TEST(Credentials, NeverStoredReadsAsNothingWithoutError) {
  std::optional<Error> error;
  EXPECT_FALSE(VelaReadServiceCredentials(generation(7), &error));
  EXPECT_FALSE(error);
}

TEST(Credentials, IdenticalStoreSucceedsAgainDifferentOneFails) {
  std::optional<Error> error;
  EXPECT_TRUE(VelaStoreServiceCredentials(generation(1), value(1), &error));
  EXPECT_TRUE(VelaStoreServiceCredentials(generation(1), value(1), &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(VelaStoreServiceCredentials(generation(1), value(2), &error));
  EXPECT_EQ(error, credentialError(keychain::kDuplicateItem));
  EXPECT_EQ(read(generation(1), nullptr), value(1));
}

TEST(Credentials, LargestValueRoundTrips) {
  ASSERT_TRUE(VelaStoreServiceCredentials(generation(2), value(2, 4096), nullptr));
  std::optional<Error> error;
  EXPECT_EQ(read(generation(2), &error), value(2, 4096));
  EXPECT_FALSE(error);
}

struct StoredCase {
  const char *name;
  std::function<void(sqlite3 *)> plant;
};

class WrongStoredValues : public testing::TestWithParam<StoredCase> {};

// Items written past the daemon's own bounds, or of another kind.
TEST_P(WrongStoredValues, ReadFailsAsUndecodable) {
  openStore();
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(kStore, &db), SQLITE_OK);
  GetParam().plant(db);
  sqlite3_close(db);
  std::optional<Error> error;
  EXPECT_FALSE(VelaReadServiceCredentials(generation(3), &error));
  EXPECT_EQ(error, credentialError(keychain::kDecode));
}

void plantValue(sqlite3 *db, const char *valueSql) {
  std::string sql = std::string("INSERT INTO generic_passwords VALUES ('") + kService + "', '" + generation(3) +
                    "', 'access', " + valueSql + ")";
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
}

INSTANTIATE_TEST_SUITE_P(Credentials, WrongStoredValues,
                         testing::Values(StoredCase{"empty", [](sqlite3 *db) { plantValue(db, "x''"); }},
                                         StoredCase{"over_4096_bytes",
                                                    [](sqlite3 *db) { plantValue(db, "zeroblob(4097)"); }},
                                         StoredCase{"text", [](sqlite3 *db) { plantValue(db, "'text'"); }},
                                         StoredCase{"number", [](sqlite3 *db) { plantValue(db, "42"); }}),
                         rowName<StoredCase>);

TEST(Credentials, NonRootCallerRefused) {
  ASSERT_TRUE(VelaStoreServiceCredentials(generation(4), value(4), nullptr));
  int result = test::runAs(65534, 65534, [] {
    std::optional<Error> readError, storeError;
    bool refused = !VelaReadServiceCredentials(generation(4), &readError) &&
                   !VelaStoreServiceCredentials(generation(5), value(5), &storeError) &&
                   readError == credentialError(keychain::kAuthFailed) &&
                   storeError == credentialError(keychain::kAuthFailed) &&
                   openingStatus() == keychain::kAuthFailed;
    return refused ? 0 : 1;
  });
  EXPECT_EQ(result, 0);
}

// Stores generations from `first` on, one after another, reporting each
// one that returned on the pipe, until killed.
[[noreturn]] void storeForever(unsigned first, int report) {
  for (unsigned n = first;; ++n) {
    if (!VelaStoreServiceCredentials(generation(n), value(n, 4096), nullptr)) _exit(1);
    if (write(report, &n, sizeof n) != sizeof n) _exit(1);
  }
}

// Waits until the database file has been written `nth` more times; false
// if five seconds pass without a write.
bool awaitDatabaseWrites(int watch, int nth) {
  alignas(inotify_event) char buffer[4096];
  pollfd ready{watch, POLLIN, 0};
  while (nth > 0) {
    if (poll(&ready, 1, 5000) != 1) return false;
    ssize_t n = ::read(watch, buffer, sizeof buffer);
    if (n <= 0) return false;
    for (char *p = buffer; p < buffer + n;) {
      auto *event = reinterpret_cast<inotify_event *>(p);
      if (event->len > 0 && std::string_view(event->name) == "System.sqlite") --nth;
      p += sizeof(inotify_event) + event->len;
    }
  }
  return true;
}

// Whether the store's rollback journal exists with a header: a commit that
// has begun and not ended, which the next reader must roll back.
bool commitUnderWay() {
  constexpr std::uint8_t kMagic[] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
  std::uint8_t header[sizeof kMagic] = {};
  platform::Descriptor journal(::open(kJournal, O_RDONLY | O_CLOEXEC));
  return journal && ::read(journal.get(), header, sizeof header) == sizeof header &&
         std::ranges::equal(header, kMagic);
}

// Stops the writer each time it writes the database file, from the `skip`th
// write on, until it is found with a commit under way, and kills it there,
// so that it dies with the commit half done. Gives up after a while; kills
// the writer in any case and tells whether that was inside a commit.
bool killInsideACommit(pid_t writer, int watch, int skip) {
  bool inside = false;
  for (int attempt = 0; !inside && attempt < 1000 && awaitDatabaseWrites(watch, skip); ++attempt) {
    skip = 1;
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
  openStore();
  platform::Descriptor watch(inotify_init1(IN_CLOEXEC));
  ASSERT_GE(inotify_add_watch(watch.get(), "/Library/Keychains", IN_MODIFY), 0);
  std::vector<unsigned> stored;
  unsigned next = 0;
  for (int round = 0; round < 3; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t writer = fork();
    if (writer == 0) {
      close(fds[0]);
      storeForever(next, fds[1]);
    }
    close(fds[1]);
    ASSERT_TRUE(killInsideACommit(writer, watch.get(), 5 + round * 3)) << "killed with a commit half done";

    // Every store that returned holds its item whole; the item being
    // written is whole or absent, and reading it is never an error.
    platform::Descriptor reports(fds[0]);
    for (unsigned n; ::read(reports.get(), &n, sizeof n) == sizeof n; next = n + 1) stored.push_back(n);
    for (unsigned n : stored) EXPECT_EQ(read(generation(n), nullptr), value(n, 4096)) << n;
    std::optional<Error> error;
    auto inFlight = read(generation(next), &error);
    EXPECT_FALSE(error);
    if (inFlight) {
      EXPECT_EQ(inFlight, value(next, 4096));
      stored.push_back(next);
    }
    EXPECT_NE(access(kJournal, F_OK), 0) << "the half-done commit was rolled back";
    next += 1;
  }
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(kStore, &db), SQLITE_OK);
  std::string check;
  sqlite3_exec(
      db, "PRAGMA integrity_check",
      [](void *out, int, char **values, char **) {
        *static_cast<std::string *>(out) += values[0];
        return 0;
      },
      &check, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(check, "ok");
  EXPECT_TRUE(VelaStoreServiceCredentials(generation(next), value(next), nullptr));
}

}  // namespace
}  // namespace vela::helper
