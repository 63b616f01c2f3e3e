// The five custody exports on real root-owned trees: argument order, the
// 0/1 result and the output rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "tree.hpp"
#include "vela_core.h"

namespace vela {
namespace {

namespace fs = std::filesystem;

const fs::path kSource = "/private/source";
const fs::path kTarget = "/private/target";

class Exports : public ::testing::Test {
 protected:
  void SetUp() override {
    test::plant(kSource, files);
    test::make_directories(kTarget);
    doc = test::document(files);
  }

  const std::uint8_t *inventory() const { return test::bytes(doc).data(); }

  struct Read {
    int result;
    std::vector<std::uint8_t> output;
    std::size_t length;
    std::string digest;
  };

  // Reads into buffers filled with a marker, so what was written shows.
  Read read(const char *name, std::size_t capacity, std::size_t digest_capacity = 65,
            const char *version = "1.2.3") {
    Read r{0, std::vector<std::uint8_t>(capacity + 1, '#'), 12345, std::string(digest_capacity, '#')};
    r.result = vela_core_read_foreground_asset(kSource.c_str(), inventory(), doc.size(), version, name,
                                               r.output.data(), capacity, &r.length, r.digest.data(),
                                               digest_capacity);
    return r;
  }

  static bool untouched(const Read &r) {
    return std::ranges::all_of(r.output, [](auto c) { return c == '#'; }) && r.length == 12345 &&
           std::ranges::all_of(r.digest, [](char c) { return c == '#'; });
  }

  std::vector<test::File> files = test::runtime();
  std::string doc;
};

TEST_F(Exports, ReadForegroundAssetFillsTheCapacityExactly) {
  const std::string content = "app();\n";
  auto r = read("assets/app.js", content.size());
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(std::string(r.output.begin(), r.output.begin() + 7), content);
  EXPECT_EQ(r.output[7], '#') << "no terminator";
  EXPECT_EQ(r.length, content.size());
  EXPECT_EQ(std::string(r.digest.c_str()), sha256::hex(test::bytes(content)));
}

TEST_F(Exports, ReadForegroundAssetWritesNothingOnFailure) {
  struct Row {
    const char *name;
    Read r;
  };
  for (auto &[name, r] : std::vector<Row>{
           {"one byte short", read("assets/app.js", 6)},
           {"digest capacity 64", read("assets/app.js", 100, 64)},
           {"unlisted", read("missing.js", 100)},
           {"refused name", read("notes.txt", 100)},
           {"version differs", read("assets/app.js", 100, 65, "1.2.4")},
       }) {
    EXPECT_EQ(r.result, 1) << name;
    EXPECT_TRUE(untouched(r)) << name;
  }
  std::size_t length = 7;
  std::array<char, 65> digest{};
  std::array<std::uint8_t, 8> out{};
  EXPECT_EQ(vela_core_read_foreground_asset(kSource.c_str(), inventory(), doc.size(), "1.2.3", "assets/app.js",
                                            nullptr, 8, &length, digest.data(), 65),
            1);
  EXPECT_EQ(vela_core_read_foreground_asset(kSource.c_str(), inventory(), doc.size(), "1.2.3", "assets/app.js",
                                            out.data(), 8, nullptr, digest.data(), 65),
            1);
  EXPECT_EQ(vela_core_read_foreground_asset(kSource.c_str(), inventory(), doc.size(), "1.2.3", "assets/app.js",
                                            out.data(), 8, &length, nullptr, 65),
            1);
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(digest[0], '\0');
}

TEST_F(Exports, ReadForegroundAssetOfNoBytes) {
  auto r = read("empty.css", 0);
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.length, 0u);
  EXPECT_EQ(r.output[0], '#');
  EXPECT_EQ(std::string(r.digest.c_str()), sha256::hex({}));
}

TEST_F(Exports, Verify) {
  EXPECT_EQ(vela_core_verify_inventory(kSource.c_str(), inventory(), doc.size(), "1.2.3"), 0);
  EXPECT_EQ(vela_core_verify_foreground(kSource.c_str(), inventory(), doc.size(), "1.2.3"), 0);
  EXPECT_EQ(vela_core_verify_inventory(kSource.c_str(), inventory(), doc.size(), "1.2.4"), 1);
  EXPECT_EQ(vela_core_verify_inventory("private/source", inventory(), doc.size(), "1.2.3"), 1);
  EXPECT_EQ(vela_core_verify_inventory(kSource.c_str(), nullptr, 0, "1.2.3"), 1);
  EXPECT_EQ(vela_core_verify_inventory(nullptr, inventory(), doc.size(), "1.2.3"), 1);
  EXPECT_EQ(vela_core_verify_inventory(kSource.c_str(), inventory(), doc.size(), nullptr), 1);
  // The custody inventory need not list the foreground closure.
  std::erase_if(files, [](const test::File &f) { return f.path == "host/agent-runtime/package.json"; });
  doc = test::document(files);
  EXPECT_EQ(vela_core_verify_inventory(kSource.c_str(), inventory(), doc.size(), "1.2.3"), 0);
  EXPECT_EQ(vela_core_verify_foreground(kSource.c_str(), inventory(), doc.size(), "1.2.3"), 1);
}

TEST_F(Exports, CopiesRefuseAnotherVersionBeforeTouchingATree) {
  EXPECT_EQ(vela_core_copy_inventory(kSource.c_str(), kTarget.c_str(), inventory(), doc.size(), "1.2.4"), 1);
  EXPECT_EQ(vela_core_copy_foreground(kSource.c_str(), kTarget.c_str(), inventory(), doc.size(), "1.2.4"), 1);
  EXPECT_TRUE(fs::is_empty(kTarget));
}

TEST_F(Exports, CopyInventoryThenVerify) {
  ASSERT_EQ(vela_core_copy_inventory(kSource.c_str(), kTarget.c_str(), inventory(), doc.size(), "1.2.3"), 0);
  EXPECT_EQ(vela_core_verify_inventory(kTarget.c_str(), inventory(), doc.size(), "1.2.3"), 0);
  // A second copy into the same tree meets the files already there.
  EXPECT_EQ(vela_core_copy_inventory(kSource.c_str(), kTarget.c_str(), inventory(), doc.size(), "1.2.3"), 1);
}

TEST_F(Exports, CopyForegroundThenServe) {
  ASSERT_EQ(vela_core_copy_foreground(kSource.c_str(), kTarget.c_str(), inventory(), doc.size(), "1.2.3"), 0);
  EXPECT_EQ(vela_core_verify_foreground(kTarget.c_str(), inventory(), doc.size(), "1.2.3"), 0);
  EXPECT_EQ(test::mode_of(kTarget), 0755u);
  std::array<std::uint8_t, 64> out{};
  std::array<char, 65> digest{};
  std::size_t length = 0;
  EXPECT_EQ(vela_core_read_foreground_asset(kTarget.c_str(), inventory(), doc.size(), "1.2.3", "index.html",
                                            out.data(), out.size(), &length, digest.data(), digest.size()),
            0);
  EXPECT_EQ(length, files[14].content.size());
}

}  // namespace
}  // namespace vela
