// portweaver: brings the Telit modem up, switches it into the 27.010
// multiplexer and relays its channels to the kernel multiplexer device.
#include "cmux.h"
#include "frame.h"
#include "log.h"
#include "muxctl.h"
#include "serport.h"

#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <grp.h>
#include <initializer_list>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

constexpr const char *SERPORT_PATH = "/dev/ttySA0";
constexpr const char *MUX_CTL_PATH = "/dev/cmux";

constexpr int DAEMON_FG = 0;
constexpr int DAEMON_BG = 1;
constexpr int DAEMON_STOP = 2;

// The keep-alive: a TEST after 60 s of silence, 5 s after a failed one, and
// the end after three failures in a row.
constexpr int KEEPALIVE_MS = 60000;
constexpr int KEEPALIVE_RETRY_MS = 5000;
constexpr unsigned KEEPALIVE_MAX_FAILURES = 3;
constexpr unsigned POLL_FAILED = 99;

constexpr size_t RECV_BUFFER_SIZE = 0x8000;

struct options {
    const char *user = nullptr;
    const char *script = nullptr;
    int daemon_mode = DAEMON_FG;
};

volatile sig_atomic_t signal_flags[NSIG];

const int handled_signals[] = {SIGALRM, SIGUSR1, SIGUSR2, SIGHUP};

void signal_handler(int signo)
{
    for (int s : handled_signals)
        if (signo == s)
            signal_flags[signo] = 1;
}

// How long the rest of a frame may take to come (a modem under load pauses
// mid-frame) before the decoder reads it with its own time-out.
constexpr int PARTIAL_FRAME_MS = 1000;
// Kernel messages read at one wake-up at most: the modem's side gets its
// turn in between.
constexpr int KERNEL_BATCH = 16;

struct service {
    cmux_ports *ports;
    mux_ctl *mux;
    // When the read-ahead began to hold only part of a frame (0: it does not).
    int64_t partial_since;
    uint8_t recv_buffer[RECV_BUFFER_SIZE];
};

