// pmping: sends one command frame to the power-management controller and
// exits without reading its answer.
#include "pmic.h"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

struct Config {
    const char *device = nullptr;
    const char *command = nullptr;
    char letter = 0;
    const char *numbers[2] = {nullptr, nullptr};
};

// A decimal number: leading blanks skipped, one sign, digits up to the first
// non-digit. Only the low eight bits are sent; `bit` tells whether the
// value is an output bit number 0..7.
struct Number {
    uint8_t octet = 0;
    bool bit = false;
};

Number parse_number(const char *s)
{
    while (*s == ' ' || (*s >= 0x09 && *s <= 0x0D)) {
        ++s;
    }
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = (*s == '-');
        ++s;
    }
    // Modulo 2^32 keeps the low eight bits exact however long the number.
    uint32_t value = 0;
    bool large = false;
    for (; *s >= '0' && *s <= '9'; ++s) {
        large = large || value > 7;
        value = value * 10 + static_cast<uint32_t>(*s - '0');
    }
    large = large || value > 7;
    if (negative) {
        value = 0u - value;
    }
    return Number{static_cast<uint8_t>(value), !large && (!negative || value == 0)};
}

// How many numbers a letter needs; -1 for a letter the controller does not know.
int numbers_needed(char letter)
{
    switch (letter) {
    case 'p':
    case 'j':
    case 'I':
    case 'R':
    case 'G':
        return 0;
    case 'V':
    case 'W':
    case 'c':
    case 's':
        return 1;
    case '0':
        return 2;
    default:
        return -1;
    }
}

PmicWord command_word(const Config &config)
{
    const Number a = config.numbers[0] ? parse_number(config.numbers[0]) : Number{};
    const Number b = config.numbers[1] ? parse_number(config.numbers[1]) : Number{};
    // 'c' and 's' clear and set one output bit through the '0' command's mask and value.
    const auto mask = static_cast<uint8_t>(a.bit ? 1u << a.octet : 0u);
    switch (config.letter) {
    case 'p':
        return pmic_word("ping");
    case 'V':
    case 'W':
        return PmicWord{static_cast<uint8_t>(config.letter), a.octet, 0, 0};
    case '0':
        return PmicWord{'0', a.octet, b.octet, 0};
    case 'c':
        return PmicWord{'0', mask, 0, 0};
    case 's':
        return PmicWord{'0', mask, mask, 0};
    default:
        return PmicWord{static_cast<uint8_t>(config.letter), 0, 0, 0};
    }
}

void usage()
{
    std::fprintf(stderr, "Usage: pmping <device> <letter> [<number> [<number>]]\n"
                         "  letters: p j I R G; V n, W n, c n, s n; 0 mask value\n");
}

bool parse_command_line(int argc, char **argv, Config &config)
{
    if (argc < 3) {
        return false;
    }
    config.device = argv[1];
    config.command = argv[2];
    config.letter = argv[2][0];
    for (int i = 0; i < 2 && 3 + i < argc; ++i) {
        config.numbers[i] = argv[3 + i];
    }
    const int needed = numbers_needed(config.letter);
    return needed < 0 || argc - 3 >= needed;
}

} // namespace

int main(int argc, char **argv)
{
    Config config;
    if (!parse_command_line(argc, argv, config)) {
        usage();
        return 2;
    }
    const int fd = open(config.device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror("open()");
        return 1;
    }
    if (const char *step = pmic_line_setup(fd, false)) {
        std::perror(step);
        close(fd);
        return 1;
    }
    int status = 0;
    if (numbers_needed(config.letter) < 0) {
        std::fprintf(stderr, "pmping: unknown command '%s'; nothing sent\n", config.command);
    } else {
        pmic_reader reader;
        reader.fd = fd;
        status = pmic_cmd(reader, command_word(config)) == 0 ? 0 : 1;
    }
    close(fd);
    return status;
}
