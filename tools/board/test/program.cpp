#include "program.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace boardtest
{

namespace
{

std::vector<char *> c_strings(std::vector<std::string> &v)
{
    std::vector<char *> p;
    for (auto &s : v) {
        p.push_back(s.data());
    }
    p.push_back(nullptr);
    return p;
}

// The program's process group (its own, from the spawn). Never a pid that
// would turn the call into "every process" or "our own group".
// Called while the leader is still there (running or a zombie).
void kill_group(pid_t pid)
{
    if (pid > 1 && getpgid(pid) == pid) {
        kill(-pid, SIGKILL);
    }
}

// True when the program has ended; it is left as a zombie, so its process
// group can still be named. The exit status goes to *ws.
bool ended(pid_t pid, int *ws)
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != pid) {
        return false;
    }
    kill_group(pid);
    while (waitpid(pid, ws, 0) < 0 && errno == EINTR) {
    }
    return true;
}

bool same_name(const std::string &entry, const std::string &name)
{
    return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
           entry[name.size()] == '=';
}

} // namespace

TempDir::TempDir()
{
    // /dev/shm: 32-bit programs under qemu cannot list directories of disks
    // with 64-bit directory offsets.
    std::string base =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/boardtest-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> emulator()
{
    std::vector<std::string> argv;
    std::istringstream words(BOARDTEST_EMULATOR);
    for (std::string w; words >> w;) {
        argv.push_back(w);
    }
    return argv;
}

bool on_target()
{
    return !emulator().empty();
}

Program::Program(const Launch &launch, const std::string &dir)
{
    static int serial = 0;
    const std::string tag = std::to_string(getpid()) + "-" + std::to_string(++serial);
    out_path_ = dir + "/.out-" + tag;
    err_path_ = dir + "/.err-" + tag;

    std::vector<std::string> argv = launch.wrapper;
    for (auto &w : emulator()) {
        argv.push_back(w);
    }
    if (on_target()) {
        argv.insert(argv.end(), launch.emulator_options.begin(), launch.emulator_options.end());
    }
    argv.push_back(launch.program);
    argv.insert(argv.end(), launch.args.begin(), launch.args.end());

    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool drop = false;
        for (const auto &n : launch.unset_env) {
            drop = drop || same_name(entry, n);
        }
        for (const auto &s : launch.set_env) {
            drop = drop || same_name(entry, s.substr(0, s.find('=')));
        }
        if (!drop) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), launch.set_env.begin(), launch.set_env.end());

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (launch.stdin_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, launch.stdin_fd, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<int> copies; // so that no descriptor is its own target
    for (const auto &[child, ours] : launch.extra_fds) {
        copies.push_back(fcntl(ours, F_DUPFD_CLOEXEC, 100));
        posix_spawn_file_actions_adddup2(&actions, copies.back(), child);
    }
    if (!launch.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, launch.cwd.c_str());
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);

    // The program (or qemu, or the wrapper) is found on our PATH, whatever
    // the program itself is given.
    auto a = c_strings(argv);
    auto e = c_strings(env);
    const int rc = posix_spawnp(&pid_, a[0], &actions, &attr, a.data(), e.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    for (int c : copies) {
        close(c);
    }
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(rc));
    }
}

Program::~Program()
{
    stop();
}

std::string Program::out() const
{
    return read_file(out_path_);
}

std::string Program::err() const
{
    return read_file(err_path_);
}

bool Program::wait_out(const std::string &text, std::chrono::milliseconds limit) const
{
    return wait_until([&] { return out().find(text) != std::string::npos; }, limit);
}

bool Program::wait_err(const std::string &text, std::chrono::milliseconds limit) const
{
    return wait_until([&] { return err().find(text) != std::string::npos; }, limit);
}

bool Program::wait_exit(int *status, std::chrono::milliseconds limit)
{
    if (pid_ < 0) {
        return false;
    }
    int ws = 0;
    const bool done = wait_until([&] { return ended(pid_, &ws); }, limit);
    if (done) {
        *status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
        pid_ = -1;
    }
    return done;
}

bool Program::running()
{
    int ws;
    if (pid_ <= 0) {
        return false;
    }
    if (ended(pid_, &ws)) {
        pid_ = -1;
        return false;
    }
    return true;
}

void Program::stop()
{
    if (pid_ > 0) {
        kill_group(pid_);
        int ws;
        while (waitpid(pid_, &ws, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
}

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &content, int mode)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) {
            throw std::runtime_error("cannot write " + path);
        }
    }
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

void write_all(int fd, const void *data, size_t size)
{
    const auto *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error(std::string("write failed: ") + strerror(errno));
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
}

bool read_exact(int fd, void *data, size_t size, std::chrono::milliseconds limit)
{
    auto *p = static_cast<unsigned char *>(data);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (size > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        const ssize_t n = read(fd, p, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool holds_open(pid_t pid, const std::string &path)
{
    std::error_code ec;
    for (const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == path) {
            return true;
        }
    }
    return false;
}

std::string command_output(const std::vector<std::string> &argv)
{
    int p[2];
    if (pipe(p) != 0) {
        return "";
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, p[1], 1);
    posix_spawn_file_actions_adddup2(&actions, p[1], 2);
    posix_spawn_file_actions_addclose(&actions, p[0]);
    std::vector<std::string> args = argv;
    auto a = c_strings(args);
    pid_t pid;
    const int rc = posix_spawnp(&pid, a[0], &actions, nullptr, a.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(p[1]);
    std::string out;
    if (rc == 0) {
        char buf[4096];
        for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) {
            out.append(buf, static_cast<size_t>(n));
        }
        int ws;
        waitpid(pid, &ws, 0);
    }
    close(p[0]);
    return out;
}

void expect_static(const std::string &binary)
{
    if (!BOARDTEST_STATIC) {
        GTEST_SKIP() << "the sanitizer build links its programs dynamically";
    }
    const std::string headers = command_output({"readelf", "-l", "-d", binary});
    ASSERT_NE(headers.find("Program Headers"), std::string::npos) << headers;
    EXPECT_EQ(headers.find("INTERP"), std::string::npos) << binary << " asks for a program interpreter";
    // A static position-independent program keeps a dynamic section to
    // relocate itself, but needs no library.
    EXPECT_EQ(headers.find("(NEEDED)"), std::string::npos) << binary << " needs a shared library";
}

} // namespace boardtest
