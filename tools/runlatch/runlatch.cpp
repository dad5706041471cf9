// runlatch service pidfile program [arguments...]: starts a daemon that puts
// itself into the background and, once its pid file is there, hands its
// process id to the service supervisor ("msvc -P<pid> service"), so that a
// supervisor that expects its services in the foreground can track it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

extern char **environ;

namespace
{

constexpr int kAttempts = 30;      // one second apart
constexpr size_t kPidTextMax = 98; // octets of the pid file that are passed on

// The supervisor takes the leading number of the text as the process id.
// Text without one (garbage, an empty line, 0) would give it a process id of
// 0 or some other process: such a file is not passed on.
bool holds_process_id(const char *text)
{
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    bool nonzero = false;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        nonzero = nonzero || *p != '0';
    }
    return p != text && nonzero;
}

// Runs "msvc" through the PATH search; without PATH the list is
// "/bin:/usr/bin:" (the current directory last). Returns only on failure.
void run_supervisor(char *pid_argument, char *service)
{
    char name[] = "msvc";
    char *args[] = {name, pid_argument, service, nullptr};
    if (getenv("PATH") == nullptr) {
        // The search list goes into our environment only for the search: the
        // supervisor gets the environment we were given.
        size_t n = 0;
        while (environ[n] != nullptr) {
            ++n;
        }
        char **given = static_cast<char **>(malloc((n + 1) * sizeof(char *)));
        if (given != nullptr) {
            memcpy(given, environ, (n + 1) * sizeof(char *));
            if (setenv("PATH", "/bin:/usr/bin:", 1) == 0) {
                execvpe(name, args, given);
                return;
            }
        }
    }
    execvp(name, args);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        printf("usage: runlatch service /var/run/daemon.pid /usr/sbin/daemon args...\n");
        return 0;
    }
    char *service = argv[1];
    const char *pidfile = argv[2];

    if (unlink(pidfile) != 0 && errno != ENOENT) {
        perror("could not remove pid file");
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        perror("could not fork");
        return 2;
    }
    if (child == 0) {
        if (argc > 3) {
            execve(argv[3], argv + 3, environ); // the path as written, no search
        } else {
            errno = ENOENT; // no program named
        }
        perror("execvp failed");
        _exit(3);
    }

    char text[2 + kPidTextMax + 1] = "-P";
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        ssize_t n = -1;
        const int fd = open(pidfile, O_RDONLY);
        if (fd >= 0) {
            n = read(fd, text + 2, kPidTextMax);
            close(fd);
        }
        if (n <= 0) {
            sleep(1);
            continue;
        }
        if (text[2 + n - 1] == '\n') {
            --n;
        }
        text[2 + n] = '\0';
        if (!holds_process_id(text + 2)) {
            fprintf(stderr, "pid file %s holds no process id: \"%s\"\n", pidfile, text + 2);
            return 0;
        }
        run_supervisor(text, service);
        perror("execvp failed");
        return 0;
    }
    return 0;
}
