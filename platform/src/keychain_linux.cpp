// The System keychain as one SQLite database, readable and writable by root
// only, in a directory that only root can change. Every change is a
// transaction with a rollback journal and synchronous writes, so a crash of
// the writer at any point leaves each item either whole or absent. SQLite's
// memory holds the values it reads and writes, so it is all wiped as it goes
// back to the heap.
#include "platform/keychain.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <sodium/utils.h>
#include <sqlite3.h>

#include "platform/descriptor.hpp"

namespace vela::platform::keychain {

namespace {

constexpr const char *kDirectorySteps[] = {"Library", "Keychains"};
constexpr const char *kFileName = "System.sqlite";
constexpr const char *kPath = "/Library/Keychains/System.sqlite";
constexpr std::size_t kMaxKeyBytes = 4096;

constexpr const char *kSchema =
    "PRAGMA journal_mode=DELETE;"
    "PRAGMA synchronous=FULL;"
    "CREATE TABLE IF NOT EXISTS generic_passwords ("
    " service TEXT NOT NULL,"
    " account TEXT NOT NULL,"
    " access TEXT NOT NULL,"
    " value BLOB NOT NULL,"
    " PRIMARY KEY (service, account));";

// SQLite's allocator: the heap's own, every block overwritten with zeros
// over its whole usable size before it is freed.
void *allocate(int size) { return std::malloc(static_cast<std::size_t>(size)); }

void release(void *block) {
  if (block == nullptr) return;
  sodium_memzero(block, malloc_usable_size(block));
  std::free(block);
}

int usable_size(void *block) { return static_cast<int>(malloc_usable_size(block)); }

// Never realloc: a block it moved would be freed unwiped.
void *reallocate(void *block, int size) {
  void *moved = allocate(size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, block, std::min(malloc_usable_size(block), static_cast<std::size_t>(size)));
  release(block);
  return moved;
}

int round_up(int size) { return (size + 7) & ~7; }
int no_setup(void *) { return SQLITE_OK; }
void no_teardown(void *) {}

// Takes effect only before SQLite's first use in the process: true when it did.
bool wipe_freed_memory() {
  static const sqlite3_mem_methods kMethods{allocate, release,  reallocate, usable_size,
                                            round_up, no_setup, no_teardown, nullptr};
  static const bool configured = sqlite3_config(SQLITE_CONFIG_MALLOC, &kMethods) == SQLITE_OK;
  return configured;
}

bool only_root_writes(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && st.st_uid == 0 && (st.st_mode & 022) == 0;
}

// Walks to the store's directory from "/" without following a link, making
// missing steps; every step must be root's and closed to other writers, so
// that the path cannot change under the database once checked.
Descriptor open_directory() {
  Descriptor current(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (const char *step : kDirectorySteps) {
    if (!current) return current;
    if (mkdirat(current.get(), step, 0700) != 0 && errno != EEXIST) return {};
    current = Descriptor(openat(current.get(), step, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (current && !only_root_writes(current.get())) return {};
  }
  return current;
}

// The database file must be root's own regular file, unreadable to others.
bool prepare_file() {
  Descriptor directory = open_directory();
  if (!directory) return false;
  Descriptor file(openat(directory.get(), kFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  struct stat st {};
  return file && fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
         (st.st_mode & 077) == 0 && st.st_nlink == 1;
}

struct Finalize {
  void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement prepare(sqlite3 *db, const char *sql) {
  sqlite3_stmt *statement = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  return Statement(statement);
}

bool bind_text(sqlite3_stmt *statement, int index, std::string_view text) {
  return sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC) == SQLITE_OK;
}

bool bind_key(sqlite3_stmt *statement, std::string_view service, std::string_view account) {
  return bind_text(statement, 1, service) && bind_text(statement, 2, account);
}

bool valid_key(std::string_view service, std::string_view account) {
  return !service.empty() && !account.empty() && service.size() <= kMaxKeyBytes && account.size() <= kMaxKeyBytes;
}

}  // namespace

void Keychain::Close::operator()(sqlite3 *db) const { sqlite3_close_v2(db); }

std::expected<Keychain, Status> Keychain::system() {
  if (geteuid() != 0) return std::unexpected(kAuthFailed);
  if (!wipe_freed_memory() || !prepare_file()) return std::unexpected(kNotAvailable);
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(kPath, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
  Keychain keychain(db);
  if (rc != SQLITE_OK) return std::unexpected(kNotAvailable);
  sqlite3_extended_result_codes(db, 1);
  if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) return std::unexpected(kIo);
  return keychain;
}

Status Keychain::add(const GenericPassword &item) {
  if (!valid_key(item.service, item.account) || item.access.empty()) return kParam;
  Statement insert = prepare(db_.get(),
                             "INSERT INTO generic_passwords (service, account, access, value) VALUES (?, ?, ?, ?)");
  // An empty value is a zero-length blob, never NULL.
  bool bound = insert && bind_key(insert.get(), item.service, item.account) &&
               bind_text(insert.get(), 3, item.access) &&
               (item.value.empty() ? sqlite3_bind_zeroblob(insert.get(), 4, 0)
                                   : sqlite3_bind_blob64(insert.get(), 4, item.value.data(), item.value.size(),
                                                         SQLITE_STATIC)) == SQLITE_OK;
  if (!bound) return kIo;
  switch (sqlite3_step(insert.get())) {
    case SQLITE_DONE: return kSuccess;
    case SQLITE_CONSTRAINT_PRIMARYKEY: return kDuplicateItem;
    default: return kIo;
  }
}

Status Keychain::copy(std::string_view service, std::string_view account,
                      const std::function<void(std::span<const std::uint8_t>)> &receive) {
  if (!valid_key(service, account)) return kParam;
  Statement select = prepare(db_.get(), "SELECT value FROM generic_passwords WHERE service = ? AND account = ?");
  if (!select || !bind_key(select.get(), service, account)) return kIo;
  switch (sqlite3_step(select.get())) {
    case SQLITE_DONE: return kItemNotFound;
    case SQLITE_ROW: break;
    default: return kIo;
  }
  if (sqlite3_column_type(select.get(), 0) != SQLITE_BLOB) return kDecode;
  const auto *bytes = static_cast<const std::uint8_t *>(sqlite3_column_blob(select.get(), 0));
  receive({bytes, static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 0))});
  return kSuccess;
}

}  // namespace vela::platform::keychain
