// Stands in for dseditgroup: adds one user to one group, in exactly the form
// the daemon calls it (dseditgroup -q -o edit -a USER -t user GROUP), with
// the system's own tool. Any other form is refused.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// Debian's tool for supplementary group membership.
constexpr const char *kUsermod = "/usr/sbin/usermod";
constexpr int kUsage = 64;

bool expectedForm(int argc, char **argv) {
  // Empty entries are the user and the group.
  constexpr std::string_view kForm[] = {"-q", "-o", "edit", "-a", "", "-t", "user", ""};
  if (argc != 9) return false;
  for (int i = 0; i < 8; ++i)
    if (!kForm[i].empty() && argv[i + 1] != kForm[i]) return false;
  // One group: usermod would read a comma as a list.
  return argv[5][0] != '\0' && argv[8][0] != '\0' && std::strchr(argv[8], ',') == nullptr;
}

}  // namespace

int main(int argc, char **argv) {
  if (!expectedForm(argc, argv)) {
    std::fputs("usage: dseditgroup -q -o edit -a USER -t user GROUP\n", stderr);
    return kUsage;
  }
  // "--": a user name that begins with "-" is still the user name.
  const char *arguments[] = {kUsermod, "-a", "-G", argv[8], "--", argv[5], nullptr};
  execv(kUsermod, const_cast<char *const *>(arguments));
  std::perror(kUsermod);
  return 127;
}
