// runlatch service pidfile program [arguments...]: starts a daemon that puts
// itself into the background and, once its pid file is there, hands its
// process id to the service supervisor ("msvc -P<pid> service"), so that a
// supervisor that expects its services in the foreground can track it.
#include "pidfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

extern char **environ;

namespace
{

constexpr int kAttempts = 30; // one second apart
constexpr size_t kExcerptSize = 4 * kPidExcerptOctets + 4;

// Runs "msvc" through the PATH search. Without PATH only "/bin" and
// "/usr/bin" are searched: the current directory of a launcher that runs as
// root is no place to take programs from. Returns only on failure, with errno
// as the search leaves it.
void run_supervisor(char *pid_argument, char *service)
{
    char name[] = "msvc";
    char *args[] = {name, pid_argument, service, nullptr};
    if (getenv("PATH") != nullptr) {
        execvp(name, args);
        return;
    }
    bool denied = false;
    for (const char *path : {"/bin/msvc", "/usr/bin/msvc"}) {
        execve(path, args, environ);
        if (errno == ENOEXEC) {
            // A script without its interpreter line, run as the search would.
            char shell[] = "/bin/sh";
            char *with_shell[] = {shell, const_cast<char *>(path), pid_argument, service, nullptr};
            execve(shell, with_shell, environ);
        }
        denied = denied || errno == EACCES;
    }
    errno = denied ? EACCES : ENOENT;
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
    bool told = false;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const ssize_t n = pid_file_read(pidfile, text + 2, kPidTextMax);
        if (n == kPidFileOdd && !told) {
            // Said once: the attempts go on, a daemon may still replace it.
            fprintf(stderr, "pid file %s is not a regular file\n", pidfile);
            told = true;
        }
        if (n <= 0) {
            sleep(1);
            continue;
        }
        const size_t length = pid_text_length(text + 2, static_cast<size_t>(n));
        text[2 + length] = '\0';
        if (!holds_process_id(text + 2, length)) {
            char shown[kExcerptSize];
            pid_text_excerpt(text + 2, length, shown, sizeof shown);
            fprintf(stderr, "pid file %s holds no process id: \"%s\"\n", pidfile, shown);
            return 0;
        }
        run_supervisor(text, service);
        perror("execvp failed");
        return 0;
    }
    return 0;
}
