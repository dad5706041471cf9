#include "vboard/launch.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sock.h"

extern char **environ;

namespace vboard {

namespace {

using namespace std::chrono_literals;

std::vector<std::string> current_environment() {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  return env;
}

void set_env(std::vector<std::string> &env, const std::string &name, const std::string &value) {
  std::string prefix = name + "=";
  for (std::string &e : env) {
    if (e.compare(0, prefix.size(), prefix) == 0) {
      e = prefix + value;
      return;
    }
  }
  env.push_back(prefix + value);
}

const std::string *get_env(const std::vector<std::string> &env, const std::string &name) {
  std::string prefix = name + "=";
  for (const std::string &e : env) {
    if (e.compare(0, prefix.size(), prefix) == 0) return &e;
  }
  return nullptr;
}

std::vector<char *> c_strings(std::vector<std::string> &v) {
  std::vector<char *> p;
  for (std::string &s : v) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

std::string base_name(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int exec_failure_status(int e) { return e == ENOENT ? 127 : 126; }

[[noreturn]] void exec_or_die(std::vector<std::string> &argv, std::vector<std::string> &env) {
  std::vector<char *> a = c_strings(argv);
  std::vector<char *> e = c_strings(env);
  execvpe(a[0], a.data(), e.data());
  int err = errno;
  std::string msg = "vboard: cannot run " + argv[0] + ": " + strerror(err) + "\n";
  (void)!write(2, msg.data(), msg.size());
  _exit(exec_failure_status(err));
}

RunResult decode_status(int status) {
  RunResult r;
  if (WIFEXITED(status)) {
    r.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.signal = WTERMSIG(status);
  }
  return r;
}

bool reap(pid_t pid, std::chrono::milliseconds limit, int &status,
          const volatile sig_atomic_t *forward = nullptr) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  bool forwarded = false;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (forward != nullptr && *forward != 0 && !forwarded) {
      kill(pid, *forward);
      forwarded = true;
    }
    std::this_thread::sleep_for(5ms);
  }
}

}  // namespace

void board_command(const std::string &root, const Target &target, std::vector<std::string> &argv,
                   std::vector<std::string> &env) {
  env = current_environment();
  set_env(env, "VBOARD_ROOT", root);
  if (target.armel) argv.insert(argv.begin(), {target.qemu, "-L", target.sysroot});
  if (!argv.empty() && base_name(argv[0]).rfind("qemu-arm", 0) == 0) {
    argv.insert(argv.begin() + 1, {"-E", "LD_PRELOAD=" + target.armel_preload, "-E", "VBOARD_ROOT=" + root});
    return;
  }
  std::string preload;
  const std::string *old = get_env(env, "LD_PRELOAD");
  std::string existing = old != nullptr ? old->substr(strlen("LD_PRELOAD=")) : "";
  if (!target.asan_runtime.empty() && existing.find(target.asan_runtime) == std::string::npos) {
    preload = target.asan_runtime;
    // Programs that are not instrumented must not have their allocations
    // judged as leaks at exit.
    if (get_env(env, "ASAN_OPTIONS") == nullptr) set_env(env, "ASAN_OPTIONS", "detect_leaks=0");
  }
  if (!existing.empty()) preload += (preload.empty() ? "" : ":") + existing;
  preload += (preload.empty() ? "" : ":") + target.preload;
  set_env(env, "LD_PRELOAD", preload);
}

Board::Board(const std::string &root) {
  if (root.empty()) {
    // /dev/shm before /tmp: 32-bit programs (armel under qemu) cannot list
    // directories on disks whose directory offsets need 64 bits (EOVERFLOW).
    const char *tmp = getenv("TMPDIR");
    std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string templ = base + "/vboard-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp " + templ + ": " + strerror(errno));
    root_ = templ;
    owned_ = true;
  } else {
    char resolved[PATH_MAX];
    detail::make_parents(root + "/x");
    if (realpath(root.c_str(), resolved) == nullptr) throw std::runtime_error("board root " + root + ": " + strerror(errno));
    root_ = resolved;
  }
  for (const char *dir : {"/dev", "/sys", "/proc/sys/Can", "/.vboard/ctl", "/.vboard/modem/dev"}) {
    detail::make_parents(root_ + dir + "/x");
  }
}

Board::~Board() {
  stop_emulators();
  if (owned_) remove_tree(root_);
}

