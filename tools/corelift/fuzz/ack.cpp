// Fuzz target: corelift's reading of the boot loader's answers. The first
// octet splits the rest into noise that waits on the line and the answer
// that follows; the noise is dropped as before a block, and the verdict on
// the answer depends on its own octets only: the block acknowledgement on
// the first octet, the wake-up on the pattern's length of octets.
#include "telit.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{

bool block_ack(uint8_t c)
{
    return c == 0x01 || (c >= 0xA0 && c <= 0xA9);
}

// The verdict of WaitForAckChar on a line holding noise, dropped, then answer.
int verdict(const uint8_t *noise, size_t noiseSize, const uint8_t *answer, size_t answerSize, bool boot,
            const char *product)
{
    int fds[2];
    if (pipe(fds) != 0)
        std::abort();
    if (write(fds[1], noise, noiseSize) != static_cast<ssize_t>(noiseSize))
        std::abort();
    TelitContext ctx;
    ctx.fd = fds[0];
    std::strcpy(ctx.productName, product);
    ctx.bootAckCharLength = corelift_bootPattern(ctx.productName, ctx.bootAckChar);
    if (DiscardPendingInput(&ctx) != noiseSize)
        std::abort();
    if (write(fds[1], answer, answerSize) != static_cast<ssize_t>(answerSize))
        std::abort();
    close(fds[1]);
    const int result = boot ? WaitForAckChar(&ctx, 1, 2, isBootACKChar, ctx.bootAckCharLength)
                            : WaitForAckChar(&ctx, 255, 10, isBlockACKChar, 1);
    close(fds[0]);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 4096)
        return 0;
    // Every read is reported on standard output.
    static bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    const size_t split = data[0] < size ? data[0] : size - 1;
    const uint8_t *noise = data + 1;
    const uint8_t *answer = noise + split;
    const size_t answerSize = size - 1 - split;

    const int block = verdict(noise, split, answer, answerSize, false, "GE864-QUAD");
    if (block != (answerSize > 0 && block_ack(answer[0]) ? 1 : 0))
        std::abort();
    const int one = verdict(noise, split, answer, answerSize, true, "GE864-QUAD");
    if (one != (answerSize >= 1 && answer[0] == 0xA0 ? 1 : 0))
        std::abort();
    // Three octets compared as text: 0x92 0x00, the third is not looked at.
    const int three = verdict(noise, split, answer, answerSize, true, "GE864-V2");
    if (three != (answerSize >= 3 && answer[0] == 0x92 && answer[1] == 0x00 ? 1 : 0))
        std::abort();
    return 0;
}
