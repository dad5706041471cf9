// portweaver: brings the Telit modem up, switches it into the 27.010
// multiplexer and relays its channels to the kernel multiplexer device.
#include "cmux.h"
#include "frame.h"
#include "log.h"
#include "muxctl.h"
#include "relay.h"
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

struct options {
    const char *user = nullptr;
    const char *script = nullptr;
    int daemon_mode = DAEMON_FG;
};

const int handled_signals[] = {SIGALRM, SIGUSR1, SIGUSR2, SIGHUP};

void signal_handler(int signo)
{
    for (int s : handled_signals)
        if (signo == s)
            relay_signal_flags[signo] = 1;
}

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
    uint8_t cld[2] = {CTLMSG_CLD_CMD, 0x01};
    msg_bufv info{cld, sizeof cld};
    const uint8_t uih[2] = {frame_address(0), CONTROL_UIH};
    const uint8_t disc[2] = {frame_address(0), CONTROL_DISC};
    frame_send(port, uih, 1, &info);
    frame_send(port, disc, 0, nullptr);
    port->ops->flush(port, 100);
    timespec settle{0, 300000000};
    nanosleep(&settle, nullptr);
    serport_discard_input(port);
}

// How much longer than its time-out the bring-up waits for the answer to a
// command still outstanding (a modem busy with a late answer takes its
// commands one at a time), and for late answers of an earlier step before
// the next command goes.
constexpr int OUTSTANDING_GRACE_MS = 1500;

// One step: the command (tried `attempts` times while no answer comes within
// ms), then the grace for an answer still outstanding.
at_reply bring_up_step(at_link &link, const char *command, int ms, int attempts)
{
    at_link_settle(&link, OUTSTANDING_GRACE_MS);
    at_reply reply = at_reply::none;
    for (int i = 0; i < attempts && reply != at_reply::expected; ++i) {
        if (!at_link_send(&link, command))
            return at_reply::other;
        reply = at_link_await(&link, "OK", ms);
    }
    if (reply == at_reply::none)
        reply = at_link_await(&link, "OK", OUTSTANDING_GRACE_MS);
    return reply;
}

bool first_at(at_link &link)
{
    // A modem that has just woken up may swallow the first "AT".
    return bring_up_step(link, "AT", 200, 2) == at_reply::expected;
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
    at_link link{port, 0, 0};
    if (!first_at(link)) {
        close_down_multiplexer(port);
        link = {port, 0, 0};
        if (!first_at(link)) {
            mux_log(LOG_CRIT, "modem did not answer \"%s\" with OK", "AT");
            return 0;
        }
    }
    for (const step &s : steps) {
        at_reply reply = bring_up_step(link, s.command, s.ms, 1);
        if (reply == at_reply::expected)
            continue;
        if (reply == at_reply::none && s.switches) {
            // A modem that multiplexes already takes the command as AT text
            // and says nothing: DLCI 0's SABMs find out.
            mux_log(LOG_ERR, "no answer to \"%s\"; trying the multiplexer", s.command);
            break;
        }
        mux_log(LOG_CRIT, "modem did not answer \"%s\" with OK", s.command);
        return 0;
    }
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

    static relay svc;
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
    if (!port_connect(svc.ports, 0, cmux_kernel_notify, svc.mux))
        return fail();

    if (opts.daemon_mode == DAEMON_BG && daemon(1, 0) < 0) {
        perror("daemon()");
        return fail();
    }
    if (opts.daemon_mode == DAEMON_STOP && raise(SIGSTOP) != 0) {
        perror("raise()");
        return fail();
    }
    // What comes before the first frame is the modem's command mode.
    svc.rx.quiet = 1;
    int end = relay_run(&svc);
    mux_ctl_close(svc.mux);
    cmux_ports_close(svc.ports);
    return end;
}
