#include <gtest/gtest.h>

#include <cstdio>

#include "identity.hpp"
#include "platform/paths.hpp"
#include "root/fixture.hpp"

namespace vela::helper {
namespace {

using helper::PrintTo;  // rows print as their names

// A change to the fixture's accounts (command), or a directory service answering with
// `script` in place of the stand-in (kept at "$0.real"), and whether the identity stands.
struct Census {
  const char *name;
  const char *command;
  const char *script = nullptr;
  bool allowed = false;
};

class Censuses : public testing::TestWithParam<Census> {};

TEST_P(Censuses, IdentityAllowedOrRefused) {
  const std::string dscl(platform::paths::kDscl);
  const auto made = test::makeServiceAccounts();
  if (GetParam().command != nullptr) test::run(GetParam().command);
  if (GetParam().script != nullptr) {
    ASSERT_EQ(std::rename(dscl.c_str(), (dscl + ".real").c_str()), 0);
    test::writeFile(dscl, std::string("#!/bin/sh\n") + GetParam().script, 0755);
  }
  std::uint32_t ids[4] = {};
  ASSERT_EQ(serviceIdentity(ids[0], ids[1], ids[2], ids[3]), GetParam().allowed);
  if (GetParam().allowed) {
    EXPECT_EQ(std::vector(ids, ids + 4), std::vector({made.brokerUid, made.brokerGid, made.agentGid, made.controlGid}));
  }
  EXPECT_TRUE(test::directoryNames(std::string(VelaV3State)).empty()) << "record files are never left named";
}

INSTANTIATE_TEST_SUITE_P(
    ServiceIdentity, Censuses,
    testing::Values(
        Census{"member_in_the_agent_group", "useradd -M -N -g nogroup -G _velaagent someone", nullptr, true},
        Census{"second_group_with_a_service_gid", "groupadd -o -g $(getent group _velaagent | cut -d: -f3) other"},
        Census{"member_in_the_control_group_but_not_its_record", "gpasswd -a nobody _velacontrol",
               "\"$0.real\" \"$@\" | sed 's|<string>nobody</string>||'\n"},
        Census{"two_broker_users",
               "echo _velabroker:x:$(id -u _velabroker):$(id -g _velabroker)::/var/empty:/usr/bin/false >>/etc/passwd"},
        Census{"user_with_the_broker_uid", "useradd -M -N -o -u $(id -u _velabroker) -g nogroup other"},
        Census{"user_with_the_broker_gid", "useradd -M -N -g _velabroker other"},
        Census{"user_with_the_control_gid", "useradd -M -N -g _velacontrol other"},
        Census{"record_too_large", nullptr, "\"$0.real\" \"$@\" && head -c 1048576 /dev/zero | tr '\\0' ' '\n"},
        Census{"record_not_a_dictionary", nullptr, "echo '<plist version=\"1.0\"><array/></plist>'\n"},
        Census{"gid_as_a_number", nullptr,
               "\"$0.real\" \"$@\" | sed 's|<string>\\([0-9]*\\)</string>|<integer>\\1</integer>|'\n"},
        Census{"record_with_a_failed_status", nullptr, "\"$0.real\" \"$@\"; exit 1\n"}),
    rowName<Census>);

}  // namespace
}  // namespace vela::helper
