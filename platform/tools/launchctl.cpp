// Stands in for launchctl, for the one call the daemon makes: "bootout
// system/LABEL". No launchd job exists on this system, so it answers as
// launchd does for a job that is not loaded: a message and status 113.
#include <cstdio>
#include <string_view>

namespace {

constexpr int kNotFound = 113;
constexpr int kUsage = 64;

bool systemTarget(std::string_view target) {
  constexpr std::string_view kDomain = "system/";
  return target.starts_with(kDomain) && target.size() > kDomain.size();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3 || std::string_view(argv[1]) != "bootout" || !systemTarget(argv[2])) {
    std::fputs("usage: launchctl bootout system/LABEL\n", stderr);
    return kUsage;
  }
  std::fprintf(stderr, "Boot-out failed: %d: Could not find service\n", kNotFound);
  return kNotFound;
}