// 1: continue, 0: stop with the status in *status.
int parse_options(int argc, char **argv, options &opts, int &status)
{
    static const option long_options[] = {
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'v'},
        {"user", required_argument, nullptr, 'u'},   {"daemon", required_argument, nullptr, 'd'},
        {"script", required_argument, nullptr, 's'}, {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (;;) {
        int c = getopt_long(argc, argv, "", long_options, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case 'h':
            printf("Usage:\n  portweaver [--daemon fg|bg|stop] [--user <username>] [--script <script>]\n");
            status = 0;
            return 0;
        case 'v':
            printf("portweaver daemon version 0.1\n");
            status = 0;
            return 0;
        case 'u':
            opts.user = optarg;
            break;
        case 's':
            opts.script = optarg;
            break;
        case 'd':
            if (strcmp(optarg, "fg") == 0) {
                opts.daemon_mode = DAEMON_FG;
            } else if (strcmp(optarg, "bg") == 0) {
                opts.daemon_mode = DAEMON_BG;
            } else if (strcmp(optarg, "stop") == 0) {
                opts.daemon_mode = DAEMON_STOP;
            } else {
                fprintf(stderr, "unsupport daemon mode\n");
                status = 1;
                return 0;
            }
            break;
        default:
            fprintf(stderr, "Unsupported option; try '--help' for more information\n");
            status = 1;
            return 0;
        }
    }
    if (optind < argc) {
        // Stray words would otherwise be ignored silently.
        fprintf(stderr, "Unsupported option; try '--help' for more information\n");
        status = 1;
        return 0;
    }
    return 1;
}

void install_signals()
{
    struct sigaction sa {
    };
    sa.sa_handler = signal_handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int s : handled_signals) {
        sigaction(s, &sa, nullptr);
        sigaddset(&blocked, s);
    }
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

int switch_user(const char *user)
{
    passwd *pw = getpwnam(user);
    if (!pw) {
        char *end = nullptr;
        errno = 0;
        long uid = strtol(user, &end, 10);
        if (*user && *end == '\0' && errno == 0 && uid >= 0)
            pw = getpwuid(static_cast<uid_t>(uid));
    }
    if (!pw) {
        fprintf(stderr, "can not find user '%s'\n", user);
        return 0;
    }
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    if (initgroups(pw->pw_name, gid) < 0) {
        perror("initgroups()");
        return 0;
    }
    endpwent();
    endgrent();
    if (setregid(gid, gid) < 0) {
        perror("setregid()");
        return 0;
    }
    if (setreuid(uid, uid) < 0) {
        perror("setreuid()");
        return 0;
    }
    if (getgid() != gid || getuid() != uid) {
        fprintf(stderr, "uid/gid mismatch; aborting\n");
        return 0;
    }
    return 1;
}

// A daemon started while the modem still multiplexes for an earlier one
// gets no answer to "AT": close the multiplexer down the 27.010 way (CLD,
// then DISC on DLCI 0 for a modem that lost the control channel's state)
// and let the modem settle before talking AT again.
void close_down_multiplexer(serport *port)
{
    uint8_t cld[2] = {MUX_MSG_CLD_CMD, 0x01};
    msg_bufv info{cld, sizeof cld};
    const uint8_t uih[2] = {0x03, MUX_CTL_UIH};
    const uint8_t disc[2] = {0x03, MUX_CTL_DISC};
    portweaver_frame_send(port, uih, 1, &info);
    portweaver_frame_send(port, disc, 0, nullptr);
    port->ops->flush(port, 100);
    timespec settle{0, 300000000};
    nanosleep(&settle, nullptr);
    portweaver_serport_discard_input(port);
}

bool first_at(serport *port)
{
    // A modem that has just woken up may swallow the first "AT".
    return at_command(port, "AT", "OK", 200) || at_command(port, "AT", "OK", 200);
}

int modem_init(serport *port)
{
    struct step {
        const char *command;
        int ms;
        bool switches; // its OK puts the modem into the multiplexer
    };
    static const step steps[] = {
        {"AT+CMEE=2", 100, false},    {"AT+IPR=115200", 100, false}, {"AT#SELINT=2", 100, false},
        {"ATE0V1&K3&D2", 200, false}, {"AT+CMUX=0", 100, true},
    };
    if (!first_at(port)) {
        close_down_multiplexer(port);
        if (!first_at(port)) {
            mux_log(LOG_CRIT, "modem did not answer \"%s\" with OK", "AT");
            return 0;
        }
    }
    for (const step &s : steps) {
        // An answer that comes late is dropped before the second try, so
        // that it is never taken for the answer to a later command.
        if (at_command(port, s.command, "OK", s.ms))
            continue;
        at_reply second = at_exchange(port, s.command, "OK", s.ms);
        if (second == at_reply::expected)
            continue;
        if (second == at_reply::none && s.switches) {
            // The first "AT+CMUX=0" may have switched the modem, its OK
            // lost among late answers: a multiplexing modem takes the
            // second as AT text and says nothing. DLCI 0's SABMs find out.
            mux_log(LOG_ERR, "no answer to \"%s\"; trying the multiplexer", s.command);
            break;
        }
        mux_log(LOG_CRIT, "modem did not answer \"%s\" with OK", s.command);
        return 0;
    }
    // What comes before the first frame is the modem's command mode.
    port->quiet_hunt = 1;
    return 1;
}

void handle_uih_data_frame(service &svc, const mux_frame &frame)
{
    assert(frame.num == 1 && "bufv->num == 1");
    // Frames are decoded only when nothing waits for the kernel device, so
    // the octets are taken; they go with the data read ahead behind them.
    portweaver_mux_out_add(svc.mux, frame.dlci - 1, frame.bufv->data, frame.bufv->len);
}

void send_modem_status(service &svc, const mux_frame &frame)
{
    mux_msg_hdr hdr{static_cast<uint8_t>(frame.msc_dlci - 1), MUX_MSG_MCTRL, 0,
                    portweaver_modem_status(frame.v24, frame.has_break)};
    if (!mux_ctl_write_msg(svc.mux, &hdr, 0))
        mux_log(LOG_CRIT, "failed to send mctrl msgbuf: %s", strerror(errno));
}

// One frame through the decoder and the channel machine.
void decode_frame(service &svc)
{
    msg_bufv rbuf{svc.recv_buffer, sizeof svc.recv_buffer};
    mux_frame frame;
    if (!frame_recv(&frame, svc.ports->serport, 1, &rbuf))
        return;
    if (frame_handle(svc.ports, &frame) != FRAME_FOR_LOOP)
        return;
    if (frame.type == MUX_UIH && frame.dlci != 0) {
        handle_uih_data_frame(svc, frame);
    } else if (frame.type == MUX_UIH && frame.num == MUX_CTL_MSC) {
        // (The command was answered by the channel machine.)
        send_modem_status(svc, frame);
    } else {
        frame_dump(LOG_ERR, "unhandled CMUX frame ", &frame);
    }
}

// Hands the data frames at the front of the read-ahead to the kernel from
// where they are, gathered into messages, while their channels are open
// and the device takes them. What comes after them: `data` when the next
// one could not go because the device is full.
frame_ahead forward_data_frames(service &svc)
{
    serport *port = svc.ports->serport;
    const uint8_t *p = portweaver_serport_ahead(port);
    const uint8_t *const end = p + portweaver_serport_buffered(port);
    bool shared = port->shared_flag;
    mux_data_frame f;
    frame_ahead ahead;
    while ((ahead = portweaver_frame_at(p, end, shared, &f)) == frame_ahead::data) {
        if (svc.ports->port[f.dlci].state != PORT_CONNECTED) {
            ahead = frame_ahead::other; // the decoder says so
            break;
        }
        if (!portweaver_mux_out_add(svc.mux, f.dlci - 1, f.info, f.len))
            break;
        p = f.next;
        shared = true;
    }
    if (p != portweaver_serport_ahead(port))
        portweaver_frames_take(port, p);
    return ahead;
}

// The frames in the read-ahead: data frames of open channels go to the
// kernel in place; everything else through the decoder. Stops when the
// kernel device is full or only part of a frame is in.
void handle_read_ahead(service &svc)
{
    frame_ahead ahead;
    while ((ahead = forward_data_frames(svc)) == frame_ahead::other) {
        // What this frame brings about comes after the data before it.
        if (!portweaver_mux_out_flush(svc.mux))
            break;
        decode_frame(svc);
    }
    portweaver_mux_out_flush(svc.mux);
    if (ahead != frame_ahead::partial || portweaver_serport_buffered(svc.ports->serport) == 0)
        svc.partial_since = 0;
    else if (svc.partial_since == 0)
        svc.partial_since = portweaver_now_ms();
}

void handle_serial_input(service &svc)
{
    ssize_t n = portweaver_serport_fill(svc.ports->serport);
    if (n == 0)
        mux_log(LOG_CRIT, "unexpected EOF while reading from serport");
    if (n > 0)
        handle_read_ahead(svc);
}

// A message is read only when all of its frames fit into the ring and the
// hold-back queues: a message cut short would lose data.
bool kernel_message_fits(const service &svc, size_t whole_message)
{
    const serport *port = svc.ports->serport;
    return portweaver_serport_queued(port) <= SERPORT_NEARLY_FULL && portweaver_serport_room(port) >= whole_message &&
           portweaver_ports_queue_room(svc.ports) >= svc.mux->info.msg_size;
}

void handle_kernel_input(service &svc, size_t whole_message)
{
    for (int i = 0; i < KERNEL_BATCH && kernel_message_fits(svc, whole_message); ++i) {
        if (i > 0 && !mux_ctl_readable(svc.mux))
            break;
        mux_msg_dispatch(svc.ports, svc.mux);
    }
}

void handle_signals(service &svc)
{
    if (signal_flags[SIGALRM]) {
        signal_flags[SIGALRM] = 0;
        int dtr = TIOCM_DTR;
        ioctl(svc.ports->serport->fd, TIOCMBIS, &dtr);
        // Give the modem time to wake up before traffic follows.
        timespec pause{0, 150000000};
        nanosleep(&pause, nullptr);
    }
    if (signal_flags[SIGUSR1]) {
        signal_flags[SIGUSR1] = 0;
        signal_flags[SIGHUP] = 0;
        port_send_psc(svc.ports, 0);
    }
    signal_flags[SIGUSR2] = 0;
    signal_flags[SIGHUP] = 0;
}

// Milliseconds until a SABM or DISC waiting for its answer, or the rest of a
// frame, wants the loop (-1: neither).
int timers_ms(const service &svc)
{
    int ms = portweaver_ports_timeout(svc.ports);
    if (svc.partial_since) {
        int64_t left = svc.partial_since + PARTIAL_FRAME_MS - portweaver_now_ms();
        int partial_ms = left > 0 ? static_cast<int>(left) : 0;
        if (ms < 0 || partial_ms < ms)
            ms = partial_ms;
    }
    return ms;
}

// The multiplexer service; returns the exit status.
int run_loop(service &svc)
{
    serport *port = svc.ports->serport;
    sigset_t wait_mask;
    sigfillset(&wait_mask);
    for (int s : {SIGALRM, SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGINT})
        sigdelset(&wait_mask, s);
    unsigned keepalive_failures = 0;
    const size_t whole_message = portweaver_data_frames_size(portweaver_mux_payload_max(svc.mux));
    while (keepalive_failures < KEEPALIVE_MAX_FAILURES) {
        bool backlog = portweaver_mux_out_waiting(svc.mux);
        bool mux_writable = !backlog && mux_ctl_writable(svc.mux);
        pollfd fds[2] = {};
        fds[0].fd = port->fd;
        fds[0].events =
            static_cast<short>((mux_writable ? POLLIN : 0) | (port->ops->has_pending(port) ? POLLOUT : 0));
        fds[1].fd = svc.mux->fd;
        fds[1].events = static_cast<short>((kernel_message_fits(svc, whole_message) ? POLLIN : 0) |
                                           (backlog || svc.mux->writable != MUX_WRITABLE_YES ? POLLOUT : 0));
        int ms = keepalive_failures == 0 ? KEEPALIVE_MS : KEEPALIVE_RETRY_MS;
        int retry_ms = timers_ms(svc);
        bool for_retry = retry_ms >= 0 && retry_ms < ms;
        if (for_retry)
            ms = retry_ms;
        timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
        int rc = ppoll(fds, 2, &timeout, &wait_mask);
        if (rc < 0) {
            if (errno != EINTR) {
                mux_log(LOG_CRIT, "poll() failed: %s", strerror(errno));
                keepalive_failures = POLL_FAILED;
            }
        } else if (rc == 0 && for_retry) {
            // (the retransmissions below)
        } else if (rc == 0) {
            if (port_send_test(svc.ports))
                keepalive_failures = 0;
            else
                ++keepalive_failures;
        } else {
            if (fds[0].revents & POLLOUT) {
                if (!port->ops->flush(port, 0))
                    mux_log(LOG_ERR, "failed to send pending data");
            }
            // The device takes messages again: first what waited, then the
            // frames read ahead behind it.
            if (fds[1].revents & POLLOUT && backlog && portweaver_mux_out_flush(svc.mux))
                handle_read_ahead(svc);
            if (fds[0].revents & POLLIN)
                handle_serial_input(svc);
            // (Held-back data released by the modem may have filled the
            // ring since the wait began.)
            if (fds[1].revents & POLLIN)
                handle_kernel_input(svc, whole_message);
            // A line or device that has gone away reports this at once on
            // every wait: end instead of spinning.
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                mux_log(LOG_CRIT, "serial line hung up; aborted");
                return 1;
            }
            if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                mux_log(LOG_CRIT, "multiplexer device hung up; aborted");
                return 1;
            }
        }
        if (svc.partial_since && portweaver_now_ms() - svc.partial_since >= PARTIAL_FRAME_MS &&
            !portweaver_mux_out_waiting(svc.mux)) {
            // The rest of the frame did not come: the decoder waits its
            // own time-out for it, then drops what it has.
            svc.partial_since = 0;
            decode_frame(svc);
            handle_read_ahead(svc);
        }
        handle_signals(svc);
        if (!portweaver_ports_tick(svc.ports)) {
            // The supervisor starts us again: the modem may need a new
            // bring-up.
            mux_log(LOG_CRIT, "modem did not open DLCI 0 (no UA after %d SABMs); aborted", MUX_N2 + 1);
            return 1;
        }
        if (svc.ports->mux_down) {
            mux_log(LOG_CRIT, "modem closed DLCI 0; aborted");
            return 1;
        }
        portweaver_ports_drain(svc.ports);
    }
    mux_log(LOG_CRIT, "too much errors during TEST commands; aborted");
    // The modem stopped answering: that is a failure for whoever restarts us.
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    options opts;
    int status = 0;
    if (!parse_options(argc, argv, opts, status))
        return status;

    if (opts.script && system(opts.script) != 0) {
        fprintf(stderr, "script failed; aborting\n");
        return 1;
    }

    static service svc;
    svc.ports = cmux_ports_open(SERPORT_PATH);
    if (!svc.ports)
        return 1;
    svc.mux = mux_ctl_open(MUX_CTL_PATH);
    if (!svc.mux) {
        cmux_ports_close(svc.ports);
        return 1;
    }
    auto fail = [] {
        mux_ctl_close(svc.mux);
        cmux_ports_close(svc.ports);
        return 1;
    };

    install_signals();
    if (opts.user && !switch_user(opts.user))
        return fail();
    if (!modem_init(svc.ports->serport))
        return fail();
    if (!port_connect(svc.ports, 0, portweaver_kernel_notify, svc.mux))
        return fail();

    if (opts.daemon_mode == DAEMON_BG && daemon(1, 0) < 0) {
        perror("daemon()");
        return fail();
    }
    if (opts.daemon_mode == DAEMON_STOP && raise(SIGSTOP) != 0) {
        perror("raise()");
        return fail();
    }
    int end = run_loop(svc);
    mux_ctl_close(svc.mux);
    cmux_ports_close(svc.ports);
    return end;
}
