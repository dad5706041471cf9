// vboard: creates a virtual board, starts its emulators, runs a program on
// it and tears everything down; "vboard ctl" talks to a running emulator.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <limits.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "vboard/control.h"
#include "vboard/launch.h"

namespace {

// Exit statuses of vboard's own failures, as timeout(1) and env(1) use them.
constexpr int kTimedOut = 124;
constexpr int kFailed = 125;

const char kUsage[] =
    "Usage: vboard run [options] [--] PROGRAM [ARGS...]\n"
    "       vboard start [options]\n"
    "       vboard ctl [--root DIR] EMULATOR WORDS...\n"
    "\n"
    "  run    start a board and its emulators, run PROGRAM on it (its device and\n"
    "         attribute paths go to the board), tear the board down; the exit\n"
    "         status is the program's (124: time limit, 125: the board failed)\n"
    "  start  start a board and its emulators, print \"ready ROOT\" and keep them\n"
    "         running until interrupted or terminated\n"
    "  ctl    send WORDS to the control socket of a running emulator, print its\n"
    "         answer; the root defaults to $VBOARD_ROOT\n"
    "\n"
    "Options:\n"
    "  -r, --root DIR         board root (default: a new temporary directory,\n"
    "                         removed at the end)\n"
    "  -e, --emulator CMD     start an emulator: NAME runs vboard-NAME next to\n"
    "                         vboard, a path runs that program; words after the\n"
    "                         first are its arguments (repeatable)\n"
    "  -t, --timeout SECONDS  kill the program after this time (run)\n"
    "      --armel            PROGRAM is an armel binary: run it under qemu-arm\n"
    "      --sysroot DIR      qemu-arm's -L (default /usr/arm-linux-gnueabi)\n"
    "      --preload LIB      preload library for programs of this machine\n"
    "      --armel-preload LIB  preload library for armel programs\n"
    "  -h, --help             this text\n";

struct Config {
  std::string command;
  std::string root;
  std::vector<std::string> emulators;
  double timeout = 0;
  vboard::Target target;
  std::vector<std::string> argv;
};

std::string exe_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<size_t>(n));
  return p.substr(0, p.rfind('/'));
}

std::vector<std::string> split_words(const std::string &s) {
  std::istringstream in(s);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// Parses the command line; returns -1 to go on, else the exit status.
int parse(int argc, char **argv, Config &cfg) {
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  cfg.command = argv[1];
  if (cfg.command == "-h" || cfg.command == "--help") {
    std::cout << kUsage;
    return 0;
  }
  if (cfg.command != "run" && cfg.command != "start" && cfg.command != "ctl") {
    std::cerr << "vboard: unknown command \"" << cfg.command << "\"\n" << kUsage;
    return 2;
  }
  std::string dir = exe_dir();
  cfg.target.preload = dir + "/../lib/libvboard_preload.so";
  cfg.target.armel_preload = VBOARD_ARMEL_PRELOAD;
  cfg.target.asan_runtime = VBOARD_ASAN_RUNTIME;
  enum { kArmel = 256, kSysroot, kPreload, kArmelPreload };
  static const option options[] = {{"root", required_argument, nullptr, 'r'},
                                   {"emulator", required_argument, nullptr, 'e'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"armel", no_argument, nullptr, kArmel},
                                   {"sysroot", required_argument, nullptr, kSysroot},
                                   {"preload", required_argument, nullptr, kPreload},
                                   {"armel-preload", required_argument, nullptr, kArmelPreload},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  optind = 2;
  int c;
  // '+': options end at the program's name.
  while ((c = getopt_long(argc, argv, "+r:e:t:h", options, nullptr)) != -1) {
    switch (c) {
      case 'r': cfg.root = optarg; break;
      case 'e': cfg.emulators.push_back(optarg); break;
      case 't': {
        char *end;
        cfg.timeout = strtod(optarg, &end);
        if (*end != '\0' || cfg.timeout <= 0) {
          std::cerr << "vboard: bad time limit \"" << optarg << "\"\n";
          return 2;
        }
        break;
      }
      case kArmel: cfg.target.armel = true; break;
      case kSysroot: cfg.target.sysroot = optarg; break;
      case kPreload: cfg.target.preload = optarg; break;
      case kArmelPreload: cfg.target.armel_preload = optarg; break;
      case 'h': std::cout << kUsage; return 0;
      default: std::cerr << kUsage; return 2;
    }
  }
  cfg.argv.assign(argv + optind, argv + argc);
  if (cfg.command == "run" && cfg.argv.empty()) {
    std::cerr << "vboard: no program to run\n" << kUsage;
    return 2;
  }
  if (cfg.command == "ctl") {
    if (cfg.root.empty() && getenv("VBOARD_ROOT") != nullptr) cfg.root = getenv("VBOARD_ROOT");
    if (cfg.root.empty()) {
      std::cerr << "vboard: ctl needs --root or VBOARD_ROOT\n";
      return 2;
    }
    if (cfg.argv.empty()) {
      std::cerr << "vboard: ctl needs an emulator name\n" << kUsage;
      return 2;
    }
  }
  if (cfg.command == "start" && !cfg.argv.empty()) {
    std::cerr << "vboard: start takes no program\n";
    return 2;
  }
  return -1;
}

volatile sig_atomic_t g_signal = 0;
void note_signal(int sig) { g_signal = sig; }

int control(const Config &cfg) {
  std::vector<std::string> words(cfg.argv.begin() + 1, cfg.argv.end());
  vboard::ControlReply r = vboard::control_request(cfg.root, cfg.argv[0], words);
  (r.status == 0 ? std::cout : std::cerr) << r.text;
  if (!r.text.empty() && r.text.back() != '\n') (r.status == 0 ? std::cout : std::cerr) << '\n';
  return r.status;
}

int board(const Config &cfg) {
  // Interrupts end the program (or the wait) but let us tear the board down.
  struct sigaction sa {};
  sa.sa_handler = note_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  try {
    vboard::Board b(cfg.root);
    for (const std::string &e : cfg.emulators) {
      std::vector<std::string> words = split_words(e);
      if (words.empty()) continue;
      if (words[0].find('/') == std::string::npos) {
        std::string local = exe_dir() + "/vboard-" + words[0];
        if (access(local.c_str(), X_OK) == 0) words[0] = local;
      }
      b.start(words);
      if (g_signal != 0) return 128 + g_signal;
    }
    if (cfg.command == "start") {
      std::cout << "ready " << b.root() << std::endl;
      while (g_signal == 0) pause();
      return 0;
    }
    auto limit = std::chrono::milliseconds(static_cast<long long>(cfg.timeout * 1000));
    vboard::RunResult r = b.run(cfg.argv, cfg.target, limit, false, &g_signal);
    if (r.timed_out) {
      std::cerr << "vboard: " << cfg.argv[0] << " killed after the time limit of " << cfg.timeout << " s\n";
      return kTimedOut;
    }
    return r.shell_status();
  } catch (const std::exception &e) {
    std::cerr << "vboard: " << e.what() << "\n";
    return kFailed;
  }
}

}  // namespace

int main(int argc, char **argv) {
  Config cfg;
  int status = parse(argc, argv, cfg);
  if (status >= 0) return status;
  if (cfg.command == "ctl") return control(cfg);
  return board(cfg);
}
