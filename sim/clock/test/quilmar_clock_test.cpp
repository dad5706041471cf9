#include "quilmar_clock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <thread>

#include <sys/time.h>
#include <unistd.h>

namespace
{

class VirtualClock : public ::testing::Test
{
  protected:
    void TearDown() override { quilmar_clock_disarm(); }
};

TEST_F(VirtualClock, FrozenClockAnswersEveryWallClockCall)
{
    ASSERT_EQ(0, quilmar_clock_arm(1000, 700000, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD));
    timeval tv{};
    ASSERT_EQ(0, gettimeofday(&tv, nullptr));
    EXPECT_EQ(1000, tv.tv_sec);
    EXPECT_EQ(700000, tv.tv_usec);
    timespec ts{};
    ASSERT_EQ(0, clock_gettime(CLOCK_REALTIME, &ts));
    EXPECT_EQ(1000, ts.tv_sec);
    EXPECT_EQ(700000000, ts.tv_nsec);
    EXPECT_EQ(1000, time(nullptr));
    // The monotonic clock is never virtual.
    ASSERT_EQ(0, clock_gettime(CLOCK_MONOTONIC, &ts));
    EXPECT_NE(1000, ts.tv_sec);
}

TEST_F(VirtualClock, OtherThreadsKeepTheRealClockUnlessProcessWide)
{
    const time_t real_now = time(nullptr);
    quilmar_clock_arm(1000, 0, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
    time_t seen = 0;
    std::thread([&] { seen = time(nullptr); }).join();
    EXPECT_GE(seen, real_now);

    quilmar_clock_arm(1000, 0, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_PROCESS);
    std::thread([&] { seen = time(nullptr); }).join();
    EXPECT_EQ(1000, seen);
}

TEST_F(VirtualClock, SetMovesTheVirtualClockAndIsRecorded)
{
    quilmar_clock_arm(1000, 700000, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
    const timeval next{1001, 200000};
    if (geteuid() != 0) {
        GTEST_SKIP() << "the virtual clock grants sets only to a caller with CAP_SYS_TIME";
    }
    ASSERT_EQ(0, settimeofday(&next, nullptr));
    int64_t count = 0, sec = 0, usec = 0;
    int err = -1;
    quilmar_clock_last_set(&count, &sec, &usec, &err);
    EXPECT_EQ(1, count);
    EXPECT_EQ(1001, sec);
    EXPECT_EQ(200000, usec);
    EXPECT_EQ(0, err);
    int64_t now_sec = 0;
    int32_t now_usec = 0;
    ASSERT_EQ(0, quilmar_clock_now(&now_sec, &now_usec));
    EXPECT_EQ(1001, now_sec);
    EXPECT_EQ(200000, now_usec);
}

TEST_F(VirtualClock, SetIsCheckedAsTheKernelChecksIt)
{
    quilmar_clock_arm(1000, 0, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
    const timeval too_many_usec{1001, 1500000};
    errno = 0;
    EXPECT_EQ(-1, settimeofday(&too_many_usec, nullptr));
    EXPECT_EQ(EINVAL, errno);
    const timeval negative_usec{1001, -1};
    EXPECT_EQ(-1, settimeofday(&negative_usec, nullptr));
    EXPECT_EQ(EINVAL, errno);
    int64_t sec = 0;
    int32_t usec = 0;
    quilmar_clock_now(&sec, &usec);
    EXPECT_EQ(1000, sec); // refused sets leave the clock alone
}

TEST_F(VirtualClock, InjectedFailuresHitOnlyTheirCall)
{
    quilmar_clock_arm(1000, 0, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
    ASSERT_EQ(0, quilmar_clock_fail("settimeofday", EPERM));
    ASSERT_EQ(0, quilmar_clock_fail("gettimeofday", EFAULT));
    EXPECT_EQ(-1, quilmar_clock_fail("adjtimex", EPERM));
    timeval tv{};
    EXPECT_EQ(-1, gettimeofday(&tv, nullptr));
    EXPECT_EQ(EFAULT, errno);
    const timeval next{1001, 0};
    EXPECT_EQ(-1, settimeofday(&next, nullptr));
    EXPECT_EQ(EPERM, errno);
    EXPECT_EQ(1000, time(nullptr));
    // Arming again clears them.
    quilmar_clock_arm(2000, 0, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
    EXPECT_EQ(0, gettimeofday(&tv, nullptr));
}

TEST_F(VirtualClock, SettingIsRefusedWhenNotArmedOrOutOfScope)
{
    const timeval next{1001, 0};
    errno = 0;
    EXPECT_EQ(-1, settimeofday(&next, nullptr));
    EXPECT_EQ(EPERM, errno);

    quilmar_clock_arm(1000, 0, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
    int res = 0, err = 0;
    std::thread([&] {
        res = settimeofday(&next, nullptr);
        err = errno;
    }).join();
    EXPECT_EQ(-1, res);
    EXPECT_EQ(EPERM, err);
}

TEST_F(VirtualClock, RunningClockAdvancesFromItsBase)
{
    quilmar_clock_arm(1000, 999000, QUILMAR_CLOCK_RUNNING, QUILMAR_CLOCK_THIS_THREAD);
    timeval first{}, second{};
    gettimeofday(&first, nullptr);
    timespec pause{0, 5000000};
    nanosleep(&pause, nullptr);
    gettimeofday(&second, nullptr);
    const long long a = first.tv_sec * 1000000LL + first.tv_usec;
    const long long b = second.tv_sec * 1000000LL + second.tv_usec;
    EXPECT_GE(a, 1000999000LL);
    EXPECT_GE(b - a, 5000);
    EXPECT_LT(b - a, 5000000); // an offset from the real clock, not a jump
}

} // namespace
