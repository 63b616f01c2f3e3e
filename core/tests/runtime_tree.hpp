// Test runtime trees written by tools/make-runtime.mjs, and the reports of
// their programs.
#pragma once

#include <nlohmann/json.hpp>

#include "sandbox_accounts.hpp"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vela::fixture {

using test::run;

// A runtime tree at dir made with the generator's options, e.g. "--broker split".
inline void make_runtime(const std::string &dir, const std::string &options = "") {
  run("node '" VELA_SOURCE_DIR "/tools/make-runtime.mjs' --out '" + dir + "' " + options);
}

inline std::string credentials(std::string_view activationKey, std::string_view launchSecret) {
  return R"({"activationKey":")" + std::string(activationKey) + R"(","launchSecret":")" + std::string(launchSecret) +
         R"("})";
}

// A report written by the test broker or seal script.
inline nlohmann::json read_report(const std::string &path) { return nlohmann::json::parse(std::ifstream(path)); }

}  // namespace vela::fixture
