// vela-helper-client: sends requests to the helper daemon, in order, on one
// connection, and prints each reply as one line of JSON. Installed
// set-group-id to a group of its own, which the daemon's admission asks of
// its peer; the group grants nothing else.
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/descriptor.hpp"
#include "platform/ipc_client.hpp"
#include "platform/paths.hpp"
#include "platform/wire.hpp"

namespace {

namespace ipc = vela::platform::ipc;
using Json = nlohmann::ordered_json;

constexpr const char *kHelp = R"(usage: vela-helper-client REQUEST [-- REQUEST]...
Sends the requests in order on one connection and prints each reply as one
line of JSON, data values in Base64. A request is one of
  status
  foreground_open GENERATION
  foreground_current
  foreground_asset NAME
  foreground_status
  install ARCHIVE ENVELOPE-FILE VAULT-FILE
  repair ARCHIVE ENVELOPE-FILE VAULT-FILE
  send FIELD...        exactly these fields, each TYPE:KEY=VALUE, TYPE one of
                       u (unsigned), i (signed), s (string), b (true or false),
                       d (data: the bytes of the file VALUE)
and may begin with --no-reply: it is sent without waiting for a reply. Every
file is read before connecting; after the last request the client waits, up
to 10 minutes, until the helper has read them all and ended the connection.
Exit status: 0 every reply has ok true; 1 one has not; 2 usage or file error;
3 the connection ended before any reply, requests unread (refused at
admission); 4 connection error.
)";

enum Exit { kAllOk = 0, kNotOk = 1, kUsageError = 2, kRefused = 3, kConnection = 4 };

// Data files are read whole; this bounds them well above the largest frame.
constexpr std::uintmax_t kMaxDataFile = 64u << 20;
// How long the helper may take to read every request after the last one is
// sent. It reads them one at a time, each after the last one's work, and an
// install runs a minute or two; with other clients' work ahead of ours on
// its queue, ten minutes leaves room for a few.
constexpr auto kHandOver = std::chrono::minutes(10);

struct Field {
  char type;
  std::string key;
  std::string value;
};

struct Request {
  bool expectsReply = true;
  std::vector<Field> fields;
};

std::optional<Field> parseField(std::string_view text) {
  auto equals = text.find('=');
  if (text.size() < 3 || text[1] != ':' || equals == std::string_view::npos) return std::nullopt;
  if (std::string_view("uisbd").find(text[0]) == std::string_view::npos) return std::nullopt;
  return Field{text[0], std::string(text.substr(2, equals - 2)), std::string(text.substr(equals + 1))};
}

// The fields a shorthand stands for, from its arguments.
std::optional<std::vector<Field>> shorthand(const std::vector<std::string> &words) {
  struct Form {
    std::string_view operation;
    std::vector<Field> arguments;  // type and key; the value is the next word
  };
  static const Form kForms[] = {
      {"status", {}},
      {"foreground_open", {{'s', "foreground_generation", {}}}},
      {"foreground_current", {}},
      {"foreground_asset", {{'s', "foreground_asset", {}}}},
      {"foreground_status", {}},
      {"install", {{'s', "archivePath", {}}, {'d', "releaseEnvelope", {}}, {'d', "packageVaultKey", {}}}},
      {"repair", {{'s', "archivePath", {}}, {'d', "releaseEnvelope", {}}, {'d', "packageVaultKey", {}}}},
  };
  for (const auto &form : kForms) {
    if (words[0] != form.operation || words.size() != form.arguments.size() + 1) continue;
    std::vector<Field> fields{{'u', "protocolVersion", "3"}, {'s', "operation", words[0]}};
    for (std::size_t i = 0; i < form.arguments.size(); ++i)
      fields.push_back({form.arguments[i].type, form.arguments[i].key, words[i + 1]});
    return fields;
  }
  return std::nullopt;
}

std::optional<Request> parseRequest(std::vector<std::string> words) {
  Request request;
  if (!words.empty() && words[0] == "--no-reply") {
    request.expectsReply = false;
    words.erase(words.begin());
  }
  if (words.empty()) return std::nullopt;
  if (words[0] != "send") {
    auto fields = shorthand(words);
    if (!fields) return std::nullopt;
    request.fields = std::move(*fields);
    return request;
  }
  for (auto word = words.begin() + 1; word != words.end(); ++word) {
    auto field = parseField(*word);
    if (!field) return std::nullopt;
    request.fields.push_back(std::move(*field));
  }
  return request;
}