pid_t Board::start(const std::vector<std::string> &argv_in, std::chrono::milliseconds limit) {
  if (argv_in.empty()) throw std::runtime_error("no emulator given");
  std::vector<std::string> argv = argv_in;
  std::vector<std::string> env = current_environment();
  set_env(env, "VBOARD_ROOT", root_);
  // Emulators are not on the board: no preload library in them (a board
  // started from a program that runs on a board would hand its own down).
  if (const std::string *pre = get_env(env, "LD_PRELOAD")) {
    std::string kept;
    std::string list = pre->substr(strlen("LD_PRELOAD="));
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find_first_of(": ", start);
      if (end == std::string::npos) end = list.size();
      std::string item = list.substr(start, end - start);
      if (!item.empty() && base_name(item) != "libvboard_preload.so") kept += (kept.empty() ? "" : ":") + item;
      start = end + 1;
    }
    set_env(env, "LD_PRELOAD", kept);
  }
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + strerror(errno));
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    int w = fcntl(ready[1], F_DUPFD, 3);
    set_env(env, "VBOARD_READY_FD", std::to_string(w));
    exec_or_die(argv, env);
  }
  close(ready[1]);
  emulators_.push_back(pid);
  pollfd p{ready[0], POLLIN, 0};
  char c = 0;
  bool silent = poll(&p, 1, static_cast<int>(limit.count())) != 1;
  bool ok = !silent && read(ready[0], &c, 1) == 1 && c == 'R';
  close(ready[0]);
  if (!ok) {
    int status = 0;
    std::string why = "did not announce that it is ready within " + std::to_string(limit.count()) + " ms";
    // Without the announcement the pipe closes when the emulator ends.
    if (!silent && reap(pid, 3s, status)) {
      std::erase(emulators_, pid);
      RunResult r = decode_status(status);
      why = r.signal != 0 ? "was killed by signal " + std::to_string(r.signal)
                          : "exited with status " + std::to_string(r.exit_code);
    }
    throw std::runtime_error("emulator " + argv_in[0] + " " + why);
  }
  return pid;
}

void Board::stop_emulators() {
  for (pid_t pid : emulators_) kill(pid, SIGTERM);
  for (pid_t pid : emulators_) {
    int status;
    if (!reap(pid, 3s, status)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }
  emulators_.clear();
}

RunResult Board::run(std::vector<std::string> argv, const Target &target, std::chrono::milliseconds limit,
                     bool capture, const volatile sig_atomic_t *forward) const {
  if (argv.empty()) throw std::runtime_error("no program given");
  std::vector<std::string> env;
  board_command(root_, target, argv, env);
  return run_command(argv, env, limit, capture, forward);
}

RunResult run_command(std::vector<std::string> argv, std::vector<std::string> env, std::chrono::milliseconds limit,
                      bool capture, const volatile sig_atomic_t *forward) {
  if (argv.empty()) throw std::runtime_error("no program given");
  if (env.empty()) env = current_environment();
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (capture && (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)) {
    throw std::runtime_error(std::string("pipe: ") + strerror(errno));
  }
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    if (capture) {
      setpgid(0, 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
    }
    exec_or_die(argv, env);
  }
  if (capture) setpgid(pid, pid);
  auto deadline = std::chrono::steady_clock::now() + limit;
  RunResult result;
  bool killed = false;
  auto kill_all = [&] {
    if (!killed) kill(capture ? -pid : pid, SIGKILL);
    killed = true;
    result.timed_out = true;
  };
  if (capture) {
    close(out[1]);
    close(err[1]);
    std::vector<pollfd> fds{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sink[2] = {&result.out, &result.err};
    int open_pipes = 2;
    while (open_pipes > 0) {
      int wait_ms = -1;
      if (limit.count() > 0 && !killed) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        wait_ms = static_cast<int>(std::max<long long>(0, left.count()));
      }
      int n = poll(fds.data(), fds.size(), wait_ms);
      if (n < 0 && errno != EINTR) break;
      if (n == 0) {
        kill_all();  // descendants that keep the pipes open die with it
        continue;
      }
      for (size_t i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buf[4096];
        ssize_t r = read(fds[i].fd, buf, sizeof buf);
        if (r > 0) {
          sink[i]->append(buf, static_cast<size_t>(r));
        } else {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_pipes;
        }
      }
    }
    for (pollfd &p : fds) {
      if (p.fd >= 0) close(p.fd);
    }
  }
  int status = 0;
  for (;;) {
    auto left = limit.count() > 0 && !killed
                    ? std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    : std::chrono::milliseconds(24 * 3600 * 1000);
    if (reap(pid, std::max(left, 0ms), status, forward)) break;
    kill_all();
  }
  RunResult decoded = decode_status(status);
  result.exit_code = decoded.exit_code;
  result.signal = decoded.signal;
  if (capture && !killed) kill(-pid, SIGKILL);  // leftovers of the program's group
  return result;
}

namespace {
int remove_entry(const char *path, const struct stat *, int type, FTW *) {
  return type == FTW_DP ? rmdir(path) : unlink(path);
}
}  // namespace

void remove_tree(const std::string &path) {
  nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace vboard
