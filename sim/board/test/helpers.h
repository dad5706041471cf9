// Shared by the core's tests: the probe program's steps run on a board.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "vboard/testing.h"

namespace vboard_test {

// Runs vboard-probe with the steps on the board; its output, or a failure.
inline std::string probe(const vboard::testing::TestBoard &board, const std::vector<std::string> &steps) {
  std::vector<std::string> argv{"vboard-probe"};
  argv.insert(argv.end(), steps.begin(), steps.end());
  vboard::RunResult r = board.run(argv, std::chrono::seconds(60));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(r.timed_out);
  return r.out;
}

inline void write_file(const std::string &path, const std::string &text) {
  std::ofstream(path) << text;
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace vboard_test
