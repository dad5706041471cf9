#include "pidfile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ssize_t pid_file_read(const char *path, char *out, size_t max)
{
    // Not following a link: a link planted there would show us (and the
    // supervisor) some other file. Not blocking: a FIFO there has no writer.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) {
        return errno == ELOOP ? kPidFileOdd : -1;
    }
    struct stat st {
    };
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return kPidFileOdd;
    }
    ssize_t n;
    do {
        n = read(fd, out, max);
    } while (n < 0 && errno == EINTR);
    close(fd);
    return n;
}

size_t pid_text_length(const char *text, size_t length)
{
    return length > 0 && text[length - 1] == '\n' ? length - 1 : length;
}

bool holds_process_id(const char *text, size_t length)
{
    size_t i = 0;
    while (i < length && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    const size_t first = i;
    bool nonzero = false;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        nonzero = nonzero || text[i] != '0';
    }
    return i != first && nonzero;
}

void pid_text_excerpt(const char *text, size_t length, char *out, size_t size)
{
    size_t used = 0;
    // Appends a piece only while it fits whole, with room for the NUL.
    auto put = [&](const char *piece, size_t n) {
        if (used + n < size) {
            for (size_t k = 0; k < n; ++k) {
                out[used++] = piece[k];
            }
            return true;
        }
        return false;
    };
    bool whole = true;
    for (size_t i = 0; i < length && whole; ++i) {
        if (i == kPidExcerptOctets) {
            whole = false;
            break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        char piece[5];
        size_t n = 2;
        piece[0] = '\\';
        switch (c) {
        case '"':
        case '\\':
            piece[1] = static_cast<char>(c);
            break;
        case '\n':
            piece[1] = 'n';
            break;
        case '\r':
            piece[1] = 'r';
            break;
        case '\t':
            piece[1] = 't';
            break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                piece[0] = static_cast<char>(c);
                n = 1;
            } else {
                std::snprintf(piece, sizeof piece, "\\x%02X", c);
                n = 4;
            }
        }
        whole = put(piece, n);
    }
    if (!whole) {
        put("...", 3);
    }
    if (size > 0) {
        out[used] = '\0';
    }
}
