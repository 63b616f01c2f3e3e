#include "faults.hpp"

#ifdef VELA_FAULT_POINTS

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace vela::helper {

namespace {

bool fired = false;

}  // namespace

bool faultPoint(std::string_view name) {
  const char *chosen = std::getenv("VELA_FAULT");
  if (fired || chosen == nullptr) return false;
  std::string_view text(chosen);
  std::string_view action = "fail";
  if (auto colon = text.find(':'); colon != std::string_view::npos) {
    action = text.substr(colon + 1);
    text = text.substr(0, colon);
  }
  if (text != name) return false;
  fired = true;
  if (action == "kill") kill(getpid(), SIGKILL);
  if (action == "throw") throw std::runtime_error("fault point " + std::string(name));
  return true;
}

}  // namespace vela::helper

#endif
