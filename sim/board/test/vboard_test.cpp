// The vboard command as people and scripts use it.
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "helpers.h"

namespace {

using vboard::testing::host_program_dir;
using vboard::testing::program_dir;

// vboard (always this machine's) with options that run this build's programs.
vboard::RunResult vboard_cmd(std::vector<std::string> args) {
  std::vector<std::string> argv{host_program_dir() + "/vboard"};
  if (!args.empty() && args[0] == "run" && vboard::testing::on_target()) {
    args.insert(args.begin() + 1, {"--armel", "--armel-preload", vboard::testing::this_target().armel_preload});
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return vboard::run_command(argv, {}, std::chrono::seconds(60), true);
}

TEST(VboardCommand, RunsAProgramOnABoardWithEmulators) {
  vboard::RunResult r = vboard_cmd({"run", "-e", "testdev", "--", program_dir() + "/vboard-probe",
                                    "open /dev/testdev rwn", "write x", "read 1", "ctl testdev written"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "open ok\nwrite 1\nread 1 x\nctl 0 x\n");
}

TEST(VboardCommand, ExitStatusIsTheProgramsAndTheBoardIsRemoved) {
  vboard::RunResult r =
      vboard::run_command({host_program_dir() + "/vboard", "run", "--", "sh", "-c", "echo $VBOARD_ROOT; exit 3"}, {},
                          std::chrono::seconds(30), true);
  EXPECT_EQ(r.exit_code, 3);
  ASSERT_NE(r.out.find("/vboard-"), std::string::npos) << r.out;
  std::string root = r.out.substr(0, r.out.size() - 1);
  EXPECT_NE(access(root.c_str(), F_OK), 0) << root << " left behind";
}

TEST(VboardCommand, TimeLimitKillsTheProgram) {
  vboard::RunResult r = vboard::run_command({host_program_dir() + "/vboard", "run", "-t", "0.3", "--", "sleep", "20"},
                                            {}, std::chrono::seconds(30), true);
  EXPECT_EQ(r.exit_code, 124);
  EXPECT_EQ(r.err, "vboard: sleep killed after the time limit of 0.3 s\n");
}

TEST(VboardCommand, ReportsAnEmulatorThatDoesNotStart) {
  vboard::RunResult r = vboard::run_command(
      {host_program_dir() + "/vboard", "run", "-e", "vbtest-nosuch", "--", "true"}, {}, std::chrono::seconds(30), true);
  EXPECT_EQ(r.exit_code, 125);
  EXPECT_EQ(r.err,
            "vboard: cannot run vbtest-nosuch: No such file or directory\n"
            "vboard: emulator vbtest-nosuch exited with status 127\n");
}

TEST(VboardCommand, UsageErrors) {
  auto run = [](std::vector<std::string> a) {
    a.insert(a.begin(), host_program_dir() + "/vboard");
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
      if (strncmp(*e, "VBOARD_ROOT=", 12) != 0) env.emplace_back(*e);
    }
    return vboard::run_command(a, env, std::chrono::seconds(30), true);
  };
  vboard::RunResult r = run({"run"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.rfind("vboard: no program to run\nUsage: vboard run", 0), 0u) << r.err;
  r = run({"ctl", "rtc", "show"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "vboard: ctl needs --root or VBOARD_ROOT\n");
  r = run({"fly"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.rfind("vboard: unknown command \"fly\"\n", 0), 0u);
  r = run({"run", "-t", "soon", "--", "true"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "vboard: bad time limit \"soon\"\n");
}

// "vboard start" keeps a board up for other commands; "vboard ctl" talks to
// its emulators; SIGTERM tears it down.
TEST(VboardCommand, StartCtlAndTeardown) {
  vboard::Board scratch;  // only for a fresh directory name
  std::string root = scratch.root() + "/board";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    execl((host_program_dir() + "/vboard").c_str(), "vboard", "start", "-r", root.c_str(), "-e", "testdev",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  EXPECT_EQ(line, "ready " + root);

  vboard::RunResult r = vboard::run_command({host_program_dir() + "/vboard", "ctl", "-r", root, "testdev", "opens"}, {},
                                            std::chrono::seconds(30), true);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "0 0\n");
  r = vboard::run_command({host_program_dir() + "/vboard", "ctl", "-r", root, "testdev", "bogus"}, {},
                          std::chrono::seconds(30), true);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "unknown request\n");
  r = vboard::run_command({host_program_dir() + "/vboard", "ctl", "-r", root, "vbtest-none", "x"}, {},
                          std::chrono::seconds(30), true);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "no emulator \"vbtest-none\" on the board at " + root + " (No such file or directory)\n");

  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(access((root + "/dev/testdev").c_str(), F_OK), 0);  // the emulator removed its node
  EXPECT_NE(access((root + "/.vboard/ctl/testdev").c_str(), F_OK), 0);
}

}  // namespace
