// The receiver's serial device: open, configure, close, sentence assembly,
// the NMEA checksum and commands to the receiver.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Descriptor of the open device, -1 when none.
extern std::atomic<int> gpsfd;
// 1 while the device may be read; cleared by closeDevice.
extern std::atomic<int> readData;
// Set whenever a byte arrives; read and cleared from Java.
extern std::atomic<int> dataRead;

// A stream of bytes for the sentence assembly: read(2) semantics (count, 0 at
// end of file, -1 with errno set).
class GPS_ByteSource
{
  public:
    virtual ssize_t read(char *into, size_t room) = 0;

  protected:
    ~GPS_ByteSource() = default;
};

// The device opened by openDevice, read by one reader. Reads wait in poll
// together with the device's wake-up pipe, so closeDevice from another thread
// ends a waiting read at once, and a reader never touches the descriptor once
// it has been closed, even when the number has been handed out again: such a
// read fails with EBADF. With `buffered` the source reads what the line has
// (up to 64 bytes) and hands it out byte by byte; the bytes left over stay with
// this source.
class GPS_DeviceSource final : public GPS_ByteSource
{
  public:
    GPS_DeviceSource(int fd, bool buffered);
    ssize_t read(char *into, size_t room) override;

  private:
    int fd_;
    unsigned generation_;
    bool buffered_;
    char chunk_[64];
    size_t chunkStart_ = 0;
    size_t chunkEnd_ = 0;
};

// Returns the descriptor or -1; readData becomes 1 either way.
int openDevice(const char *path);
// readData = 0, then close. Waits until no reader or writer is inside the
// device (a waiting reader is woken) so that the number cannot be reused under
// them. Returns the result of close.
int closeDevice(int fd);
// Raw 8N1 at the speed code, VMIN 1, VTIME 5; result of tcsetattr.
int configureDevice(int fd, int speedCode);

// Assembles one sentence from '$' to the end of its line into buffer (size
// bytes, the line ending replaced by NUL). 0, or an errno value: EBADF once
// the device is closed, EIO when the line has hung up (end of file with
// nothing stored).
int readNMEA(std::atomic<int> *received, int fd, char *buffer, int size);
int GPS_readSentence(std::atomic<int> *received, GPS_ByteSource &source, char *buffer, int size);

// Exclusive-or of the octets after the first up to the first '*', as "%02X".
void calculateChecksum(const char *sentence, char out[3]);
// 0 when the sentence's own checksum matches, else -1 (with its message).
int isChecksumValid(const char *sentence);

// What isChecksumValid finds, without a word: the fault, the position of
// the last '$' (multipleDollar) and the computed checksum.
enum class GPS_ChecksumFault { none, multipleDollar, noEnd, mismatch };
constexpr size_t kChecksumFaultKinds = 3;
GPS_ChecksumFault GPS_checksumFault(const char *sentence, int *dollar, char computed[3]);
// The complaint of isChecksumValid for a fault, suffix at the end of its
// last line.
void GPS_printChecksumFault(GPS_ChecksumFault fault, const char *sentence, int dollar, const char computed[3],
                            const char *suffix);

// The reader's complaints folded per kind: a receiver that sends only bad
// sentences would otherwise print more than it sends. The first of a kind
// is shown, then at most one a minute; the others are counted.
constexpr int64_t kFaultFoldSeconds = 60;
struct GPS_FaultFold {
    struct Kind {
        int64_t last = 0; // when the last one was shown (seconds of a steady clock)
        uint64_t folded = 0;
        bool shown = false;
    } kinds[kChecksumFaultKinds];
};
// True when a complaint of this kind is to be shown at now; *folded then
// receives how many of its kind were folded since the last one shown.
bool GPS_foldFault(GPS_FaultFold &fold, GPS_ChecksumFault fault, int64_t now, uint64_t *folded);
// The two characters after the first '*'; 0, or -1 without '*'.
int getChecksum(const char *sentence, char out[3]);

// Framed commands are built in a buffer of this size.
constexpr size_t kCommandBuffer = 120;

// Frames "<text><checksum>\r\n" into out; the length, or -1 when the framed
// command does not fit (size bytes including the NUL).
int GPS_frameCommand(const char *text, char *out, size_t size);
// Writes the framed command; -1 with EMSGSIZE when longer than 120 bytes.
ssize_t writeNMEAcmd(int fd, const char *text);
ssize_t writeVendorSpecificCmd(int fd, const void *bytes, size_t length);
