// Path redirection of the preload library, seen from a program on a board.
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstring>

extern char **environ;

#include "helpers.h"

using vboard::testing::TestBoard;
using vboard_test::probe;
using vboard_test::read_file;
using vboard_test::write_file;

namespace {

TEST(PathRedirection, OpenAndStdioCallsReachTheBoard) {
  TestBoard b;
  write_file(b.root() + "/dev/vbtest-file", "board file");
  mkdir((b.root() + "/sys/class").c_str(), 0755);
  mkdir((b.root() + "/sys/class/vbtest").c_str(), 0755);
  write_file(b.root() + "/sys/class/vbtest/value", "42\n");
  write_file(b.root() + "/proc/sys/Can/baud", "125\n");
  EXPECT_EQ(probe(b, {"cat /dev/vbtest-file", "openat /dev//./vbtest-file", "fcat /sys/class/vbtest/value",
                      "fwrite /sys/class/vbtest/value 7", "fcat /proc/sys/Can/baud", "creat /dev/vbtest-new",
                      "cat /dev/vbtest-missing"}),
            "cat board file\nopenat board file\nfcat 42\nfwrite ok\nfcat 125\ncreat ok\ncat ENOENT\n");
  EXPECT_EQ(read_file(b.root() + "/sys/class/vbtest/value"), "7");
  EXPECT_EQ(access((b.root() + "/dev/vbtest-new").c_str(), F_OK), 0);
  EXPECT_NE(access("/dev/vbtest-new", F_OK), 0);  // the host's /dev is untouched
}

TEST(PathRedirection, StatAccessAndDirectoryCalls) {
  TestBoard b;
  write_file(b.root() + "/dev/vbtest-file", "x");
  mkdir((b.root() + "/dev/gpio").c_str(), 0755);
  write_file(b.root() + "/dev/gpio/in0", "");
  write_file(b.root() + "/dev/gpio/out0", "");
  ASSERT_EQ(symlink("vbtest-file", (b.root() + "/dev/vbtest-link").c_str()), 0);
  EXPECT_EQ(probe(b, {"stat /dev/vbtest-file", "lstat /dev/vbtest-link", "stat /dev/vbtest-link",
                      "fstatat /dev/gpio", "statx /dev/gpio/in0", "access /dev/gpio/out0", "access /dev/gpio/out9",
                      "ls /dev/gpio", "readlink /dev/vbtest-link", "realpath /dev/gpio/../vbtest-link",
                      "mkdir /dev/vbtest-dir", "rmdir /dev/vbtest-dir", "symlink gpio /dev/vbtest-l2",
                      "rename /dev/vbtest-l2 /dev/vbtest-l3", "chmod /dev/vbtest-file 600",
                      "unlink /dev/vbtest-l3", "ls /dev/gpio/../"}),
            "stat reg\nlstat lnk\nstat reg\nfstatat dir\nstatx reg\naccess ok\naccess ENOENT\nls in0 out0\n"
            "readlink vbtest-file\nrealpath /dev/vbtest-file\nmkdir ok\nrmdir ok\nsymlink ok\nrename ok\n"
            "chmod ok\nunlink ok\nls gpio vbtest-file vbtest-link\n");
  struct stat st;
  ASSERT_EQ(stat((b.root() + "/dev/vbtest-file").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(PathRedirection, WorkingDirectoryInsideTheBoard) {
  TestBoard b;
  write_file(b.root() + "/dev/vbtest-file", "relative");
  EXPECT_EQ(probe(b, {"chdir /dev", "getcwd", "cat vbtest-file", "chdir /", "getcwd"}),
            "chdir ok\ngetcwd /dev\ncat relative\nchdir ok\ngetcwd /\n");
}

// Host plumbing that every process and the JVM need stays the host's.
TEST(PathRedirection, HostDevicesPassThrough) {
  TestBoard b;
  EXPECT_EQ(probe(b, {"stat /dev/null", "cat /dev/null", "access /dev/urandom", "stat /dev/pts", "stat /dev/shm",
                      "stat /sys/devices/system/cpu", "stat /sys/fs", "stat /proc/self/exe", "stat /dev/../etc/passwd",
                      "stat /dev/zero/../vbtest", "stat /devices", "stat /sys/class"}),
            "stat chr\ncat \naccess ok\nstat dir\nstat dir\nstat dir\nstat dir\nstat reg\nstat reg\n"
            "stat ENOENT\nstat ENOENT\nstat ENOENT\n");
}

TEST(PathRedirection, NothingChangesWithoutABoardRoot) {
  TestBoard b;  // a board exists, but the program is not told about it
  vboard::Target t = vboard::testing::this_target();
  std::vector<std::string> argv{vboard::testing::program_dir() + "/vboard-probe", "stat /dev/null",
                                "stat /sys/class", "ls /proc/sys/Can"};
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "VBOARD_ROOT=", 12) != 0 && strncmp(*e, "LD_PRELOAD=", 11) != 0) env.emplace_back(*e);
  }
  if (t.armel) {
    argv.insert(argv.begin(), {t.qemu, "-L", t.sysroot, "-E", "LD_PRELOAD=" + t.armel_preload});
  } else {
    env.push_back("LD_PRELOAD=" + (t.asan_runtime.empty() ? "" : t.asan_runtime + ":") + t.preload);
  }
  vboard::RunResult r = vboard::run_command(argv, env, std::chrono::seconds(30), true);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // The host's /sys/class exists; the host has no CAN driver.
  EXPECT_EQ(r.out, "stat chr\nstat dir\nls ENOENT\n");
}

TEST(PathRedirection, SocketNodeWithoutEmulatorIsADeviceWithoutDriver) {
  TestBoard b;
  std::string node = b.root() + "/dev/vbtest-dead";
  int s = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, node.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  close(s);  // bound, never listening: nobody answers
  EXPECT_EQ(probe(b, {"stat /dev/vbtest-dead", "open /dev/vbtest-dead rw", "fcat /dev/vbtest-dead"}),
            "stat chr\nopen ENXIO\nfcat ENXIO\n");
}

}  // namespace
