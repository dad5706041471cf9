// Running the tools and the simulator as programs: spawn under a time limit,
// collect output and status, clean up what a test leaves behind.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct RunResult {
    bool exited = false; // ended by exit (status valid)
    int status = -1;     // exit status
    int signal = 0;      // terminating signal
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Prefix that runs a program of this build (an emulator on the cross build).
std::vector<std::string> target_command(const char *program);

// Runs the command to completion (killed after `limit`), capturing both outputs.
RunResult run_command(const std::vector<std::string> &argv,
                      std::chrono::milliseconds limit = std::chrono::seconds(30));

// A process that runs in the background; killed and reaped on destruction.
class Child
{
  public:
    Child() = default;
    Child(const std::vector<std::string> &argv, const std::string &out_file, const std::string &err_file);
    Child(Child &&other) noexcept;
    Child &operator=(Child &&other) noexcept;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child();

    pid_t pid() const { return pid_; }
    // Waits for the end (at most `limit`); false when it is still running.
    bool wait(std::chrono::milliseconds limit, int *wait_status);
    void stop();

  private:
    pid_t pid_ = -1;
};

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

// Polls `condition` until it holds or `limit` passes.
bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds limit);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
