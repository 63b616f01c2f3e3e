#include <gtest/gtest.h>

#include <cstdio>

#include "identity.hpp"
#include "platform/paths.hpp"
#include "root/fixture.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

const std::string kDscl(platform::paths::kDscl);

TEST(ServiceIdentity, AccountsAndGroupsAsMadeWithMembersOnlyInTheAgentGroup) {
  const auto made = test::makeServiceAccounts();
  test::run("useradd -M -N -g nogroup -G _velaagent someone");
  std::uint32_t ids[4] = {};
  ASSERT_TRUE(serviceIdentity(ids[0], ids[1], ids[2], ids[3]));
  EXPECT_EQ(std::vector(ids, ids + 4),
            (std::vector<std::uint32_t>{made.brokerUid, made.brokerGid, made.agentGid, made.controlGid}));
  EXPECT_TRUE(test::directoryNames(std::string(VelaV3State)).empty()) << "the record files have no name";
}

// Each row changes the account databases (command) or the directory
// service's answer (script, run in place of the stand-in, which stays at
// "$0.real"); the identity must be refused.
struct Fault {
  const char *name;
  const char *command;
  const char *script = nullptr;
};

class Census : public testing::TestWithParam<Fault> {};

TEST_P(Census, Refused) {
  test::makeServiceAccounts();
  if (GetParam().command != nullptr) test::run(GetParam().command);
  if (GetParam().script != nullptr) {
    ASSERT_EQ(std::rename(kDscl.c_str(), (kDscl + ".real").c_str()), 0);
    test::writeFile(kDscl, std::string("#!/bin/sh\n") + GetParam().script, 0755);
  }
  std::uint32_t ids[4] = {};
  EXPECT_FALSE(serviceIdentity(ids[0], ids[1], ids[2], ids[3]));
}

INSTANTIATE_TEST_SUITE_P(
    ServiceIdentity, Census,
    testing::Values(
        Fault{"aliased_gids", "groupmod -o -g $(getent group _velaagent | cut -d: -f3) _velacontrol"},
        Fault{"second_group_with_a_service_gid", "groupadd -o -g $(getent group _velaagent | cut -d: -f3) other"},
        Fault{"member_in_the_control_group", "gpasswd -a nobody _velacontrol"},
        Fault{"two_broker_users",
              "echo _velabroker:x:$(id -u _velabroker):$(id -g _velabroker)::/var/empty:/usr/bin/false >>/etc/passwd"},
        Fault{"user_with_the_broker_uid", "useradd -M -N -o -u $(id -u _velabroker) -g nogroup other"},
        Fault{"user_with_the_broker_gid", "useradd -M -N -g _velabroker other"},
        Fault{"user_with_the_control_gid", "useradd -M -N -g _velacontrol other"},
        Fault{"empty_record", nullptr, "exit 0\n"},
        Fault{"record_too_large", nullptr, "\"$0.real\" \"$@\" && head -c 1048576 /dev/zero | tr '\\0' ' '\n"},
        Fault{"record_not_a_dictionary", nullptr, "echo '<plist version=\"1.0\"><array/></plist>'\n"},
        Fault{"gid_as_a_number", nullptr,
              "\"$0.real\" \"$@\" | sed 's|<string>\\([0-9]*\\)</string>|<integer>\\1</integer>|'\n"},
        Fault{"record_with_a_failed_status", nullptr, "\"$0.real\" \"$@\"; exit 1\n"}),
    rowName<Fault>);

}  // namespace
}  // namespace vela::helper
