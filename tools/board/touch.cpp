#include "touch.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

int open_input(const char *path, bool verbose)
{
    for (;;) {
        const int fd = open(path, O_RDONLY);
        if (fd >= 0) {
            if (verbose) {
                printf("in opened\n");
            }
            return fd;
        }
        perror("open device failed");
        sleep(1);
    }
}

// Opens the sample pipe, which must be a FIFO: never through a link (one
// planted at the name would have a root tapcal write over the link's
// target) and never into whatever else stands there. Waits for a reader.
// -1 after printing why.
int open_output(const char *path)
{
    struct stat named {
    };
    if (lstat(path, &named) != 0) {
        perror("open()/mknod()");
        return -1;
    }
    if (!S_ISFIFO(named.st_mode)) {
        fprintf(stderr, "open()/mknod(): %s is not a FIFO\n", path);
        return -1;
    }
    const int fd = open(path, O_WRONLY | O_NOFOLLOW);
    if (fd < 0) {
        perror("open()/mknod()");
        return -1;
    }
    // The name may have been replaced while we waited for the reader.
    struct stat opened {
    };
    if (fstat(fd, &opened) != 0 || !S_ISFIFO(opened.st_mode) || opened.st_dev != named.st_dev ||
        opened.st_ino != named.st_ino) {
        close(fd);
        fprintf(stderr, "open()/mknod(): %s is not a FIFO\n", path);
        return -1;
    }
    return fd;
}

void print_raw(const TouchInputEvent &ev)
{
    printf("%04x %04x %08i\n", ev.type, ev.code, ev.value);
}

} // namespace

int32_t touch_integer(const char *text)
{
    if (text == nullptr) {
        return 0;
    }
    // long long, not long: 64 bits on the target as on the host, so that
    // both pin a value beyond 32 bits the same way.
    const long long v = strtoll(text, nullptr, 10);
    if (v > INT32_MAX) {
        return INT32_MAX;
    }
    if (v < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(v);
}

bool touch_readEvent(int fd, TouchInputEvent &ev)
{
    auto *p = reinterpret_cast<unsigned char *>(&ev);
    size_t got = 0;
    while (got < sizeof ev) {
        const ssize_t n = read(fd, p + got, sizeof ev - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n == 0) {
                errno = 0; // end of file, told apart from a read error
            }
            return false;
        }
    }
    return true;
}

TouchAxisCalibration touch_calibration(char axis)
{
    char exp0[] = "TOUCHCAL_.0_EXP";
    char exp1[] = "TOUCHCAL_.1_EXP";
    char cur0[] = "TOUCHCAL_.0_CUR";
    char cur1[] = "TOUCHCAL_.1_CUR";
    exp0[9] = exp1[9] = cur0[9] = cur1[9] = axis;
    TouchAxisCalibration cal;
    cal.exp0 = touch_integer(getenv(exp0));
    cal.cur0 = touch_integer(getenv(cur0));
    const int64_t e1 = touch_integer(getenv(exp1));
    const int64_t c1 = touch_integer(getenv(cur1));
    if (c1 != cal.cur0) {
        cal.scale = static_cast<double>(e1 - cal.exp0) / static_cast<double>(c1 - cal.cur0);
    }
    return cal;
}

int16_t touch_calibrate(const TouchAxisCalibration &cal, int32_t raw)
{
    const int64_t offset = static_cast<int64_t>(raw) - cal.cur0;
    const double v = cal.exp0 + static_cast<double>(offset) * cal.scale;
    // Truncated toward zero, then kept as its low 16 bits. Values beyond
    // what a 64-bit integer holds are pinned first: converting them would be
    // undefined.
    int64_t whole;
    if (v >= 9.2e18) {
        whole = INT64_MAX;
    } else if (v <= -9.2e18) {
        whole = INT64_MIN;
    } else {
        whole = static_cast<int64_t>(v);
    }
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(whole) & 0xFFFFu));
}