std::optional<std::vector<Request>> parseArguments(int argc, char **argv) {
  std::vector<Request> requests;
  std::vector<std::string> words;
  for (int i = 1; i <= argc; ++i) {
    if (i < argc && std::string_view(argv[i]) != "--") {
      words.emplace_back(argv[i]);
      continue;
    }
    auto request = parseRequest(std::exchange(words, {}));
    if (!request) return std::nullopt;
    requests.push_back(std::move(*request));
  }
  return requests;
}

template <class Integer>
std::optional<ipc::Value> integer(const std::string &text) {
  Integer value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<ipc::Value> fileData(const std::string &path) {
  vela::platform::Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ipc::Data bytes;
  for (std::uint8_t chunk[65536]; file && bytes.size() <= kMaxDataFile;) {
    ssize_t n = read(file.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return bytes;
    if (n < 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return std::nullopt;
}

std::optional<ipc::Value> value(const Field &field) {
  switch (field.type) {
    case 'u': return integer<std::uint64_t>(field.value);
    case 'i': return integer<std::int64_t>(field.value);
    case 's': return field.value;
    case 'b':
      if (field.value != "true" && field.value != "false") return std::nullopt;
      return field.value == "true";
    default: return fileData(field.value);
  }
}

std::string base64(const ipc::Data &bytes) {
  std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the terminating NUL
  return text;
}

Json json(const ipc::Dictionary &dictionary) {
  Json object = Json::object();
  for (const auto &[key, held] : dictionary.entries())
    std::visit(
        [&](const auto &v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, ipc::Data>)
            object[key] = base64(v);
          else if constexpr (std::is_same_v<T, std::shared_ptr<const ipc::Dictionary>>)
            object[key] = json(*v);
          else
            object[key] = v;
        },
        held);
  return object;
}

// A request's frame, its data files read whole; nothing when a value is bad.
std::optional<ipc::Data> frame(const Request &request) {
  ipc::wire::Entries entries;
  for (const auto &field : request.fields) {
    auto held = value(field);
    if (!held) {
      std::cerr << "vela-helper-client: bad value for " << field.key << "\n";
      return std::nullopt;
    }
    entries.emplace_back(field.key, std::move(*held));
  }
  return ipc::wire::encode(entries, request.expectsReply);
}

// Sends the requests' frames in order, prints the replies, and stays until
// the helper has taken every request; the exit status.
int converse(int socket, const std::vector<Request> &requests, const std::vector<ipc::Data> &frames) {
  bool replied = false, allOk = true;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (ipc::send_frame(socket, frames[i]) != 0) return replied ? kConnection : kRefused;
    if (!requests[i].expectsReply) continue;
    auto answer = ipc::receive(socket);
    if (!answer) return answer.error() == ipc::ReceiveError::closed && !replied ? kRefused : kConnection;
    replied = true;
    allOk = allOk && answer->body.get<bool>("ok") == true;
    std::cout << json(answer->body).dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
  }
  if (int code = ipc::hand_over(socket, std::chrono::steady_clock::now() + kHandOver)) {
    std::cerr << "vela-helper-client: requests not handed over: " << std::strerror(code) << "\n";
    return code == ECONNRESET && !replied ? kRefused : kConnection;
  }
  return allOk ? kAllOk : kNotOk;
}

}  // namespace

#ifdef __SANITIZE_ADDRESS__
// The client runs set-group-id, so nothing may trace it, and the leak check
// at exit, which traces the process, would only fail: a sanitizer build of
// the client leaves it out.
extern "C" int __lsan_is_turned_off() { return 1; }
#endif

int main(int argc, char **argv) {
  auto requests = parseArguments(argc, argv);
  if (!requests || sodium_init() < 0) {
    std::cerr << kHelp;
    return kUsageError;
  }
  std::vector<ipc::Data> frames;
  for (const auto &request : *requests) {
    auto encoded = frame(request);
    if (!encoded) return kUsageError;
    frames.push_back(std::move(*encoded));
  }
  auto socket = ipc::connect_service(vela::platform::paths::kService);
  if (!socket) {
    std::cerr << "vela-helper-client: cannot connect to the helper\n";
    return kConnection;
  }
  return converse(socket->get(), *requests, frames);
}
