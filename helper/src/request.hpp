// What the dispatcher and the operations it calls share: a request, its
// reply, and what one admitted connection remembers between its events.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "files.hpp"
#include "platform/message.hpp"

namespace vela::helper {

using platform::ipc::Message;

// The reply to send for a request; nothing when the request expects none.
using Reply = std::optional<Message>;

// One open foreground channel, fixed when it is opened.
struct ForegroundContext {
  std::string generation;  // 64 lower-case hexadecimal digits
  std::string version;     // the custody inventory's own version
  std::string root;        // the generation's foreground root
  // The custody inventory as read at open time: one copy for every channel
  // that read the same bytes for the generation.
  std::shared_ptr<const Data> inventory;
  std::string channelGeneration;
};

// What one admitted connection remembers between its events.
struct PeerState {
  std::optional<ForegroundContext> foregroundContext;
  bool foregroundStale = false;
  std::uint32_t peerEuid = 0;
};

// An empty reply for the request, or nothing when it expects none.
inline Reply createReply(const Message &request) {
  if (!request.expects_reply) return std::nullopt;
  return Message{};
}

// A reply of ok, code and message ("" for none), when the request expects one.
inline Reply reply(const Message &request, bool ok, std::string_view code, std::optional<std::string_view> message) {
  Reply answer = createReply(request);
  if (!answer) return answer;
  answer->body.set_bool("ok", ok);
  answer->body.set_string("code", code);
  answer->body.set_string("message", message.value_or(""));
  return answer;
}

}  // namespace vela::helper
