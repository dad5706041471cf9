// The tools' shared steps that need no bus: number texts at the edges give
// the same result on the host and the unit (32-bit long), and no opened
// device reaches a child program.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <string>

#include "can4linuxAdapter.h"
#include "cbtool.h"

namespace
{

TEST(CbTool, NumbersAreTheSameOnEveryBuild)
{
    struct Row {
        const char *text;
        bool ok;
        long value;
    } rows[] = {
        {"2147483647", true, 2147483647L},
        {"-2147483648", true, -2147483647L - 1},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999", false, 0},
        {"0x7fffffff", true, 0x7fffffffL},
        {"0x80000000", false, 0},
        {"010", true, 8},
        {"08", false, 0},
        {"", false, 0},
        {"12k", false, 0},
        {"18446744073709551616", false, 0},
    };
    for (const Row &r : rows) {
        long v = 0;
        EXPECT_EQ(number(r.text, v), r.ok) << r.text;
        EXPECT_EQ(v, r.value) << r.text;
    }
    int64_t wide = 0;
    EXPECT_TRUE(number("0xffffffff", 0, UINT32_MAX, wide));
    EXPECT_EQ(wide, 0xffffffffLL);
    EXPECT_FALSE(number("4294967296", 0, UINT32_MAX, wide));
}

// Whether a program started after the open still holds the descriptor.
bool child_sees(int fd)
{
    std::string probe = "test -e /proc/self/fd/" + std::to_string(fd);
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", probe.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << status;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(CbTool, OpenedDevicesStayOutOfChildren)
{
    struct Row {
        const char *who;
        int (*open)(const char *, int);
        bool inherited;
    } rows[] = {
        {"plain open (the probe's own check)", [](const char *p, int m) { return open(p, m); }, true},
        {"the tools' open_node", open_node, false},
        {"the library's CAN_openDevice", CAN_openDevice, false},
    };
    for (const Row &r : rows) {
        int fd = r.open("/dev/null", O_RDWR);
        ASSERT_GE(fd, 0) << r.who;
        EXPECT_EQ(child_sees(fd), r.inherited) << r.who;
        close(fd);
    }
}

} // namespace
