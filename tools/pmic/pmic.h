// Serial protocol of the power-management controller: line set-up, command
// frames with their check codes, and the buffered response reader. Shared by
// pmprog and pmping.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Frame: preamble, command word, check code of the word, CR LF.
inline constexpr std::array<uint8_t, 8> PMIC_PREAMBLE = {0x51, 0xC5, 0x37, 0x31, 0x56, 0x6B, 0x72, 0x0D};
inline constexpr size_t PMIC_FRAME_SIZE = 18;

using PmicWord = std::array<uint8_t, 4>;
using PmicFrame = std::array<uint8_t, PMIC_FRAME_SIZE>;

// Answer codes.
inline constexpr int PMIC_CODE_PM = 600;  // normal firmware running
inline constexpr int PMIC_CODE_IAP = 601; // programmer running
inline constexpr int PMIC_CODE_IAP_ENTERED = 401;
inline constexpr int PMIC_CODE_STARTED = 801;
inline constexpr int PMIC_CODE_CRC = 802;
inline constexpr int PMIC_CODE_DATA = 803;

// The command word of a text of at most four characters, padded with NUL octets.
PmicWord pmic_word(const char *text);

// c[0] = d[0] ^ 0x3C; c[i] = d[i] ^ rotr(c[i-1]).
PmicWord pmic_check_code(const PmicWord &word);

PmicFrame pmic_frame(const PmicWord &word);

// Sets the line to 9600 8N1, raw, blocking reads of at least one octet, and
// writes the one NUL octet the controller's receiver expects: before the
// queues are flushed (pmprog) or after (pmping). Returns nullptr, or the name
// of the failed step for perror.
const char *pmic_line_setup(int fd, bool nul_before_flush);

// Reader state: the descriptor and what was read but not yet consumed.
struct pmic_reader {
    int fd = -1;
    std::array<uint8_t, 16> buffer{};
    size_t count = 0; // octets in the buffer
    size_t next = 0;  // first unconsumed octet
    // How long one read may wait for the controller; negative: for ever.
    int timeout_ms = -1;
    bool timed_out = false; // the last read failed because the time ran out
};

// Drops whatever was received and not yet consumed (a late or noisy answer
// to an earlier command), so that it cannot spoil the next answer. Returns
// the number of octets dropped.
size_t pmic_discard(pmic_reader &reader);

// One octet of the answer, waiting as the reader's time-out allows.
bool pmic_next_octet(pmic_reader &reader, uint8_t *octet);

// Writes one command frame (in four writes, each repeated on EINTR): 0, or
// -1 after printing why.
int pmic_cmd(pmic_reader &reader, const PmicWord &word);

// Reads one answer: three decimal digits, then detail octets up to a LF. CRs
// in the detail are dropped; what does not fit `detail` (capacity in
// *detail_length, one octet of it kept for the terminating NUL) is dropped;
// *detail_length receives the number of octets stored. `detail` may be null.
// Returns 1, or 0 after printing why. A line that hangs up fails; it never
// turns into a busy loop.
int pmic_read(pmic_reader &reader, int *code, char *detail, size_t *detail_length);

// True when an answer has begun to arrive within `timeout_ms`.
bool pmic_wait(pmic_reader &reader, int timeout_ms);

// One command and its answer: 1 with *code set, or 0.
int pmic_command(pmic_reader &reader, const PmicWord &word, int *code);

// "ping": the answer code, or -1.
int pmic_ping(pmic_reader &reader);

// Reset 'R' when upper_case, else 'r', and one answer: 1 or 0.
int pmic_reset(pmic_reader &reader, bool upper_case);
