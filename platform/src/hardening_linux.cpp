#include "platform/hardening.hpp"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/descriptor.hpp"

namespace vela::platform {

namespace {

// The scope's first digit, or none when the file cannot be read.
int read_scope(const char *file) {
  Descriptor fd(open(file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  char digit = 0;
  if (!fd || read(fd.get(), &digit, 1) != 1 || digit < '0' || digit > '9') return -1;
  return digit - '0';
}

// Calls that take a mode, and which argument (from 0) holds it.
struct ModeArgument {
  const char *call;
  unsigned argument;
};
constexpr ModeArgument kModeArguments[] = {
    {"chmod", 1}, {"fchmod", 1}, {"fchmodat", 2}, {"fchmodat2", 2}, {"creat", 1},   {"open", 2},
    {"openat", 3}, {"mkdir", 1}, {"mkdirat", 2},  {"mknod", 1},     {"mknodat", 2},
};
// Calls whose mode lies in memory the filter cannot read.
constexpr const char *kHidden[] = {"openat2", "io_uring_setup"};

struct ContextRelease {
  void operator()(void *context) const { seccomp_release(context); }
};
using Context = std::unique_ptr<void, ContextRelease>;

// The rules; a call this machine does not have is left out. 0 or an errno value.
int add_rules(const Context &context) {
  for (auto [call, argument] : kModeArguments) {
    const int number = seccomp_syscall_resolve_name(call);
    if (number == __NR_SCMP_ERROR) continue;
    for (scmp_datum_t bit : {S_ISUID, S_ISGID})
      if (int rc = seccomp_rule_add(context.get(), SCMP_ACT_ERRNO(EPERM), number, 1,
                                    SCMP_CMP(argument, SCMP_CMP_MASKED_EQ, bit, bit)))
        return -rc;
  }
  for (const char *call : kHidden) {
    const int number = seccomp_syscall_resolve_name(call);
    if (number != __NR_SCMP_ERROR)
      if (int rc = seccomp_rule_add(context.get(), SCMP_ACT_ERRNO(ENOSYS), number, 0)) return -rc;
  }
  return 0;
}

// The compiled program, through a memory file.
std::expected<std::vector<sock_filter>, int> exported(const Context &context) {
  Descriptor file(memfd_create("set-id-filter", MFD_CLOEXEC));
  if (!file) return std::unexpected(errno);
  if (int rc = seccomp_export_bpf(context.get(), file.get())) return std::unexpected(-rc);
  const off_t size = lseek(file.get(), 0, SEEK_END);
  if (size <= 0 || size % sizeof(sock_filter) != 0) return std::unexpected(size < 0 ? errno : EINVAL);
  std::vector<sock_filter> program(static_cast<std::size_t>(size) / sizeof(sock_filter));
  if (pread(file.get(), program.data(), static_cast<std::size_t>(size), 0) != size) return std::unexpected(EIO);
  return program;
}

}  // namespace

std::expected<SetIdFilter, int> SetIdFilter::make() {
  Context context(seccomp_init(SCMP_ACT_ALLOW));
  if (!context) return std::unexpected(ENOMEM);
  // A call of another architecture's numbering ends the whole process.
  if (int rc = seccomp_attr_set(context.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS))
    return std::unexpected(-rc);
  if (int e = add_rules(context)) return std::unexpected(e);
  auto program = exported(context);
  if (!program) return std::unexpected(program.error());
  SetIdFilter filter;
  filter.program_ = std::move(*program);
  return filter;
}

int SetIdFilter::install() const noexcept {
  const sock_fprog program{static_cast<unsigned short>(program_.size()), const_cast<sock_filter *>(program_.data())};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
    return errno;
  return 0;
}

bool check_ptrace_scope(int errorFd, const char *file) {
  const int scope = read_scope(file);
  if (scope > 0) return true;
  const std::string line = std::string("vela-broker-helper: kernel.yama.ptrace_scope is ") +
                           (scope == 0 ? "0" : "unavailable (no Yama)") +
                           ": processes of the broker account can read each other's descriptors; set it to 1\n";
  (void)write_all(errorFd, {reinterpret_cast<const std::uint8_t *>(line.data()), line.size()});
  return false;
}

}  // namespace vela::platform
