#include "service.hpp"

namespace vela::helper {

Reply createReply(const Message &request) {
  if (!request.expects_reply) return std::nullopt;
  return Message{};
}

Reply reply(const Message &request, bool ok, std::string_view code, std::optional<std::string_view> message) {
  Reply answer = createReply(request);
  if (!answer) return answer;
  answer->body.set_bool("ok", ok);
  answer->body.set_string("code", code);
  answer->body.set_string("message", message.value_or(""));
  return answer;
}

Reply statusOperation(const Message &) { return std::nullopt; }  // STUB: issue-15 writes it

}  // namespace vela::helper
