// pmprog: programs the power-management controller's firmware from an Intel
// HEX file over its serial line, or sends it one reset/query command.
#include "pmic.h"
#include "program.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

enum class Mode { program, reset, reset_upper, jump, ping };

struct Config {
    const char *port = "/dev/ttyS2";
    const char *file = nullptr;
    Mode mode = Mode::program;
};

enum class Parsed { run, exit_ok, exit_usage };

void usage()
{
    std::printf("Usage: pmprog [--port|-p <filename>] <filename>\n\n"
                "    --port|-p <filename>\n"
                "               :...  serial port (default: /dev/ttyS0)\n\n");
}

Parsed parse_command_line(int argc, char **argv, Config &config)
{
    enum { opt_help = 256, opt_version, opt_erase };
    static const option options[] = {
        {"help", no_argument, nullptr, opt_help},
        {"version", no_argument, nullptr, opt_version},
        {"port", required_argument, nullptr, 'p'},
        {"erase", no_argument, nullptr, opt_erase},
        {nullptr, 0, nullptr, 0},
    };
    // '+': options end at the first non-option.
    int c;
    while ((c = getopt_long(argc, argv, "+p:rRjP", options, nullptr)) != -1) {
        switch (c) {
        case opt_help:
            usage();
            return Parsed::exit_ok;
        case opt_version:
            std::printf("pmprog 0.1 -- IAP programming tool\n");
            return Parsed::exit_ok;
        case 'p':
            config.port = optarg;
            break;
        case 'r':
            config.mode = Mode::reset;
            break;
        case 'R':
            config.mode = Mode::reset_upper;
            break;
        case 'j':
            config.mode = Mode::jump;
            break;
        case 'P':
            config.mode = Mode::ping;
            break;
        default: // unknown options and --erase
            std::fprintf(stderr, "Try '%s --help\" for more information.\n", argv[0]);
            return Parsed::exit_usage;
        }
    }
    if (optind < argc) {
        config.file = argv[optind];
    }
    return Parsed::run;
}

// Reads the whole file as lower-case, NUL-terminated text. A last line
// without its line end gets one: the controller takes a record at its LF.
// Returns the text (released with free) or null after printing why.
char *read_file(const char *name, size_t *length)
{
    char step[PATH_MAX + 16];
    const int fd = open(name, O_RDONLY);
    if (fd < 0) {
        std::snprintf(step, sizeof step, "open(%s)", name);
        std::perror(step);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        std::snprintf(step, sizeof step, "fstat(%s)", name);
        std::perror(step);
        close(fd);
        return nullptr;
    }
    const auto size = static_cast<size_t>(st.st_size);
    char *text = static_cast<char *>(std::malloc(size + 2));
    size_t got = 0;
    while (text != nullptr && got < size) {
        const ssize_t n = read(fd, text + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (text == nullptr || got != size) {
        std::fprintf(stderr, "failed to read data from file\n");
        std::free(text);
        return nullptr;
    }
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    }
    if (size > 0 && text[size - 1] != '\n') {
        text[got++] = '\n';
    }
    text[got] = '\0';
    *length = got;
    return text;
}

int open_line(const char *port)
{
    const int fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror("open()");
        return -1;
    }
    if (const char *step = pmic_line_setup(fd, true)) {
        std::perror(step);
        close(fd);
        return -1;
    }
    return fd;
}

// -r, -R, -j, -P: one command, its answer shown; the exit status is 1 whatever
// the answer.
void single_command(int fd, Mode mode)
{
    pmic_reader reader;
    reader.fd = fd;
    int code = 0;
    if (mode == Mode::ping) {
        std::printf("Checking state of device...");
        std::fflush(stdout);
        code = pmic_ping(reader);
        if (code == PMIC_CODE_PM || code == PMIC_CODE_IAP) {
            std::printf(" %s\n", code == PMIC_CODE_PM ? "PM" : "IAP");
        } else if (code >= 0) {
            std::printf(" %03d\n", code);
        } else {
            std::printf("\n");
        }
        return;
    }
    const char *word = mode == Mode::reset ? "r" : mode == Mode::reset_upper ? "R" : "j";
    std::printf("Sending '%s'...", word);
    std::fflush(stdout);
    if (pmic_command(reader, pmic_word(word), &code)) {
        std::printf(" %03d\n", code);
    } else {
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    Config config;
    switch (parse_command_line(argc, argv, config)) {
    case Parsed::exit_ok:
        return 0;
    case Parsed::exit_usage:
        return 255;
    case Parsed::run:
        break;
    }
    if (config.mode != Mode::program) {
        const int fd = open_line(config.port);
        if (fd >= 0) {
            single_command(fd, config.mode);
            close(fd);
        }
        return 1;
    }
    if (config.file == nullptr) {
        std::fprintf(stderr, "No filename specified; try '--help' for more information\n");
        return 1;
    }
    size_t length = 0;
    char *text = read_file(config.file, &length);
    if (text == nullptr) {
        return 1;
    }
    const int fd = open_line(config.port);
    if (fd < 0) {
        std::free(text);
        return 1;
    }
    const int rc = programFile(fd, text, length);
    close(fd);
    std::free(text);
    return rc == 0 ? 0 : 255;
}
