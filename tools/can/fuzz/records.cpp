// cbcheck's records from standard input. Input: one octet whose low three
// bits give the number of cut octets and whose next bit switches the debug
// dump, the cut octets, then the stream. The stream is fed once at a time
// and once in the pieces the cuts give (1..80 octets, as a pipe hands them
// over); both must check exactly the whole records (a trailing part never
// counts) and report the same text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cbseq.h"

namespace
{

std::string feed(const uint8_t *data, size_t size, const uint8_t *cuts, size_t ncuts, bool debug,
                 size_t &records)
{
    char *text = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&text, &length);
    if (out == nullptr)
        abort();
    SeqCheck check;
    check.debug = debug;
    RecordStream in;
    records = 0;
    for (size_t at = 0, k = 0; at < size;) {
        size_t piece = ncuts > 0 ? cuts[k++ % ncuts] % 80u + 1 : size - at;
        piece = std::min({piece, size - at, in.room_size()});
        memcpy(in.room(), data + at, piece);
        at += piece;
        int got = in.added(piece);
        for (int i = 0; i < got; ++i)
            check_record(check, in.rx[i], out);
        records += static_cast<size_t>(got);
        in.used();
        if (in.have >= sizeof(canmsg_t))
            abort(); // a whole record left unchecked
    }
    fclose(out);
    std::string report(text, length);
    free(text);
    return report;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t ncuts = data[0] & 7u;
    bool debug = (data[0] & 8u) != 0;
    if (size < 1 + ncuts)
        return 0;
    const uint8_t *cuts = data + 1;
    data += 1 + ncuts;
    size -= 1 + ncuts;
    size_t at_once = 0, in_pieces = 0;
    std::string whole = feed(data, size, nullptr, 0, debug, at_once);
    std::string split = feed(data, size, cuts, ncuts, debug, in_pieces);
    if (at_once != size / sizeof(canmsg_t) || in_pieces != at_once || whole != split)
        abort();
    return 0;
}
