#include "serialization.hpp"

namespace vela::helper {

namespace {

// The domain and code under which the platform reports unreadable JSON.
constexpr const char *kJsonDomain = "NSCocoaErrorDomain";
constexpr std::int64_t kJsonUnreadable = 3840;
constexpr std::int64_t kJsonUnwritable = 3851;

}  // namespace

std::optional<Json> parseJson(std::span<const std::uint8_t> bytes, ErrorOut error) {
  try {
    return Json::parse(bytes.begin(), bytes.end());
  } catch (const Json::exception &e) {  // a syntax error, or a number out of range (406) and the like
    setError(error, {kJsonDomain, kJsonUnreadable, e.what()});
    return std::nullopt;
  }
}

std::optional<std::string> serializeJson(const Json &value, ErrorOut error) {
  try {
    return value.dump();
  } catch (const Json::type_error &e) {
    setError(error, {kJsonDomain, kJsonUnwritable, e.what()});
    return std::nullopt;
  }
}

}  // namespace vela::helper
