#include "accounts.hpp"

#include <sys/stat.h>

#include <string>

#include "files.hpp"
#include "platform/paths.hpp"
#include "tasks.hpp"

namespace vela::helper {

namespace {

constexpr std::string_view kAccountScript = "host/app/packaging/macos/install-vela-broker.sh";
constexpr std::string_view kAgentGroup = "_velaagent";
constexpr double kScriptSeconds = 30;
constexpr double kMembershipSeconds = 10;
constexpr double kOwnershipSeconds = 30;
constexpr mode_t kServiceReadable = 0750;

// One "/" between the root and the relative path.
std::string joined(std::string_view root, std::string_view relative) {
  std::string path(root);
  if (!path.ends_with('/')) path.push_back('/');
  return path.append(relative);
}

Task program(std::string_view executable, std::vector<std::string> arguments) {
  return {.executable = std::string(executable),
          .arguments = std::move(arguments),
          .environment = {{"PATH", kTaskSearchPath}}};
}

}  // namespace

bool prepareServiceAccount(std::string_view runtimeRoot, std::string_view userName, ErrorOut error) {
  Task task = program(platform::paths::kShell, {joined(runtimeRoot, kAccountScript)});
  task.directory = runtimeRoot;
  task.environment.insert({{"VELA_RUNTIME_ROOT", std::string(runtimeRoot)},
                           {"VELA_AGENT_USER", std::string(userName)},
                           {"VELA_BROKER_PREPARE_ONLY", "1"}});
  return runBoundedTask(task, std::nullopt, error, kScriptSeconds);
}

bool addCustomerPublicMembership(std::string_view userName, ErrorOut error) {
  Task task = program(platform::paths::kDseditgroup,
                      {"-q", "-o", "edit", "-a", std::string(userName), "-t", "user", std::string(kAgentGroup)});
  return runBoundedTask(task, std::nullopt, error, kMembershipSeconds);
}

bool makeServiceReadable(std::string_view path, std::uint32_t gid, ErrorOut error) {
  Task task = program(platform::paths::kChown, {"-R", "0:" + std::to_string(gid), std::string(path)});
  if (!runBoundedTask(task, std::nullopt, error, kOwnershipSeconds)) return false;
  // The tree's own root, reached without a symbolic link.
  Descriptor root = openAbsoluteDirectoryNoFollow(path, nullptr);
  return root && fchmod(root.get(), kServiceReadable) == 0;
}

}  // namespace vela::helper
