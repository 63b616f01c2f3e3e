#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <functional>

#include "serialization.hpp"
#include "staging.hpp"
#include "support.hpp"
#include "vela_core.h"

namespace vela::helper {
namespace {

using namespace test;

const std::string kWork = "/private/staging", kDestination = kWork + "/source", kCustody = kWork + "/custody";
const std::string kCopy = kDestination + "/.authenticated-runtime.tar.gz";
const std::string kUser = "vela-user";  // who asks for the archive

struct Archive {
  std::string path, sha256;
  std::uint64_t bytes;
};

// A fresh work tree: the test runtime at kWork/top, its archive, which kUser
// may read, and an empty destination.
Archive makeArchive(const std::string &hostile = "none") {
  std::system(("getent passwd " + kUser + " >/dev/null || useradd -M -N -u 300 " + kUser + "; rm -rf " + kWork +
               " && mkdir -m 0755 " + kWork + " && mkdir -m 0700 " + kDestination + " " + kCustody)
                  .c_str());
  auto made = Json::parse(commandOutput("node " VELA_SOURCE_DIR "/tools/make-runtime.mjs --out " + kWork +
                                        "/top --archive " + kWork + "/runtime.tar.gz --hostile " + hostile));
  return {kWork + "/runtime.tar.gz", made["archiveSha256"], made["archiveBytes"]};
}

// A process that opens the FIFO for writing, and so waits until something opens it for reading.
pid_t blockedWriter(const std::string &fifo) {
  pid_t pid = fork();
  if (pid == 0) _exit(open(fifo.c_str(), O_WRONLY) < 0);
  const std::string call = "/proc/" + std::to_string(pid) + "/syscall", opening = std::to_string(SYS_openat) + " ";
  while (!readFile(call).starts_with(opening)) usleep(1000);
  return pid;
}

TEST(Staging, ArchiveIsExtractedOnlyWhenItsPrivateCopyMatches) {
  const Error mismatch{kHelperDomain, 8, "runtime archive does not match the authenticated release manifest"};
  const Error tarFailed{kHelperDomain, 2, "privileged broker task failed with exit status 2"};  // ".." member
  const std::string link = kWork + "/link", fifo = kWork + "/fifo", rootOnly = kWork + "/root-only";
  pid_t writer = -1;
  // The archive moved into a directory of root's with `mode`, and `name` there.
  auto hide = [&](Archive &a, const std::string &name, mode_t mode = 0700) {
    mkdir(rootOnly.c_str(), mode), rename(a.path.c_str(), (rootOnly + "/runtime.tar.gz").c_str());
    a.path = rootOnly + "/" + name;
  };
  struct Row {
    const char *name;
    std::function<void(Archive &)> change;
    bool extracted;
    std::optional<Error> error{};
  };
  const Row rows[] = {
      {"good", [](Archive &) {}, true, {}},
      {"upper_case_digest", [](Archive &a) { std::ranges::transform(a.sha256, a.sha256.begin(), ::toupper); }, true},
      {"signed_size_one_more", [](Archive &a) { a.bytes++; }, false},
      {"archive_larger_than_signed", [](Archive &a) { std::system(("echo >> " + a.path).c_str()); }, false},
      {"one_byte_changed", [](Archive &a) { auto d = readFile(a.path); d[99] ^= 1; writeFile(a.path, d, 0644); }, false,
       mismatch},
      {"private_copy_exists", [&](Archive &) { writeFile(kCopy, "someone else's"); }, false},
      {"symbolic_link", [&](Archive &a) { symlink(a.path.c_str(), link.c_str()), a.path = link; }, false},
      {"fifo_with_a_writer", [&](Archive &a) { mkfifo(fifo.c_str(), 0644), a.path = fifo, writer = blockedWriter(fifo); },
       false},
      {"tar_fails", [](Archive &a) { a = makeArchive("dotdot"); }, false, tarFailed},
      // The user learns nothing of what a directory it cannot read holds.
      {"in_root_only_directory", [&](Archive &a) { hide(a, "runtime.tar.gz"); }, false},
      {"missing_in_root_only_directory", [&](Archive &a) { hide(a, "missing.tar.gz"); }, false},
      {"in_directory_the_user_may_only_search", [&](Archive &a) { hide(a, "runtime.tar.gz", 0711); }, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    Archive archive = makeArchive();
    row.change(archive);
    std::optional<Error> error;
    EXPECT_EQ(extractAuthenticatedArchive(archive.path, kUser, archive.sha256, archive.bytes, kDestination, &error),
              row.extracted);
    EXPECT_EQ(error, row.error);
    if (row.extracted) { EXPECT_EQ(readFile(kDestination + "/release/RELEASE.txt"), "Vela test runtime 1.0.0\n"); }
    if (writer > 0) {  // still waiting for a reader: the FIFO was never opened
      usleep(100'000);
      EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0);
      kill(writer, SIGKILL), waitpid(writer, nullptr, 0), writer = -1;
    }
    EXPECT_EQ(access(kCopy.c_str(), F_OK) == 0, std::string_view(row.name) == "private_copy_exists");
  }
}

// Everything outside the destination and the custody copy that a hostile member could reach.
std::string outside() {
  return commandOutput("find / -maxdepth 1 | sort; find /etc /private -path " + kDestination + " -prune -o -path " +
                       kCustody + " -prune -o -printf '%p %y %s %m %U %n %T@\\n' | sort");
}

TEST(Staging, HostileArchiveChangesNothingOutsideItsDestination) {
  const std::pair<const char *, bool> rows[] = {  // and whether the custody copy of the inventory still succeeds
      {"dotdot", true}, {"absolute", true}, {"symlink", true}, {"hardlink", false}, {"device", false}};
  for (auto [hostile, copied] : rows) {
    SCOPED_TRACE(hostile);
    Archive archive = makeArchive(hostile);
    std::string before = outside();
    extractAuthenticatedArchive(archive.path, kUser, archive.sha256, archive.bytes, kDestination, nullptr);
    std::string inventory = readFile(kWork + "/top/mac-broker-inventory.json");
    EXPECT_EQ(vela_core_copy_inventory(kDestination.c_str(), kCustody.c_str(), test::bytes(inventory).data(),
                                       inventory.size(), "1.0.0") == 0, copied);
    EXPECT_EQ(commandOutput("find " + kCustody + " ! -type f ! -type d"), "");
    EXPECT_TRUE(outside() == before) << "something outside the destination changed";
  }
}

TEST(ArchiveIdentity, VersionIsBoundToOneArchive) {
  const std::string record = std::string(VelaArchiveIdentityBase) + "/1.0.0.sha256", a(64, 'a'), b(64, 'b');
  const std::string sameText = "AAAA" + a.substr(4) + "\n";
  const Error bound{kHelperDomain, 9, "runtime version is already bound to a different signed archive"};
  const Error none{kHelperDomain, 10, "repair has no root-owned signed archive identity"};
  struct Row {
    const char *name;
    std::function<void()> before;
    bool repair, accepted;
    std::optional<Error> error;
    std::string recordAfter;  // its mode, and what it reads
  };
  const Row rows[] = {
      {"first_install_records", [] {}, false, true, {}, "600 " + a},
      {"same_digest", [&] { writeFile(record, sameText); }, false, true, {}, "600 " + sameText},
      {"another_digest", [&] { writeFile(record, b); }, false, false, bound, "600 " + b},
      {"repair_without_record", [] {}, true, false, none, ""},
      {"record_is_a_link", [&] { writeFile(kWork + "/a", a), symlink((kWork + "/a").c_str(), record.c_str()); },
       false, false, bound, "777 " + a},
      {"record_group_writable", [&] { writeFile(record, a, 0620); }, false, false, bound, "620 " + a},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    std::system(("rm -rf /private/var && mkdir -p -m 0700 " + kWork + " " + VelaArchiveIdentityBase.data()).c_str());
    row.before();
    std::optional<Error> error;
    EXPECT_EQ(validateOrRecordArchiveIdentity("1.0.0", a, row.repair, !row.repair, &error), row.accepted);
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(commandOutput("stat --printf '%a ' " + record + " 2>/dev/null || true") + readFile(record),
              row.recordAfter);
  }
}

}  // namespace
}  // namespace vela::helper