TouchEventKind touch_classify(const TouchInputEvent &ev)
{
    if (ev.type == kEvKey) {
        return ev.code == kBtnTouch ? TouchEventKind::contact : TouchEventKind::other_key;
    }
    if (ev.type == kEvAbs) {
        switch (ev.code) {
        case 0:
        case 2:
            return TouchEventKind::axis_x;
        case 1:
        case 3:
            return TouchEventKind::axis_y;
        default:
            return TouchEventKind::other_abs;
        }
    }
    return TouchEventKind::other_type;
}

bool touch_update(TouchState &state, const TouchAxisCalibration &cx, const TouchAxisCalibration &cy,
                  const TouchInputEvent &ev)
{
    switch (touch_classify(ev)) {
    case TouchEventKind::contact:
        state.sample.touch = static_cast<int16_t>(ev.value);
        if (ev.value != 0) {
            state.x_seen = state.y_seen = false;
        }
        break;
    case TouchEventKind::axis_x:
        state.sample.x = touch_calibrate(cx, ev.value);
        state.x_seen = true;
        break;
    case TouchEventKind::axis_y:
        state.sample.y = touch_calibrate(cy, ev.value);
        state.y_seen = true;
        break;
    default:
        return false;
    }
    return state.sample.touch == 0 || (state.x_seen && state.y_seen);
}

int touch_main(int argc, char **argv, bool verbose)
{
    // Line by line even into a pipe: whoever watches the test sees each event.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *device = argc > 1 ? argv[1] : "/dev/input/event0";
    if (verbose) {
        printf("tapprobe started\n");
    }
    int in = open_input(device, verbose);

    int out = 3; // opened by the caller when no pipe is named
    if (argc > 2) {
        if (verbose) {
            printf("before mknod\n");
        }
        mkfifo(argv[2], 0600); // an existing pipe is fine
        if (verbose) {
            printf("after mknod\n");
        }
        out = open_output(argv[2]);
        if (out < 0) {
            exit(1);
        }
    }
    printf("out opened\n");

    const TouchAxisCalibration cx = touch_calibration('X');
    const TouchAxisCalibration cy = touch_calibration('Y');
    signal(SIGPIPE, SIG_IGN); // a reader that goes away does not stop us

    TouchState state;
    for (;;) {
        TouchInputEvent ev;
        if (!touch_readEvent(in, ev)) {
            // The device ended (a feeding pipe closed) or fails for good (a
            // directory at its path): wait as for a missing device, so that
            // it is not opened and read again in a busy loop.
            if (errno != 0) {
                perror("read device failed");
            }
            close(in);
            sleep(1);
            in = open_input(device, verbose);
            continue;
        }
        const TouchEventKind kind = touch_classify(ev);
        if (verbose) {
            printf("[%u.%06u] ", ev.sec, ev.usec);
            switch (kind) {
            case TouchEventKind::contact:
                printf("TOUCH=%u", static_cast<unsigned>(ev.value));
                break;
            case TouchEventKind::other_key:
                printf("EV_KEY: ev.code %d\n", ev.code);
                print_raw(ev);
                continue;
            case TouchEventKind::other_abs:
                printf("EV_ABS: ev.code %d\n", ev.code);
                print_raw(ev);
                continue;
            case TouchEventKind::other_type:
                printf("ev.type %d\n", ev.type);
                print_raw(ev);
                continue;
            default:
                break;
            }
        }
        const bool due = touch_update(state, cx, cy, ev);
        if (verbose && kind == TouchEventKind::axis_x) {
            printf("x=%4i (%i)", state.sample.x, ev.value);
        } else if (verbose && kind == TouchEventKind::axis_y) {
            printf("y=%4i (%i)", state.sample.y, ev.value);
        }
        if (due) {
            ssize_t ignored = write(out, &state.sample, sizeof state.sample);
            (void)ignored; // a reader that is gone or slow loses the sample, nothing else
            if (verbose) {
                printf(" ->\t[%u, %i,%i]\n", static_cast<unsigned>(state.sample.touch), state.sample.x,
                       state.sample.y);
            }
        } else if (verbose && kind != TouchEventKind::other_type && kind != TouchEventKind::other_key &&
                   kind != TouchEventKind::other_abs) {
            printf("\n"); // contact or axis without a sample due
        }
    }
}
