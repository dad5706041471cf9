#include "gps.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

std::atomic<int> gpsfd{-1};
std::atomic<int> readData{0};
std::atomic<int> dataRead{0};

namespace
{

// Closing a descriptor does not wake a thread blocked on it, and the number
// goes to the next open() at once. So every use of the device registers here:
// closeDevice marks the device gone, wakes pollers through the device's pipe,
// waits for the users to leave and only then closes.
// Plain pthread primitives: the C library has them, so the library needs no
// more than libc and libm on the target.
struct Device {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t idle = PTHREAD_COND_INITIALIZER;
    int fd = -1;            // the open device, -1 when none
    int wake[2] = {-1, -1}; // written by closeDevice
    unsigned generation = 0;
    int users = 0;
};

Device device;

class Locked
{
  public:
    Locked() { pthread_mutex_lock(&device.lock); }
    ~Locked() { pthread_mutex_unlock(&device.lock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

// A use that has passed the check cannot outlive closeDevice's wait; one
// that fails it gets EBADF, as a closed descriptor would.
class DeviceUse
{
  public:
    DeviceUse(int fd, unsigned generation)
    {
        Locked hold;
        if (fd >= 0 && fd == device.fd && generation == device.generation) {
            ++device.users;
            wake_ = device.wake[0];
            entered_ = true;
        }
    }
    ~DeviceUse()
    {
        if (entered_) {
            Locked hold;
            --device.users;
            pthread_cond_broadcast(&device.idle);
        }
    }
    DeviceUse(const DeviceUse &) = delete;
    DeviceUse &operator=(const DeviceUse &) = delete;

    bool entered() const { return entered_; }
    int wake() const { return wake_; }

  private:
    bool entered_ = false;
    int wake_ = -1;
};

unsigned currentGeneration(int fd)
{
    Locked hold;
    return fd == device.fd ? device.generation : device.generation - 1;
}

// How long closeDevice waits for a writer blocked by flow control, or a reader
// inside read(), before closing anyway; neither can touch the number again.
constexpr time_t kCloseWaitSeconds = 2;

// Ends every use of the registered device: later uses fail the check, a
// waiting reader is woken, and the wait ends when all have left.
// Called with device.lock held.
void retire()
{
    device.fd = -1;
    ++device.generation;
    const char byte = 0;
    const ssize_t ignored = write(device.wake[1], &byte, 1);
    (void)ignored;
    // The condition variable runs on the realtime clock: a clock step can at
    // worst shorten or lengthen this bounded wait.
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kCloseWaitSeconds;
    while (device.users > 0) {
        if (pthread_cond_timedwait(&device.idle, &device.lock, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    close(device.wake[0]);
    close(device.wake[1]);
    device.wake[0] = device.wake[1] = -1;
}

} // namespace

GPS_DeviceSource::GPS_DeviceSource(int fd, bool buffered)
    : fd_(fd), generation_(currentGeneration(fd)), buffered_(buffered)
{
}

ssize_t GPS_DeviceSource::read(char *into, size_t room)
{
    if (room == 0) {
        return 0;
    }
    if (chunkStart_ < chunkEnd_) {
        *into = chunk_[chunkStart_++];
        return 1;
    }
    DeviceUse use(fd_, generation_);
    if (!use.entered()) {
        errno = EBADF;
        return -1;
    }
    pollfd fds[2] = {{fd_, POLLIN, 0}, {use.wake(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
        return -1;
    }
    if (fds[1].revents != 0) {
        errno = EBADF;
        return -1;
    }
    if (!buffered_) {
        return ::read(fd_, into, room < 1 ? room : 1);
    }
    const ssize_t n = ::read(fd_, chunk_, sizeof chunk_);
    if (n <= 0) {
        return n;
    }
    chunkStart_ = 1;
    chunkEnd_ = static_cast<size_t>(n);
    *into = chunk_[0];
    return 1;
}

int openDevice(const char *path)
{
    readData = 1;
    {
        // Opening again without a close: the earlier device is closed first,
        // its readers ended as by a close, so that nothing leaks and a failed
        // open leaves no device behind.
        Locked hold;
        if (device.fd >= 0) {
            const int earlier = device.fd;
            retire();
            close(earlier);
        }
    }
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // From here on reads block. The unit's kernel (2.6.16) ignores O_CLOEXEC
    // and lacks pipe2, so close-on-exec and the pipe's modes are set by hand.
    fcntl(fd, F_SETFL, 0);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    int wake[2];
    if (pipe(wake) < 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    for (const int end : wake) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, O_NONBLOCK);
    }
    Locked hold;
    if (device.fd >= 0) {
        // Another thread opened in between: that one is closed as well.
        const int earlier = device.fd;
        retire();
        close(earlier);
    }
    device.fd = fd;
    device.wake[0] = wake[0];
    device.wake[1] = wake[1];
    ++device.generation;
    return fd;
}

int closeDevice(int fd)
{
    readData = 0;
    Locked hold;
    if (fd < 0 || fd != device.fd) {
        return close(fd);
    }
    retire();
    return close(fd);
}

int configureDevice(int fd, int speedCode)
{
    termios tio{};
    if (tcgetattr(fd, &tio) < 0) {
        return -1;
    }
    cfsetispeed(&tio, static_cast<speed_t>(speedCode));
    cfsetospeed(&tio, static_cast<speed_t>(speedCode));
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8;
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 5;
    return tcsetattr(fd, TCSANOW, &tio);
}

int GPS_readSentence(std::atomic<int> *received, GPS_ByteSource &source, char *buffer, int size)
{
    char *position = buffer;
    ssize_t last = 0;
    const bool mayRead = readData > 0;
    while (readData > 0) {
        last = source.read(position, 1);
        if (last <= 0 || buffer + size - position <= 1) {
            break;
        }
        *received = 1;
        // Bytes before the '$' are overwritten by the next one.
        if (buffer[0] == '$') {
            position += last;
        }
        if (position > buffer && (position[-1] == '\n' || position[-1] == '\r')) {
            break;
        }
    }
    if (last < 0) {
        if (errno == EINTR || errno == EAGAIN) {
            buffer[0] = '\0';
            return 0;
        }
        return errno;
    }
    if (position > buffer) {
        position[-1] = '\0';
        return 0;
    }
    // Nothing stored. A closed device reads as a closed descriptor would, and
    // a line that keeps answering with end of file has hung up: both would
    // otherwise hand the reader empty sentences at full speed for ever.
    if (!mayRead) {
        return EBADF;
    }
    if (last == 0 && readData > 0) {
        return EIO;
    }
    buffer[0] = '\0';
    return 0;
}

int readNMEA(std::atomic<int> *received, int fd, char *buffer, int size)
{
    GPS_DeviceSource source(fd, false);
    return GPS_readSentence(received, source, buffer, size);
}

void calculateChecksum(const char *sentence, char out[3])
{
    // Octets, not chars: a byte above 0x7F must not widen to a negative int.
    unsigned char sum = 0;
    if (sentence[0] != '\0') {
        for (const char *p = sentence + 1; *p != '\0' && *p != '*'; ++p) {
            sum ^= static_cast<unsigned char>(*p);
        }
    }
    std::snprintf(out, 3, "%02X", static_cast<unsigned>(sum));
}

GPS_ChecksumFault GPS_checksumFault(const char *sentence, int *dollar, char computed[3])
{
    calculateChecksum(sentence, computed);
    const char *lastDollar = std::strrchr(sentence, '$');
    if (lastDollar != nullptr && lastDollar > sentence) {
        *dollar = static_cast<int>(lastDollar - sentence);
        return GPS_ChecksumFault::multipleDollar;
    }
    const char *star = std::strchr(sentence, '*');
    if (star == nullptr) {
        return GPS_ChecksumFault::noEnd;
    }
    return std::strcmp(computed, star + 1) == 0 ? GPS_ChecksumFault::none : GPS_ChecksumFault::mismatch;
}

void GPS_printChecksumFault(GPS_ChecksumFault fault, const char *sentence, int dollar, const char computed[3],
                            const char *suffix)
{
    switch (fault) {
    case GPS_ChecksumFault::multipleDollar:
        std::printf("isChecksumValid() FATAL: invalid nmea record: %s\n", sentence);
        std::printf("isChecksumValid() FATAL: multiple dollar char found at position: %d%s\n", dollar,
                    suffix);
        break;
    case GPS_ChecksumFault::noEnd:
        std::printf("isChecksumValid() FATAL: no end character found. %s%s\n", sentence, suffix);
        break;
    case GPS_ChecksumFault::mismatch:
        std::printf("invalid checksum. '%s' != '%s'%s\n", sentence, computed, suffix);
        break;
    case GPS_ChecksumFault::none:
        break;
    }
}

int isChecksumValid(const char *sentence)
{
    char computed[3];
    int dollar = 0;
    const GPS_ChecksumFault fault = GPS_checksumFault(sentence, &dollar, computed);
    GPS_printChecksumFault(fault, sentence, dollar, computed, "");
    return fault == GPS_ChecksumFault::none ? 0 : -1;
}

bool GPS_foldFault(GPS_FaultFold &fold, GPS_ChecksumFault fault, int64_t now, uint64_t *folded)
{
    const auto kind = static_cast<size_t>(fault) - 1;
    if (kind >= kChecksumFaultKinds) {
        return false;
    }
    GPS_FaultFold::Kind &k = fold.kinds[kind];
    // A clock that went back counts as a minute gone.
    if (k.shown && now >= k.last && now - k.last < kFaultFoldSeconds) {
        ++k.folded;
        return false;
    }
    *folded = k.folded;
    k.folded = 0;
    k.last = now;
    k.shown = true;
    return true;
}

int getChecksum(const char *sentence, char out[3])
{
    const char *star = std::strchr(sentence, '*');
    if (star == nullptr) {
        std::printf("getChecksum() FATAL: no end character found. %s\n", sentence);
        return -1;
    }
    // At most the two characters that are there.
    size_t i = 0;
    for (; i < 2 && star[1 + i] != '\0'; ++i) {
        out[i] = star[1 + i];
    }
    out[i] = '\0';
    return 0;
}

int GPS_frameCommand(const char *text, char *out, size_t size)
{
    char sum[3];
    calculateChecksum(text, sum);
    const int length = std::snprintf(out, size, "%s%s\r\n", text, sum);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        return -1;
    }
    return length;
}

ssize_t writeNMEAcmd(int fd, const char *text)
{
    char framed[kCommandBuffer];
    const int length = GPS_frameCommand(text, framed, sizeof framed);
    if (length < 0) {
        // A cut command would reach the receiver with a wrong checksum.
        errno = EMSGSIZE;
        return -1;
    }
    return writeVendorSpecificCmd(fd, framed, static_cast<size_t>(length));
}

ssize_t writeVendorSpecificCmd(int fd, const void *bytes, size_t length)
{
    DeviceUse use(fd, currentGeneration(fd));
    if (!use.entered()) {
        errno = EBADF;
        return -1;
    }
    return write(fd, bytes, length);
}
