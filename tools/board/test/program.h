// Running the statically linked tools as programs: this build's binary (under
// qemu-arm on the target build), with the descriptors, environment and
// working directory a test chooses, output collected in files, a time limit
// on every wait, and the whole process group killed at the end.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace boardtest
{

// A temporary directory removed with everything in it.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

struct Launch {
    Launch(std::string p, std::vector<std::string> a) : program(std::move(p)), args(std::move(a)) {}
    std::string program;                        // built binary
    std::vector<std::string> args;              // after argv[0]
    std::vector<std::string> set_env;           // NAME=value added or replaced
    std::vector<std::string> unset_env;         // names removed
    std::string cwd;                            // empty: ours
    int stdin_fd = -1;                          // -1: /dev/null
    std::vector<std::pair<int, int>> extra_fds; // {descriptor in the child, ours}
    std::vector<std::string> wrapper;           // runs before the program (e.g. strace ...)
    std::vector<std::string> emulator_options;  // for qemu on the target build (-strace)
};

// A started program; stdout and stderr go to files in dir.
class Program
{
  public:
    Program(const Launch &launch, const std::string &dir);
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    pid_t pid() const { return pid_; }
    std::string out() const;
    std::string err() const;
    // Waits until stdout (or stderr) holds text.
    bool wait_out(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    bool wait_err(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    // Waits for the end; true with the exit status in *status (-1 when
    // killed by a signal), false when it still runs after limit.
    bool wait_exit(int *status, std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool running();
    // Kills the process group and reaps the program.
    void stop();

  private:
    pid_t pid_ = -1;
    std::string out_path_, err_path_;
};

// The command prefix that runs a binary of this build (qemu on the target build).
std::vector<std::string> emulator();
bool on_target();

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds limit);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content, int mode = 0644);
// Writes all of data to a descriptor (a FIFO or pipe), retrying short writes.
void write_all(int fd, const void *data, size_t size);
// Reads exactly size octets within limit; false on time-out or end.
bool read_exact(int fd, void *data, size_t size, std::chrono::milliseconds limit);

// True while the process has a descriptor open on path.
bool holds_open(pid_t pid, const std::string &path);

// Output of a command of this machine (readelf, ...), or "" when it cannot run.
std::string command_output(const std::vector<std::string> &argv);
// Fails the test unless the binary has neither program interpreter nor needed library.
void expect_static(const std::string &binary);

} // namespace boardtest
