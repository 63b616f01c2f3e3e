#include <sys/stat.h>

#include <functional>

#include "serialization.hpp"
#include "staging.hpp"
#include "support.hpp"
#include "vela_core.h"

namespace vela::helper {
namespace {

using test::commandOutput;
using test::readFile;
using test::writeFile;

const std::string kWork = "/private/staging", kDestination = kWork + "/source", kCopy = kDestination + "/.authenticated-runtime.tar.gz";

struct Archive {
  std::string path = kWork + "/runtime.tar.gz";
  std::string sha256;
  std::uint64_t bytes = 0;
};

// A fresh work tree: the test runtime at kWork/top, its archive, and an empty destination.
Archive makeArchive(const std::string &hostile = "none") {
  std::system(("rm -rf " + kWork + " && mkdir -m 0700 " + kWork + " " + kDestination).c_str());
  auto made = Json::parse(commandOutput("node " VELA_SOURCE_DIR "/tools/make-runtime.mjs --out " + kWork +
                                  "/top --archive " + kWork + "/runtime.tar.gz --hostile " + hostile));
  return {.sha256 = made["archiveSha256"], .bytes = made["archiveBytes"]};
}

bool extract(const Archive &archive, std::optional<Error> *error) {
  return extractAuthenticatedArchive(archive.path, archive.sha256, archive.bytes, kDestination, error);
}

TEST(Staging, ArchiveIsExtractedOnlyWhenItsPrivateCopyMatches) {
  const Error mismatch{kHelperDomain, 8, "runtime archive does not match the authenticated release manifest"};
  const Error tarFailed{kHelperDomain, 2, "privileged broker task failed with exit status 2"};
  struct Row {
    const char *name;
    std::function<void(Archive &)> change;
    bool extracted;
    std::optional<Error> error;
  };
  const Row rows[] = {
      {"good", [](Archive &) {}, true, {}},
      {"upper_case_digest", [](Archive &a) { std::ranges::transform(a.sha256, a.sha256.begin(), ::toupper); }, true, {}},
      {"signed_size_one_more", [](Archive &a) { a.bytes++; }, false, {}},
      {"archive_larger_than_signed", [](Archive &a) { std::system(("echo >> " + a.path).c_str()); }, false, {}},
      {"one_byte_changed", [](Archive &a) { auto d = readFile(a.path); d[100] ^= 1; writeFile(a.path, d); }, false, mismatch},
      {"empty_size", [](Archive &a) { a.bytes = 0; }, false, {}},
      {"size_over_2_GiB", [](Archive &a) { a.bytes = 2'147'483'649; }, false, {}},
      {"private_copy_exists", [](Archive &) { writeFile(kCopy, "someone else's"); }, false, {}},
      {"symbolic_link", [](Archive &a) { symlink(a.path.c_str(), (kWork + "/link").c_str()); a.path = kWork + "/link"; }, false, {}},
      {"fifo", [](Archive &a) { a.path += ".fifo"; mkfifo(a.path.c_str(), 0600); }, false, {}},
      {"tar_fails", [](Archive &a) {
         std::system(("head -c 5000 /dev/urandom | gzip > " + a.path).c_str());
         a = {.sha256 = commandOutput("sha256sum " + a.path).substr(0, 64), .bytes = std::stoull(commandOutput("stat -c %s " + a.path))};
       }, false, tarFailed},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    Archive archive = makeArchive();
    row.change(archive);
    std::optional<Error> error;
    EXPECT_EQ(extract(archive, &error), row.extracted);
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(readFile(kDestination + "/release/RELEASE.txt").empty(), !row.extracted);
    EXPECT_EQ(access(kCopy.c_str(), F_OK) == 0, std::string_view(row.name) == "private_copy_exists");
  }
}

// Everything outside the destination that a hostile member could reach.
std::string outside() {
  return commandOutput("find / -maxdepth 1 | sort; find /etc /private -path " + kDestination + " -prune -o -path " + kWork +
                "/custody -prune -o -printf '%p %y %s %m %U %n %T@\\n' | sort");
}

TEST(Staging, HostileArchiveChangesNothingOutsideItsDestination) {
  struct Row {
    const char *hostile;
    bool copied;  // by the custody copy of the runtime's inventory
  };
  for (auto row : {Row{"dotdot", true}, Row{"absolute", true}, Row{"symlink", true}, Row{"hardlink", false},
                   Row{"device", false}}) {
    SCOPED_TRACE(row.hostile);
    Archive archive = makeArchive(row.hostile);
    ASSERT_EQ(mkdir((kWork + "/custody").c_str(), 0700), 0);
    std::string before = outside();
    extract(archive, nullptr);
    std::string inventory = readFile(kWork + "/top/mac-broker-inventory.json");
    int copy = vela_core_copy_inventory(kDestination.c_str(), (kWork + "/custody").c_str(),
                                        reinterpret_cast<const std::uint8_t *>(inventory.data()), inventory.size(), "1.0.0");
    EXPECT_EQ(copy == 0, row.copied);
    EXPECT_EQ(commandOutput("find " + kWork + "/custody ! -type f ! -type d"), "");
    EXPECT_TRUE(outside() == before) << "something outside the destination changed";
  }
}

TEST(ArchiveIdentity, VersionIsBoundToOneArchive) {
  const std::string kRecord = std::string(VelaArchiveIdentityBase) + "/1.0.0.sha256";
  const std::string a(64, 'a'), b(64, 'b');
  const Error bound{kHelperDomain, 9, "runtime version is already bound to a different signed archive"};
  const Error none{kHelperDomain, 10, "repair has no root-owned signed archive identity"};
  struct Row {
    const char *name;
    std::function<void()> before;
    bool repair;
    bool accepted;
    std::optional<Error> error;
    std::string record;  // afterwards
    mode_t mode;
  };
  const Row rows[] = {
      {"first_install_records", [] {}, false, true, {}, a, 0600},
      {"same_digest", [&] { writeFile(kRecord, "AAAA" + a.substr(4) + "\n"); }, false, true, {}, "AAAA" + a.substr(4) + "\n", 0600},
      {"another_digest", [&] { writeFile(kRecord, b); }, false, false, bound, b, 0600},
      {"repair_without_record", [] {}, true, false, none, "", 0},
      {"record_is_a_link", [&] { writeFile(kWork + "/b", b); symlink((kWork + "/b").c_str(), kRecord.c_str()); }, false, false, bound, b, 0777},
      {"record_group_writable", [&] { writeFile(kRecord, a, 0620); }, false, false, bound, a, 0620},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    std::system(("rm -rf /private/var " + kWork + " && mkdir -p -m 0700 " + kWork + " " + std::string(VelaArchiveIdentityBase)).c_str());
    row.before();
    std::optional<Error> error;
    EXPECT_EQ(validateOrRecordArchiveIdentity("1.0.0", a, row.repair, !row.repair, &error), row.accepted);
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(readFile(kRecord), row.record);
    struct stat st {};
    lstat(kRecord.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, row.mode);
  }
}

}  // namespace
}  // namespace vela::helper
