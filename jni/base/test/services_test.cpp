// The cores of the time adjustment, the permission services and the text
// sanitiser.
#include "base_internal.h"
#include "fileSystem.h"
#include "kernelTime.h"
#include "quilmar_clock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fake_supplicant.h"

namespace
{

struct Step {
    kernel_time_value before;
    int32_t sec, usec;
    kernel_time_value after;
    kernel_time_step step;
};

TEST(KernelTime, AddsThenNormalisesExactlyOnce)
{
    const Step cases[] = {
        {{1000, 700000}, 0, 500000, {1001, 200000}, kernel_time_step::carry},
        {{1000, 300000}, 0, -800000, {999, 500000}, kernel_time_step::borrow},
        {{1000, 300000}, 5, 0, {1005, 300000}, kernel_time_step::none},
        {{1000, 0}, 0, 999999, {1000, 999999}, kernel_time_step::none},
        {{1000, 0}, 0, 1000000, {1001, 0}, kernel_time_step::carry},
        // One step only: what is still out of range goes to the kernel.
        {{1000, 0}, 0, 2500000, {1001, 1500000}, kernel_time_step::carry},
        {{1000, 0}, 0, -2500000, {999, -1500000}, kernel_time_step::borrow},
        // 32-bit signed arithmetic wraps as on the target.
        {{INT32_MAX, 999999}, 0, 1, {INT32_MIN, 0}, kernel_time_step::carry},
        {{1000, 0}, INT32_MAX, 0, {static_cast<int32_t>(1000u + INT32_MAX), 0}, kernel_time_step::none},
    };
    for (const Step &c : cases) {
        kernel_time_value t = c.before;
        EXPECT_EQ(c.step, kernel_time_apply(t, c.sec, c.usec)) << c.before.sec << " " << c.usec;
        EXPECT_EQ(c.after.sec, t.sec);
        EXPECT_EQ(c.after.usec, t.usec);
    }
}

TEST(FileSystem, PermissionBitsByAccessCode)
{
    EXPECT_EQ(0400u, fs_permission_bits(FS_ACCESS_READ, true));
    EXPECT_EQ(0444u, fs_permission_bits(FS_ACCESS_READ, false));
    EXPECT_EQ(0200u, fs_permission_bits(FS_ACCESS_WRITE, true));
    EXPECT_EQ(0222u, fs_permission_bits(FS_ACCESS_WRITE, false));
    EXPECT_EQ(0100u, fs_permission_bits(FS_ACCESS_EXECUTE, true));
    EXPECT_EQ(0111u, fs_permission_bits(FS_ACCESS_EXECUTE, false));
    for (int code : {0, 3, 5, 6, 7, 8, -1}) {
        EXPECT_EQ(0u, fs_permission_bits(code, false)) << code;
    }
}

mode_t mode_of(const std::string &path)
{
    struct stat st {
    };
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(FileSystem, SetPermissionAddsOrRemovesOnlyItsBits)
{
    TempDir dir;
    const std::string f = dir.path("f");
    close(open(f.c_str(), O_CREAT | O_WRONLY, 0600));
    struct Case {
        mode_t before;
        int access;
        bool enable, owner_only;
        mode_t after;
    } cases[] = {{0644, FS_ACCESS_WRITE, false, false, 0444},
                 {0600, FS_ACCESS_READ, true, false, 0644},
                 {0755, FS_ACCESS_EXECUTE, false, true, 0655},
                 {04755, FS_ACCESS_WRITE, false, true, 04555}};
    for (const Case &c : cases) {
        chmod(f.c_str(), c.before);
        EXPECT_TRUE(fs_set_permission(f.c_str(), c.access, c.enable, c.owner_only));
        EXPECT_EQ(c.after, mode_of(f)) << std::oct << c.before;
    }
    mode_t mode = 0;
    EXPECT_EQ(1, statMode(f.c_str(), &mode));
    EXPECT_TRUE(S_ISREG(mode));
    EXPECT_EQ(0, statMode(dir.path("missing").c_str(), &mode));
    EXPECT_FALSE(fs_set_permission(dir.path("missing").c_str(), FS_ACCESS_READ, true, false));
}

// Root passes every read and write test, so the access checks run in a
// child that has given up root for "nobody" (when the test runs as root).
TEST(FileSystem, CheckAccessJudgesTheRealUser)
{
    TempDir dir;
    const std::string f = dir.path("f");
    close(open(f.c_str(), O_CREAT | O_WRONLY, 0600));
    chmod(dir.dir().c_str(), 0755);
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nullptr, nobody);
    if (geteuid() == 0) {
        ASSERT_EQ(0, chown(f.c_str(), nobody->pw_uid, nobody->pw_gid));
    }
    struct Case {
        mode_t mode;
        int access;
        bool expected;
    } cases[] = {{0400, FS_ACCESS_READ, true},    {0200, FS_ACCESS_READ, false},
                 {0200, FS_ACCESS_WRITE, true},   {0400, FS_ACCESS_WRITE, false},
                 {0500, FS_ACCESS_EXECUTE, true}, {0600, FS_ACCESS_EXECUTE, false},
                 {0000, FS_ACCESS_READ, false}};
    for (const Case &c : cases) {
        chmod(f.c_str(), c.mode);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (geteuid() == 0 && (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) {
                _exit(3);
            }
            _exit(fs_check_access(f.c_str(), c.access) ? 1 : 0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(c.expected ? 1 : 0, WEXITSTATUS(status)) << std::oct << c.mode << " access " << c.access;
    }
    EXPECT_FALSE(fs_check_access(dir.path("missing").c_str(), FS_ACCESS_READ));
}

std::string sanitized(std::string s)
{
    base_sanitize_utf(s.data(), s.size());
    return s;
}

TEST(Sanitize, KeepsWellFormedModifiedUtf8AndReplacesTheRest)
{
    EXPECT_EQ("wpa_state=COMPLETED\nssid=Caf\xc3\xa9", sanitized("wpa_state=COMPLETED\nssid=Caf\xc3\xa9"));
    EXPECT_EQ("\xe2\x82\xac and \xc0\x80", sanitized("\xe2\x82\xac and \xc0\x80"));
    EXPECT_EQ("?x", sanitized("\x80x"));              // stray continuation
    EXPECT_EQ("?", sanitized("\xc3"));                // cut at the end
    EXPECT_EQ("??x", sanitized("\xe2\x82x"));         // three-byte form cut short
    EXPECT_EQ("????", sanitized("\xf0\x9f\x98\x80")); // four-byte forms do not exist
    EXPECT_EQ("?\xc3\xa9", sanitized("\xff\xc3\xa9"));
}

} // namespace

namespace
{

// The adjustment reads and sets the clock through the virtual clock this
// binary is linked with: the machine's clock is never touched.
class Adjust : public ::testing::Test
{
  protected:
    void SetUp() override { debug_ = open_memstream(&text_, &size_); }
    void TearDown() override
    {
        quilmar_clock_disarm();
        std::fclose(debug_);
        std::free(text_);
    }
    std::string debug_text()
    {
        std::fflush(debug_);
        return std::string(text_, size_);
    }
    static std::pair<int64_t, int64_t> last_set()
    {
        int64_t count = 0, sec = 0, usec = 0;
        int err = 0;
        quilmar_clock_last_set(&count, &sec, &usec, &err);
        return {sec, usec};
    }

    FILE *debug_ = nullptr;
    char *text_ = nullptr;
    size_t size_ = 0;
};

TEST_F(Adjust, CarryBorrowAndPlainStepsPrintTheirLines)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "the virtual clock grants sets only to a caller with CAP_SYS_TIME";
    }
    quilmar_clock_arm(1000, 700000, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
    kernel_time_result r = kernel_time_adjust(0, 500000, debug_);
    EXPECT_FALSE(r.read_failed);
    EXPECT_EQ(0, r.set_errno);
    EXPECT_EQ((std::pair<int64_t, int64_t>{1001, 200000}), last_set());
    EXPECT_EQ("before: 1000 700000  adjust: 0 500000\ncorrected(1): 1001 200000\n", debug_text());

    quilmar_clock_arm(1000, 300000, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
    kernel_time_adjust(0, -800000, debug_);
    EXPECT_EQ((std::pair<int64_t, int64_t>{999, 500000}), last_set());
    EXPECT_NE(std::string::npos, debug_text().find("adjust: 0 -800000\ncorrected(2): 999 500000\n"));

    quilmar_clock_arm(1000, 300000, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
    kernel_time_adjust(5, 0, debug_);
    EXPECT_EQ((std::pair<int64_t, int64_t>{1005, 300000}), last_set());
    EXPECT_NE(std::string::npos, debug_text().find("after: 1005 300000\n"));
}

TEST_F(Adjust, FailuresOfEitherCallAreReported)
{
    quilmar_clock_arm(1000, 0, QUILMAR_CLOCK_FROZEN, QUILMAR_CLOCK_THIS_THREAD);
    kernel_time_result r = kernel_time_adjust(0, 2500000, nullptr);
    EXPECT_EQ(EINVAL, r.set_errno);
    EXPECT_EQ((std::pair<int64_t, int64_t>{1001, 1500000}), last_set());

    quilmar_clock_fail("settimeofday", EPERM);
    EXPECT_EQ(EPERM, kernel_time_adjust(1, 0, nullptr).set_errno);

    quilmar_clock_fail("gettimeofday", EFAULT);
    r = kernel_time_adjust(1, 0, nullptr);
    EXPECT_TRUE(r.read_failed);
    int64_t count = 0, sec = 0, usec = 0;
    int err = 0;
    quilmar_clock_last_set(&count, &sec, &usec, &err);
    EXPECT_EQ(2, count); // the failed read never reached settimeofday
}

} // namespace
