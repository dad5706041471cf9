// cbcheck: verifies the numbered message sequence on a CAN device (or on
// records from standard input): identifiers 0..2042, lengths 0..8, one
// sequence number per length cycle carried in the data.
#include "cbseq.h"
#include "cbtool.h"

namespace
{

struct Options {
    long rate = 0; // any non-zero rate is set
    bool debug = false;
    bool extended = false;
    bool from_stdin = false;
    char device[300] = "/dev/can0";
};

void help(const char *program)
{
    fprintf(stderr, "usage: %s options\n", program);
    fprintf(stderr,
            " -b baudrate   change the bit rate, in Kbit/s (default: no change)\n"
            " -d            debug: print every record\n"
            " -e            extended identifiers (wrap after 0x1FFFFFFA, not 2042)\n"
            " -D device     /dev/<device> (default can0); \"stdin\" reads records from standard input\n"
            " -V            version\n");
}

// -1: go on; otherwise the exit status.
int options(int argc, char **argv, Options &o)
{
    int opt;
    while ((opt = getopt(argc, argv, "b:dehrs:n:D:t:T:V")) != -1) {
        switch (opt) {
        case 'b':
            if (!number(optarg, o.rate)) {
                fprintf(stderr, "%s: -b: not a bit rate: '%s'\n", argv[0], optarg);
                return 2;
            }
            break;
        case 'd':
            o.debug = true;
            break;
        case 'e':
            o.extended = true;
            break;
        case 'D':
            if (strcmp(optarg, "stdin") == 0)
                o.from_stdin = true;
            else
                device_name(o.device, sizeof o.device, optarg);
            break;
        case 'V':
            printf("%s cbcheck V1.0\n", argv[0]);
            return 0;
        case 'r':
        case 's':
        case 'n':
        case 't':
        case 'T':
            break; // accepted, no effect
        default:
            help(argv[0]);
            return 0;
        }
    }
    return -1;
}

// Up to 9 records at the front of `in`: their number, or the read result
// when it is 0 or less. From standard input only whole records count.
int read_records(int fd, bool from_stdin, RecordStream &in)
{
    for (;;) {
        if (!from_stdin)
            return static_cast<int>(read(fd, in.rx, 9));
        ssize_t r = read(fd, in.room(), in.room_size());
        if (r <= 0)
            return static_cast<int>(r);
        int got = in.added(static_cast<size_t>(r));
        if (got > 0)
            return got;
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (int status = options(argc, argv, o); status >= 0)
        return status;
    int fd = 0;
    if (!o.from_stdin) {
        fd = open_node(o.device, O_RDWR);
        if (fd < 0) {
            fprintf(stderr, "open error %d;", errno);
            perror(o.device);
            return 1;
        }
        if (o.debug)
            printf("opened %s succesful, got can_fd = %d\n", o.device, fd);
        if (o.rate != 0) {
            if (o.debug)
                printf("change Bit-Rate to %d Kbit/s\n", static_cast<int>(o.rate));
            fflush(stdout);
            set_rate(fd, o.rate, argv[0]);
        }
    }

    SeqCheck check;
    check.last_id = o.extended ? 0x1FFFFFFAu : 2042u;
    check.debug = o.debug;
    RecordStream in;
    fd_set rd, wr;
    while (wait_ready(fd, false, false, rd, wr)) {
        int got = read_records(fd, o.from_stdin, in);
        printf("%d ", got);
        fflush(stdout);
        if (got <= 0)
            break;
        for (int i = 0; i < got; ++i)
            check_record(check, in.rx[i], stdout);
        in.used();
        fflush(stdout);
    }
    fflush(stdout);
    if (!o.from_stdin) {
        if (close(fd) != 0) {
            fprintf(stderr, "close error %d;", errno);
            perror(o.device);
            return 1;
        }
        if (o.debug)
            printf("closed fd = %d succesful\n", fd);
    }
    return 0;
}
