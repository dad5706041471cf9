#include "program.h"

#include "intelhex.h"
#include "pmic.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{

// Progress texts stand without a line end until the step's result follows.
void progress(const char *text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

int write_all(int fd, const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

// Step 1: nothing reaches the line unless the image is sound.
int build_image(const char *text, size_t length, PmicImage &image, PmicSignatures &signatures)
{
    progress("Calculating CRCs...");
    if (readIntelHex(text, length, image) != 0) {
        return -1;
    }
    std::printf("\n");
    pmic_sign_image(image, signatures);
    for (size_t i = 0; i < PMIC_SECTORS; ++i) {
        std::printf("  CRC[%zi]: %08x\n", i, signatures.crc[i]);
    }
    std::printf("  Fixup:  tmp=%08x, new=%08x, exp=%08x, new^tmp=%08x\n", signatures.tmp, signatures.fresh,
                signatures.expected, signatures.fresh ^ signatures.tmp);
    std::fflush(stdout);
    if (!pmic_iap_sectors_empty(image, signatures)) {
        std::fprintf(stderr, "%s(): error; hex file tries to write into IAP sectors\n", "programFile");
        return -1;
    }
    return 0;
}

// Steps 2 to 4: the controller ends up in its programmer (answering 601).
int enter_programmer(pmic_reader &reader)
{
    progress("Checking state of device...");
    int code = pmic_ping(reader);
    if (code == PMIC_CODE_IAP) {
        std::printf(" %s\n", "IAP");
        return 0;
    }
    if (code == -1) {
        return -1;
    }
    if (code != PMIC_CODE_PM) {
        std::fprintf(stderr, "%s(): unexpected PING response\n", "programFile");
        return -1;
    }
    std::printf(" %s\n", "PM");

    progress("Issuing IAP command...");
    if (pmic_cmd(reader, pmic_word("IAP")) != 0) {
        return -1;
    }
    // The controller restarts into its programmer and need not answer; the
    // second ping decides. An answer it does give must be the right one.
    if (pmic_wait(reader, PMIC_IAP_ANSWER_MS) && pmic_read(reader, &code, nullptr, nullptr) &&
        code != PMIC_CODE_IAP_ENTERED) {
        std::fprintf(stderr, "%s(): unexpected response code %i\n", "pmic_cmd_iap", code);
        return -1;
    }
    std::printf(" ok\n");

    progress("Checking state of device again...");
    code = pmic_ping(reader);
    if (code == -1) {
        return -1;
    }
    if (code != PMIC_CODE_IAP) {
        std::fprintf(stderr, "%s(): unexpected PING response\n", "programFile");
        return -1;
    }
    std::printf(" ok\n");
    return 0;
}

// Steps 5 and 6: start, then CRC[0..5] as one line of hex digits.
int send_signatures(pmic_reader &reader, const PmicSignatures &signatures)
{
    progress("Sending START command...");
    int code = 0;
    if (!pmic_command(reader, pmic_word("STRT"), &code)) {
        return -1;
    }
    if (code != PMIC_CODE_STARTED) {
        std::fprintf(stderr, "%s(): unexpected response code %i\n", "pmic_cmd_iap_start", code);
        return -1;
    }
    std::printf(" ok\n");

    progress("Sending CRCs...");
    for (size_t i = 0; i < PMIC_SENT_CRCS; ++i) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", signatures.crc[i]);
        if (write_all(reader.fd, hex, 8) != 0) {
            std::perror("write(<crc>)");
            return -1;
        }
    }
    if (write_all(reader.fd, "\r\n", 2) != 0) {
        std::perror("write(<eol>)");
        return -1;
    }
    char detail[25];
    size_t detail_length = sizeof detail;
    if (!pmic_read(reader, &code, detail, &detail_length) || code != PMIC_CODE_CRC) {
        std::fprintf(stderr, "%s(): failed to send CRC\n", "programFile");
        return -1;
    }
    std::printf(" ok\n");
    return 0;
}

// One record, from its ':' up to the next one (its line end included): sent
// raw and echoed back after a separator octet, without the line end.
int send_record(pmic_reader &reader, const char *record, size_t length, char *echo)
{
    if (write_all(reader.fd, record, length) != 0) {
        std::fprintf(stderr, "%s(): failed to write data\n", "programFile");
    }
    // One octet more than a faithful echo needs, so that a longer one shows.
    size_t echo_length = length + 2;
    int code = 0;
    const int answered = pmic_read(reader, &code, echo, &echo_length);
    const char *echoed = echo_length > 0 ? echo + 1 : "";
    if (!answered || code != PMIC_CODE_DATA) {
        std::fprintf(stderr, "%s(): failed to send data: %s\n", "programFile", echoed);
        return -1;
    }
    const size_t expected = length - 1;
    if (echo_length != expected + 1 || std::memcmp(echoed, record, expected) != 0) {
        std::fprintf(stderr, "%s(): mismatched data; expected '%.*s', got '%s'\n", "programFile",
                     static_cast<int>(expected), record, echoed);
        return -1;
    }
    return 0;
}

// Step 7.
int send_records(pmic_reader &reader, const char *text, size_t length)
{
    progress("Sending DATA...");
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    // Large enough for the longest record any parsed text can hold.
    char *echo = static_cast<char *>(std::malloc(length + 2));
    if (echo == nullptr) {
        std::fprintf(stderr, "%s(): out of memory\n", "programFile");
        return -1;
    }
    int rc = 0;
    const char *end = text + length;
    const char *record = static_cast<const char *>(std::memchr(text, ':', length));
    while (record != nullptr && rc == 0) {
        const char *next = static_cast<const char *>(std::memchr(record + 1, ':', end - record - 1));
        const char *record_end = next != nullptr ? next : end;
        rc = send_record(reader, record, static_cast<size_t>(record_end - record), echo);
        if (rc == 0 && terminal) {
            progress("#");
        }
        record = next;
    }
    std::free(echo);
    if (rc == 0) {
        std::printf(" ok\n");
    }
    return rc;
}

} // namespace

int programFile(int fd, const char *text, size_t length)
{
    PmicImage image{};
    PmicSignatures signatures;
    if (build_image(text, length, image, signatures) != 0) {
        return -1;
    }
    pmic_reader reader;
    reader.fd = fd;
    if (enter_programmer(reader) != 0 || send_signatures(reader, signatures) != 0 ||
        send_records(reader, text, length) != 0) {
        return -1;
    }
    progress("Sending RESET...");
    if (!pmic_reset(reader, false)) {
        return -1;
    }
    std::printf(" ok\n");
    return 0;
}
