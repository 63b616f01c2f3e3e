// Small tools shared by the daemon's tests.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "documents.hpp"
#include "errors.hpp"

namespace vela::helper {

inline void PrintTo(const Error &e, std::ostream *os) {
  *os << "(" << e.domain << ", " << e.code << ", \"" << e.message << "\")";
}

// Table rows print as their names; a test file names this in its own
// namespace (using helper::PrintTo) for the rows declared there.
template <class Row>
  requires requires(const Row &row) { std::string_view(row.name); }
void PrintTo(const Row &row, std::ostream *os) {
  *os << row.name;
}

template <class Row>
std::string rowName(const testing::TestParamInfo<Row> &info) { return info.param.name; }

}  // namespace vela::helper

namespace vela::helper::test {

using vela::test::bytes;

inline void writeFile(const std::string &path, std::string_view content, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary) << content;
  chmod(path.c_str(), mode);
}

inline std::string readFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// What a shell command writes to its standard output.
inline std::string commandOutput(const std::string &command) {
  std::string text;
  FILE *pipe = popen(command.c_str(), "r");
  for (int c; (c = std::fgetc(pipe)) != EOF;) text.push_back(static_cast<char>(c));
  EXPECT_EQ(pclose(pipe), 0) << command;
  return text;
}

inline std::vector<std::string> directoryNames(const std::string &path) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
  return names;
}

inline Error credentialError(std::int64_t status) {
  return {"VelaBrokerCredentials", status,
          "Service activation custody is unavailable; the helper will not start an unsealed runtime."};
}

}  // namespace vela::helper::test
