#include "program.h"

#include "intelhex.h"
#include "pmic.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

// One record of the text, from its ':' to its last digit.
struct PmicLine {
    const char *start;
    size_t length;
};

// Control octets and quotes shown as escapes, so that an expected and a
// received text that differ only in them do not look alike.
std::string visible(const char *data, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

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

unsigned hex_field(const char *p, size_t digits)
{
    unsigned value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const char c = p[i];
        value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return value;
}

// The whole text, already parsed, is checked record by record before the
// line is used, so that no file problem is found half-way through the
// programming. Each record must stand on a line of its own: CR LF line ends
// and blank lines are accepted (the records are sent with a LF alone), CR
// alone and records run together are refused. Records that would reach
// into the programmer's sectors or cross a 64-octet page (the controller
// writes one page per record and drops the rest) are refused; data where
// the signatures are stored is replaced by them, with a warning.
int check_layout(const char *text, size_t length, std::vector<PmicLine> &lines)
{
    size_t pos = 0;
    size_t number = 0;
    bool at_line_start = true;
    bool warned_store = false;
    while (pos < length) {
        const char c = text[pos];
        if (c == '\n') {
            at_line_start = true;
            ++pos;
            continue;
        }
        if (c == '\r') {
            ++pos;
            continue;
        }
        // The parser accepted the text: a record starts here.
        ++number;
        const unsigned count = hex_field(text + pos + 1, 2);
        const unsigned offset = hex_field(text + pos + 3, 4);
        const unsigned type = hex_field(text + pos + 7, 2);
        const size_t size = 11 + 2 * size_t{count};
        if (!at_line_start) {
            std::fprintf(stderr, "%s(): record %zu does not start a line (line ends must be LF or CR LF)\n",
                         "programFile", number);
            return -1;
        }
        if (type == 0 && count > 0) {
            const size_t end = size_t{offset} + count;
            if (end > PMIC_IAP_START) {
                std::fprintf(stderr, "%s(): error; hex file tries to write into IAP sectors\n", "programFile");
                return -1;
            }
            if (offset / PMIC_PAGE_SIZE != (end - 1) / PMIC_PAGE_SIZE) {
                std::fprintf(stderr, "%s(): record %zu at %04x crosses a %zu-octet page\n", "programFile", number,
                             offset, PMIC_PAGE_SIZE);
                return -1;
            }
            if (end > PMIC_CRC_STORE && !warned_store) {
                std::fprintf(stderr,
                             "%s(): warning: data at %04x-%04x is replaced by the stored signatures\n",
                             "programFile", static_cast<unsigned>(PMIC_CRC_STORE),
                             static_cast<unsigned>(PMIC_IAP_START - 1));
                warned_store = true;
            }
        }
        lines.push_back(PmicLine{text + pos, size});
        pos += size;
        at_line_start = false;
    }
    return 0;
}

// Step 1: nothing reaches the line unless the image is sound.
int build_image(const char *text, size_t length, PmicImage &image, PmicSignatures &signatures,
                std::vector<PmicLine> &lines)
{
    progress("Calculating CRCs...");
    if (readIntelHex(text, length, image) != 0 || check_layout(text, length, lines) != 0) {
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

// The answer to IAP within its wait: the code of the first three digits in
// a row on its line, or -1 when none came.
int iap_answer(pmic_reader &reader)
{
    if (!pmic_wait(reader, PMIC_IAP_ANSWER_MS)) {
        return -1;
    }
    const int saved = reader.timeout_ms;
    reader.timeout_ms = PMIC_IAP_ANSWER_MS;
    std::string line;
    uint8_t octet = 0;
    while (line.size() < 64 && pmic_next_octet(reader, &octet) && octet != '\n') {
        line += static_cast<char>(octet);
    }
    reader.timeout_ms = saved;
    for (size_t i = 0; i + 3 <= line.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(line[i])) && std::isdigit(static_cast<unsigned char>(line[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(line[i + 2]))) {
            return std::stoi(line.substr(i, 3));
        }
    }
    return -1;
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
        std::fprintf(stderr, "%s(): unexpected PING response %03d\n", "programFile", code);
        return -1;
    }
    std::printf(" %s\n", "PM");

    progress("Issuing IAP command...");
    if (pmic_cmd(reader, pmic_word("IAP")) != 0) {
        return -1;
    }
    // The controller restarts into its programmer and need not answer; the
    // second ping decides. An answer it does give must be the right one;
    // noise around it is dropped before the ping.
    code = iap_answer(reader);
    if (code >= 0 && code != PMIC_CODE_IAP_ENTERED) {
        std::fprintf(stderr, "%s(): unexpected response code %i\n", "pmic_cmd_iap", code);
        return -1;
    }
    std::printf(" ok\n");

    progress("Checking state of device again...");
    code = pmic_ping(reader);
    if (code == PMIC_CODE_IAP_ENTERED) {
        // The answer to IAP came after its wait: the ping's follows.
        int late = 0;
        code = pmic_read(reader, &late, nullptr, nullptr) ? late : -1;
    }
    if (code == -1) {
        return -1;
    }
    if (code != PMIC_CODE_IAP) {
        std::fprintf(stderr, "%s(): unexpected PING response %03d\n", "programFile", code);
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

// One record (without its line end), sent with a LF and echoed back after a
// separator octet, without the line end.
int send_record(pmic_reader &reader, const PmicLine &line, std::string &frame, char *echo)
{
    pmic_discard(reader);
    frame.assign(line.start, line.length);
    frame += '\n';
    if (write_all(reader.fd, frame.data(), frame.size()) != 0) {
        std::fprintf(stderr, "%s(): failed to write data\n", "programFile");
        return -1;
    }
    // One octet more than a faithful echo needs, so that a longer one shows.
    size_t echo_length = line.length + 3;
    int code = 0;
    const int answered = pmic_read(reader, &code, echo, &echo_length);
    const char *echoed = echo_length > 0 ? echo + 1 : "";
    const size_t echoed_length = echo_length > 0 ? echo_length - 1 : 0;
    if (!answered || code != PMIC_CODE_DATA) {
        std::fprintf(stderr, "%s(): failed to send data: %s\n", "programFile",
                     visible(echoed, echoed_length).c_str());
        return -1;
    }
    if (echoed_length != line.length || std::memcmp(echoed, line.start, line.length) != 0) {
        std::fprintf(stderr, "%s(): mismatched data; expected '%s', got '%s'\n", "programFile",
                     visible(line.start, line.length).c_str(), visible(echoed, echoed_length).c_str());
        return -1;
    }
    return 0;
}

// Step 7.
int send_records(pmic_reader &reader, const std::vector<PmicLine> &lines)
{
    progress("Sending DATA...");
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    size_t longest = 0;
    for (const PmicLine &line : lines) {
        longest = line.length > longest ? line.length : longest;
    }
    std::vector<char> echo(longest + 4);
    std::string frame;
    for (const PmicLine &line : lines) {
        if (send_record(reader, line, frame, echo.data()) != 0) {
            return -1;
        }
        if (terminal) {
            progress("#");
        }
    }
    std::printf(" ok\n");
    return 0;
}

} // namespace

int programFile(int fd, const char *text, size_t length)
{
    PmicImage image{};
    PmicSignatures signatures;
    std::vector<PmicLine> lines;
    if (build_image(text, length, image, signatures, lines) != 0) {
        return -1;
    }
    pmic_reader reader;
    reader.fd = fd;
    // A controller that stops answering ends the run instead of leaving the
    // tool waiting for ever.
    reader.timeout_ms = PMIC_ANSWER_MS;
    if (enter_programmer(reader) != 0 || send_signatures(reader, signatures) != 0 ||
        send_records(reader, lines) != 0) {
        return -1;
    }
    progress("Sending RESET...");
    if (!pmic_reset(reader, false)) {
        return -1;
    }
    std::printf(" ok\n");
    return 0;
}
