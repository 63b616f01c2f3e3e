#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>

#include "credentials.hpp"
#include "platform/keychain.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

namespace keychain = platform::keychain;

constexpr const char *kService = "org.velabox.broker-helper.activation.v3";
constexpr const char *kStore = "/Library/Keychains/System.sqlite";

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

keychain::Keychain open() {
  auto store = keychain::Keychain::system();
  if (!store) throw std::runtime_error("keychain status " + std::to_string(store.error()));
  return std::move(*store);
}

// The platform store

TEST(Keychain, Statuses) {
  auto store = open();
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
  open();
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
  open();
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
  open();
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

TEST(Credentials, StoreSurvivesKillOfTheWriterInTheMiddleOfAStore) {
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
    // Let it commit a few items, then kill it wherever it is: nearly all of
    // its time goes into stores.
    unsigned committed = 0;
    for (int i = 0; i < 20 + round * 7; ++i) ASSERT_EQ(::read(fds[0], &committed, sizeof committed), 4);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    close(fds[0]);

    // Every item that was reported is there whole; the ones after it are
    // whole or absent, and reading them is never an error.
    for (unsigned n = 0; n <= committed; ++n) EXPECT_EQ(read(generation(n), nullptr), value(n, 4096)) << n;
    for (unsigned n = committed + 1;; ++n) {
      std::optional<Error> error;
      auto stored = read(generation(n), &error);
      EXPECT_FALSE(error) << n;
      if (!stored) break;
      EXPECT_EQ(stored, value(n, 4096)) << n;
      next = n + 1;
    }
    next = std::max(next, committed + 1);
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
