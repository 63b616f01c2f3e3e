// The service's messages on a stream socket. Every integer is big-endian.
//
//   frame      = size:u32 body           size: the body's bytes, at most kMaxFrame
//                                        (kMaxRequest for what the service reads)
//   body       = flags:u8 dictionary     flags: 1 when the sender waits for a reply, else 0
//   dictionary = count:u32 entry*        exactly count entries, no key twice
//   entry      = key:text value          a key holds at most kMaxKey bytes
//   text       = size:u32 byte*          no NUL byte, as in a C string
//   value      = 1 bool:u8 (0 or 1)
//              | 2 unsigned:u64
//              | 3 signed:u64 (two's complement)
//              | 4 string:text
//              | 5 data:(size:u32 byte*)
//              | 6 dictionary
//
// Decoding refuses everything else: another tag or flag, a repeated key, more
// than kMaxEntries entries in one message, dictionaries nested more than
// kMaxDepth deep (the body's own counting as the first), bytes left over.
// So a message has exactly one encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/message.hpp"

namespace vela::platform::ipc::wire {

inline constexpr std::size_t kHeader = 4;
// The largest message is a reply carrying a 16 MiB asset (an install request
// with its 2 MiB envelope is smaller); 1 MiB more holds everything around it.
inline constexpr std::uint32_t kMaxFrame = 17u << 20;
// The largest request the service reads: an install's 2,097,152-byte
// envelope, its 44-byte vault material and an archive path of PATH_MAX (4,096)
// bytes, with 4 KiB for the keys and the framing around them.
inline constexpr std::uint32_t kMaxRequest = 2'097'152 + 44 + 4096 + 4096;
inline constexpr std::size_t kMaxKey = 256;
inline constexpr std::size_t kMaxEntries = 1024;
inline constexpr unsigned kMaxDepth = 8;

using Entries = std::vector<std::pair<std::string, Value>>;

// The whole frame of a message, header included.
Data encode(const Message &message);
// The frame of these entries as they stand, a repeated key included: a client
// sends exactly what its user asked for.
Data encode(const Entries &entries, bool expects_reply);

// The body size a frame header announces.
std::uint32_t body_size(std::span<const std::uint8_t, kHeader> header);

// The message a frame body holds; nothing when the body breaks a rule above.
std::optional<Message> decode(std::span<const std::uint8_t> body);

}  // namespace vela::platform::ipc::wire
