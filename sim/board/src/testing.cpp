#include "vboard/testing.h"

namespace vboard::testing {

std::string program_dir() { return VBOARD_PROGRAM_DIR; }
std::string host_program_dir() { return VBOARD_HOST_PROGRAM_DIR; }

bool on_target() {
#if defined(__arm__)
  return true;
#else
  return false;
#endif
}

Target this_target() {
  Target t;
  t.preload = VBOARD_HOST_PRELOAD;
  t.armel_preload = VBOARD_ARMEL_PRELOAD;
  t.asan_runtime = VBOARD_ASAN_RUNTIME;
  t.armel = on_target();
  return t;
}

void TestBoard::emulator(const std::string &name, const std::vector<std::string> &args) {
  std::vector<std::string> argv{name.find('/') == std::string::npos ? host_program_dir() + "/vboard-" + name : name};
  argv.insert(argv.end(), args.begin(), args.end());
  start(argv);
}

RunResult TestBoard::run(const std::vector<std::string> &argv, std::chrono::milliseconds limit) const {
  std::vector<std::string> a = argv;
  if (!a.empty() && a[0].find('/') == std::string::npos) a[0] = program_dir() + "/" + a[0];
  return Board::run(a, this_target(), limit, true);
}

RunResult TestBoard::run_host(const std::vector<std::string> &argv, std::chrono::milliseconds limit) const {
  Target t = this_target();
  t.armel = false;
  return Board::run(argv, t, limit, true);
}

ControlReply TestBoard::ctl(const std::string &emulator, const std::vector<std::string> &words) const {
  return control_request(root(), emulator, words);
}

}  // namespace vboard::testing
