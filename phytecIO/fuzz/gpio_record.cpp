// GPIO event records as readEvents reads them, from a device that hands the
// octets out in arbitrary pieces. The input: one octet naming how many piece
// lengths follow (low three bits), those lengths (used in turn), then the
// stream. Every record must come out whole, exactly the stream's octets at
// its place, the same however the stream is split; what is left over stays
// pending, never read past its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "phytecIO.h"

namespace
{

constexpr size_t kRecord = sizeof(GpioEventRecord);
constexpr size_t kMaxStream = 4096; // well within a pipe's buffer

void check(bool ok)
{
    if (!ok) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const size_t lengths = data[0] & 7u;
    if (size < 1 + lengths) {
        return 0;
    }
    const uint8_t *pieces = data + 1;
    const uint8_t *stream = data + 1 + lengths;
    size_t streamSize = size - 1 - lengths;
    if (streamSize > kMaxStream) {
        streamSize = kMaxStream;
    }
    int fd[2];
    check(pipe(fd) == 0);
    check(fcntl(fd[0], F_SETFL, O_NONBLOCK) == 0);

    PendingRecord pending;
    GpioEventRecord record{};
    size_t written = 0, records = 0, piece = 0;
    check(phytecDigitalEvent_readRecord(fd[0], &pending, &record) == RecordRead::Partial);
    while (written < streamSize) {
        size_t n = lengths == 0 ? streamSize : 1 + pieces[piece++ % lengths];
        if (n > streamSize - written) {
            n = streamSize - written;
        }
        check(write(fd[1], stream + written, n) == static_cast<ssize_t>(n));
        written += n;
        // Read as the loop does after each wake-up: until nothing is left.
        for (;;) {
            const RecordRead result = phytecDigitalEvent_readRecord(fd[0], &pending, &record);
            check(result != RecordRead::Gone);
            if (result == RecordRead::Partial) {
                break;
            }
            check((records + 1) * kRecord <= written);
            check(memcmp(&record, stream + records * kRecord, kRecord) == 0);
            ++records;
        }
        check(pending.have == written - records * kRecord);
    }
    check(records == streamSize / kRecord);
    close(fd[1]);
    // End of file ends the input; the octets of a cut record go with it.
    check(phytecDigitalEvent_readRecord(fd[0], &pending, &record) == RecordRead::Gone);
    check(pending.have == 0);
    close(fd[0]);
    return 0;
}
