#include "serialization.hpp"

#include <gtest/gtest.h>

#include "platform/hardening.hpp"
#include "support.hpp"

namespace vela::helper {
namespace {

// Every failure of the parser is a refusal with its own text, never an exception.
TEST(Serialization, ParserFailuresAreRefusals) {
  for (const char *text : {"{", "[-1e999]"}) {
    std::optional<Error> error;
    EXPECT_FALSE(parseJson(test::bytes(text), &error)) << text;
    EXPECT_EQ(error->code, 3840) << text;
    EXPECT_FALSE(error->message.empty()) << text;
  }
}

// One line on standard error unless Yama restricts ptrace.
TEST(Hardening, PtraceScope) {
  const std::string file = testing::TempDir() + "ptrace_scope";
  for (const auto &[scope, restricted] : std::vector<std::pair<const char *, bool>>{
           {"1\n", true}, {"2\n", true}, {"0\n", false}, {nullptr, false}}) {
    std::remove(file.c_str());
    if (scope) test::writeFile(file, scope);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    EXPECT_EQ(platform::check_ptrace_scope(ends[1], file.c_str()), restricted);
    close(ends[1]);
    char line[256];
    const auto n = read(ends[0], line, sizeof line);
    close(ends[0]);
    EXPECT_EQ(n > 0 && line[n - 1] == '\n' && std::string_view(line, n).find("ptrace_scope") != std::string_view::npos,
              !restricted)
        << (scope ? scope : "absent");
  }
}

}  // namespace
}  // namespace vela::helper
