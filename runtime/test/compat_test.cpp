// The replacements linked into the deliverables, called as they call them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool cloexec(int fd)
{
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}
bool nonblocking(int fd)
{
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

TEST(Compat, Pipe2SetsExactlyTheFlagsAsked)
{
    for (int flags : {0, O_CLOEXEC, O_NONBLOCK, O_CLOEXEC | O_NONBLOCK}) {
        int p[2] = {-1, -1};
        ASSERT_EQ(pipe2(p, flags), 0) << flags;
        for (int fd : p) {
            EXPECT_EQ(cloexec(fd), (flags & O_CLOEXEC) != 0) << flags;
            EXPECT_EQ(nonblocking(fd), (flags & O_NONBLOCK) != 0) << flags;
        }
        ASSERT_EQ(write(p[1], "x", 1), 1);
        char c = 0;
        EXPECT_EQ(read(p[0], &c, 1), 1);
        close(p[0]);
        close(p[1]);
    }
    int p[2] = {-1, -1};
    EXPECT_EQ(pipe2(p, O_APPEND), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(p[0], -1);
}

TEST(Compat, EventfdWakesItsOwnPoller)
{
    struct Case {
        unsigned initval;
        int flags;
    };
    for (const Case c : {Case{0, EFD_CLOEXEC | EFD_NONBLOCK}, Case{0, 0}, Case{3, EFD_NONBLOCK}}) {
        const int fd = eventfd(c.initval, c.flags);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(cloexec(fd), (c.flags & EFD_CLOEXEC) != 0);
        EXPECT_EQ(nonblocking(fd), (c.flags & EFD_NONBLOCK) != 0);
        pollfd p{fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), c.initval != 0 ? 1 : 0) << "readable only with a value in it";
        const uint64_t one = 1;
        ASSERT_EQ(write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
        ASSERT_EQ(poll(&p, 1, 1000), 1);
        EXPECT_TRUE(p.revents & POLLIN);
        uint64_t v = 0;
        ASSERT_EQ(read(fd, &v, sizeof v), static_cast<ssize_t>(sizeof v));
        EXPECT_EQ(v, c.initval != 0 ? c.initval : 1);
        close(fd);
    }
    EXPECT_EQ(eventfd(0, EFD_SEMAPHORE), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(Compat, StatFollowsLinksLstatDoesNot)
{
    char dir[] = "/tmp/compat-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/f", link = std::string(dir) + "/l";
    const int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    ASSERT_EQ(symlink("f", link.c_str()), 0);
    struct stat viaPath{}, viaLink{}, ofLink{}, viaFd{};
    EXPECT_EQ(stat(file.c_str(), &viaPath), 0);
    EXPECT_EQ(stat(link.c_str(), &viaLink), 0);
    EXPECT_EQ(lstat(link.c_str(), &ofLink), 0);
    EXPECT_EQ(fstat(fd, &viaFd), 0);
    EXPECT_EQ(viaPath.st_size, 3);
    EXPECT_EQ(viaLink.st_ino, viaPath.st_ino);
    EXPECT_EQ(viaFd.st_ino, viaPath.st_ino);
    EXPECT_TRUE(S_ISLNK(ofLink.st_mode));
    EXPECT_EQ(stat((std::string(dir) + "/none").c_str(), &viaPath), -1);
    EXPECT_EQ(errno, ENOENT);
    close(fd);
    unlink(link.c_str());
    unlink(file.c_str());
    rmdir(dir);
}

TEST(Compat, CheckedOpenWithoutModeOpens)
{
    volatile int flags = O_RDONLY; // not known to the compiler: the checked call
    const int fd = open("/dev/null", flags);
    EXPECT_GE(fd, 0);
    const int at = openat(AT_FDCWD, "/dev/null", flags);
    EXPECT_GE(at, 0);
    close(fd);
    close(at);
}

TEST(Compat, RandomSourcesFillWhatTheyAreGiven)
{
    unsigned char a[300] = {}, b[300] = {};
    ASSERT_EQ(getentropy(a, 256), 0);
    ASSERT_EQ(getentropy(b, 256), 0);
    EXPECT_NE(memcmp(a, b, 256), 0);
    EXPECT_EQ(getentropy(a, 257), -1) << "more than one call may give";
    EXPECT_EQ(errno, EIO);
    EXPECT_NE(arc4random() | arc4random() | arc4random(), 0u);
}

} // namespace
