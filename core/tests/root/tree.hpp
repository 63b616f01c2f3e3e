// Trees on disk for the custody tests, made as root in the sandbox: every
// directory 0755 and every file 0644 or 0755 unless a test changes it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "../support/runtime.hpp"
#include "error.hpp"

namespace vela::test {

namespace fs = std::filesystem;

inline void make_directories(const fs::path &dir) {
  fs::path walked;
  for (const auto &part : dir)
    if (fs::create_directory(walked /= part)) fs::permissions(walked, static_cast<fs::perms>(0755));
}

inline void write_file(const fs::path &path, std::string_view content, mode_t mode = 0644) {
  make_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  fs::permissions(path, static_cast<fs::perms>(mode));
}

// Each file at its source path below the root.
inline void plant(const fs::path &root, const std::vector<File> &files) {
  make_directories(root);
  for (const File &f : files)
    write_file(root / (f.source.empty() ? f.path : f.source), f.content, f.executable ? 0755 : 0644);
}

inline std::string read_text(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline mode_t mode_of(const fs::path &path) { return static_cast<mode_t>(fs::symlink_status(path).permissions()); }

inline std::string os_error(int code) { return "errno " + std::to_string(code); }

// The outcome of an operation: "" for success, "errno N" for an operating
// system error, otherwise the fixed message.
template <class T>
std::string outcome(const Result<T> &r) {
  if (r) return "";
  return r.error().kind == Kind::os ? os_error(r.error().code) : r.error().message;
}

}  // namespace vela::test
