// Test runtimes: the files of a small runtime that satisfies every inventory
// rule, and inventory documents listing them.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../../../tests/support/documents.hpp"
#include "sha256.hpp"

namespace vela::test {

struct File {
  std::string path;
  std::string content;
  bool executable = false;
  std::string source = {};  // where a copy reads it from; empty: path
};

struct Listing {
  std::string path;
  std::string sourcePath;
  std::string sha256;
  std::uint64_t bytes = 0;
  bool executable = false;
};

inline std::vector<Listing> listings(const std::vector<File> &files) {
  std::vector<Listing> out;
  for (const File &f : files)
    out.push_back({f.path, f.source.empty() ? f.path : f.source, sha256::hex(bytes(f.content)), f.content.size(),
                   f.executable});
  return out;
}

// Every required file, the foreground closure and its static assets, and a
// file in each dependency closure.
inline std::vector<File> runtime() {
  return {
      {"host/node/bin/node", "#!node\n", true},
      {"host/app/package.json", R"({"name":"app"})"},
      {"host/app/scripts/seal-protected-runtime.mjs", "seal();\n"},
      {"host/app/packaging/macos/install-vela-broker.sh", "#!/bin/sh\n", true},
      {"production-inventory.json", "{}"},
      {"host/app/protected/broker/index.js", "broker();\n"},
      {"host/app/protected/broker/handlers.js", "handlers();\n"},
      {"host/app/protected/protected-payloads.js", "payloads();\n"},
      {"host/app/protected/protection-manifest.json", "[]"},
      {"host/app/protected/vault.bin", std::string("\0\1\2vault", 8)},
      {"host/app/protected/native/macos-peer.node", "peer"},
      {"foreground-runtime.json", R"({"foreground":true})"},
      {"host/app/protected/server/index.js", "server();\n"},
      {"host/app/protected/pty-service/index.js", "pty();\n"},
      {"host/app/client/dist/index.html", "<!doctype html>\n"},
      {"host/app/client/dist/assets/app.js", "app();\n"},
      {"host/app/client/dist/empty.css", ""},
      {"host/app/scripts/vela-protected-launcher.mjs", "launch();\n"},
      {"host/app/scripts/vela-capability-proof-client.mjs", "proof();\n"},
      {"host/app/public-capability-extensions/vela-capability-client.ts", "export {};\n"},
      {"host/agent-runtime/package.json", R"({"name":"agent"})"},
      {"host/agent-runtime/node_modules/.bin/pi", "#!/bin/sh\n", true},
      {"host/app/node_modules/left-pad/index.js", "module.exports = pad;\n"},
  };
}

inline std::uint64_t sum(const std::vector<Listing> &assets) {
  std::uint64_t total = 0;
  for (const Listing &l : assets) total += l.bytes;
  return total;
}

// The document listing the assets; the total is their sum unless given.
inline std::string document(const std::vector<Listing> &assets, std::string_view version = "1.2.3",
                            std::optional<std::uint64_t> total = std::nullopt) {
  nlohmann::ordered_json doc = {{"schemaVersion", 3}, {"version", version}, {"totalBytes", total.value_or(sum(assets))},
                                {"assets", nlohmann::ordered_json::array()}};
  for (const Listing &l : assets)
    doc["assets"].push_back({{"path", l.path}, {"sourcePath", l.sourcePath}, {"sha256", l.sha256}, {"bytes", l.bytes},
                             {"executable", l.executable}});
  return doc.dump();
}

inline std::string document(const std::vector<File> &files, std::string_view version = "1.2.3") {
  return document(listings(files), version);
}

}  // namespace vela::test
