// GPIO event records as readEvents reads them, from a device that hands the
// octets out in pieces. Input: an octet whose low three bits count the piece
// lengths that follow (used in turn; none: all at once), then the stream.
// Each record comes out once, whole, exactly the stream's octets at its
// place, however the stream is split; the rest stays pending.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "phytecIO.h"

static void check(bool ok)
{
    if (!ok) {
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const size_t lengths = size > 0 ? data[0] & 7u : 0;
    if (size < 1 + lengths) {
        return 0;
    }
    const uint8_t *stream = data + 1 + lengths;
    const size_t total = size - 1 - lengths < 4096 ? size - 1 - lengths : 4096; // within a pipe's buffer
    int fd[2];
    check(pipe(fd) == 0 && fcntl(fd[0], F_SETFL, O_NONBLOCK) == 0);
    PendingRecord pending;
    GpioEventRecord record{};
    size_t written = 0, records = 0;
    for (size_t piece = 0; written < total; ++piece) {
        const size_t n = lengths == 0 ? total : 1 + data[1 + piece % lengths];
        const size_t part = n < total - written ? n : total - written;
        check(write(fd[1], stream + written, part) == static_cast<ssize_t>(part));
        written += part;
        RecordRead result;
        while ((result = phytecDigitalEvent_readRecord(fd[0], &pending, &record)) == RecordRead::Whole) {
            check(memcmp(&record, stream + records * sizeof record, sizeof record) == 0);
            ++records;
        }
        check(result == RecordRead::Partial && pending.have == written - records * sizeof record);
    }
    close(fd[1]);
    // End of file ends the input; a cut record's octets go with it.
    check(phytecDigitalEvent_readRecord(fd[0], &pending, &record) == RecordRead::Gone && pending.have == 0);
    close(fd[0]);
    return 0;
}
