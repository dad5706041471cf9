// Controller names of the status line and the device commands on a
// descriptor that is no CAN device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "can4linuxAdapter.h"
#include "getstat.h"

TEST(Status, ControllerNames)
{
    EXPECT_STREQ(CAN_controllerName(1), "sja1000");
    EXPECT_STREQ(CAN_controllerName(2), "FlexCan");
    EXPECT_STREQ(CAN_controllerName(3), "TouCAN");
    EXPECT_STREQ(CAN_controllerName(4), "I82527");
    EXPECT_STREQ(CAN_controllerName(5), "TwinCAN");
    EXPECT_STREQ(CAN_controllerName(0), "unknown");
    EXPECT_STREQ(CAN_controllerName(6), "unknown");
}

TEST(Status, RequestOnANonDeviceReportsTheProblem)
{
    int fd = open("/dev/null", O_RDWR);
    ASSERT_GE(fd, 0);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    showCANStat(fd);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("CAN device problem: ", 0), 0u);
    // Results of the bit rate sequence are ignored; a failing command is -1.
    EXPECT_EQ(set_bitrate(fd, 500), 0);
    EXPECT_EQ(CAN_command(fd, CMD_RESET), -1);
    close(fd);
}
