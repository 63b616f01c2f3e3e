#include <gtest/gtest.h>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>

#include "platform/keychain.hpp"
#include "root/fixture.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

class Activation : public testing::Test {
 protected:
  void SetUp() override { generation = test::installGeneration(ids = test::makeServiceAccounts()); }
  void TearDown() override { vela_core_stop(); }
  test::ServiceIds ids{};
  test::Generation generation;
};

std::string custody(const char *path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return "absent";
  return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " + std::to_string(st.st_mode & 07777);
}

// Binds a socket at `path` with the broker's identity, in a child.
bool bindAsBroker(const test::ServiceIds &ids, const std::string &path) {
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const pid_t child = fork();
  if (child == 0) {
    int fd = -1;
    bool bound = setgroups(0, nullptr) == 0 && setgid(ids.brokerGid) == 0 && setuid(ids.brokerUid) == 0 &&
                 (fd = socket(AF_UNIX, SOCK_STREAM, 0)) >= 0 &&
                 bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    _exit(bound ? 0 : 1);
  }
  int status = -1;
  return waitpid(child, &status, 0) == child && status == 0;
}

TEST_F(Activation, TheCurrentGenerationRunsReadyWithItsEndpointsReachedThroughVarRun) {
  test::makeCurrent(generation);
  std::optional<Error> error;
  ASSERT_TRUE(startAcceptedRelease(readRootTrust(nullptr).value()["current"], &error)) << error->message;
  char status[512];
  ASSERT_EQ(vela_core_status(status, sizeof status), 0);
  EXPECT_EQ(Json::parse(status)["generation"], generation.digest);
  const std::string broker = std::to_string(ids.brokerUid) + ":" + std::to_string(ids.brokerGid);
  EXPECT_EQ(custody("/private/var/run/vela-broker"), broker + " " + std::to_string(0711));
  EXPECT_EQ(custody("/private/var/db/vela-broker"), broker + " " + std::to_string(0750));
  const Json report = Json::parse(std::ifstream(generation.root + "/.activation/broker-report.json"));
  std::string endpoint;
  for (const std::string variable : report["environ"])
    if (variable.starts_with("VELA_CAPABILITY_BROKER_ENDPOINT=")) endpoint = variable.substr(variable.find('=') + 1);
  ASSERT_TRUE(endpoint.starts_with("/var/run/vela-broker/")) << endpoint;
  EXPECT_TRUE(bindAsBroker(ids, endpoint));
  EXPECT_EQ(custody(("/private/var/run/vela-broker/" + endpoint.substr(21)).c_str()).substr(0, broker.size()), broker);
}

// Each row changes the installed generation or its release record; the
// start must be refused with the row's error and no broker must run.
struct Refusal {
  const char *name;
  std::function<void(Json &release, const test::Generation &)> prepare;
  Error error;
};

class Refusals : public Activation, public testing::WithParamInterface<Refusal> {};

TEST_P(Refusals, NoBroker) {
  Json release = generation.release();
  GetParam().prepare(release, generation);
  std::optional<Error> error;
  EXPECT_FALSE(startAcceptedRelease(release, &error));
  EXPECT_EQ(error, GetParam().error);
  char status[512];
  EXPECT_NE(vela_core_status(status, sizeof status), 0);
}

void flipFirstByte(const std::string &path) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  const char first = static_cast<char>(file.get() ^ 1);
  file.seekp(0).put(first);
}

INSTANTIATE_TEST_SUITE_P(
    Activation, Refusals,
    testing::Values(
        // A keychain that cannot be opened would name itself if it were read.
        Refusal{"one_byte_changed_before_the_keychain",
                [](Json &, const test::Generation &g) {
                  flipFirstByte(g.root + "/host/node/bin/node");
                  chmod("/Library/Keychains", 0777);
                },
                {kActivationDomain, 1, "Accepted broker custody failed integrity verification."}},
        Refusal{"upper_case_digest_names_the_lower_case_root",
                [](Json &release, const test::Generation &g) {
                  std::string upper = g.digest;
                  std::ranges::transform(upper, upper.begin(), ::toupper);
                  release["archiveSha256"] = upper;
                },
                test::credentialError(platform::keychain::kParam)},
        Refusal{"version_cut_short_by_a_nul",
                [](Json &release, const test::Generation &g) { release["version"] = g.version + '\0' + "x"; },
                {kActivationDomain, 1, "Accepted broker identity is invalid."}}),
    rowName<Refusal>);

}  // namespace
}  // namespace vela::helper
