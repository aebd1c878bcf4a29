// corvane: run a program as a child and let local processes control it through a FIFO.
//
// Commands are whole reads from the control FIFO: "kill\n", "restart\n", "pause\n",
// "resume\n" and, with -poke, "poke\n". The controller exits with the child's exit code.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// main's locals live on across vfork; the child changes none of them before it execs or exits.
#pragma GCC diagnostic ignored "-Wclobbered"

static constexpr const char *defaultfifo = "/tmp/corvane";
static constexpr const char *usage = "usage: corvane [ options ] program args ...\n";

// Self-pipe: read end, write end. reap is the only writer.
static int pfd[2];

// SIGCHLD handler: one 8-byte record (pid, status) per delivery. pid is 0 when no child
// has ended (a stop or continue) and -1 when the wait failed.
static void reap(int)
{
    int saved = errno;
    int rec[2];
    rec[1] = -1;
    rec[0] = waitpid(-1, &rec[1], WNOHANG);
    ssize_t n = write(pfd[1], rec, sizeof rec);
    (void)n;
    errno = saved;
}

int main(int argc, char **argv)
{
    const char *path = defaultfifo;
    int poke = 0;
    int errors = 0;
    int prog = 1;

    while (prog < argc && argv[prog][0] == '-') {
        const char *a = argv[prog];
        if (!strcmp(a, "-?") || !strcmp(a, "-h") || !strcmp(a, "-help")) {
            fputs(usage, stderr);
            fprintf(stderr, "   -fifo path  FIFO filename (default %s)\n", defaultfifo);
            fputs("   -poke       enable being poked (as kill)\n", stderr);
            return 0;
        } else if (!strcmp(a, "-fifo")) {
            if (prog + 1 < argc) {
                path = argv[++prog];
            } else {
                fputs("missing parameter for -fifo\n", stderr);
                errors++;
            }
        } else if (!strcmp(a, "-poke")) {
            poke++;
        } else {
            fprintf(stderr, "unknown option: %s\n", a);
            errors++;
        }
        prog++;
    }
    if (errors || prog >= argc) {
        fputs(usage, stderr);
        return 2;
    }

    // Tells when the FIFO we hold is removed, renamed or replaced; optional.
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= FD_SETSIZE) {
        close(watch);
        watch = -1;
    }
    int wd = -1;

    int fifo = -1;        // the FIFO's read descriptor, -1 while there is none
    struct stat cur {};   // identity of the FIFO behind fifo
    bool first = true;    // start-up: failures to prepare the FIFO are fatal
    bool reopen = true;
    int restart = 0;
    pid_t child = -1;
    bool spawn = true;
    char cmd[41];

    for (;;) {
        if (reopen) {
            // Make sure a FIFO is at the path (creating it or replacing whatever else is
            // there), then open it. The new descriptor is opened before the old one is
            // closed, so the FIFO never lacks a reader and no writer's bytes are dropped.
            reopen = false;
            const char *failed = nullptr;
            bool made = false;
            struct stat st;
            if (mkfifo(path, 0666) == 0)
                made = true;
            else if (errno != EEXIST)
                failed = "mkfifo";
            else if (stat(path, &st) != 0)
                failed = "stat";
            else if (!S_ISFIFO(st.st_mode)) {
                if (unlink(path) != 0 || mkfifo(path, 0666) != 0)
                    failed = "unlink";
                else
                    made = true;
            }
            if (failed && first) {
                perror(failed);
                return 1;
            }
            int fd = -1;
            if (!failed) {
                // The mode is set through the descriptor actually opened, never by path,
                // so a symlink swapped in meanwhile cannot redirect it to another file.
                fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
                if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || fd >= FD_SETSIZE)) {
                    close(fd);
                    fd = -1;
                    errno = EINVAL;
                }
                if (fd >= 0 && (first || made) && fchmod(fd, 0666) != 0)
                    perror("chmod");
            }
            if (fd < 0)
                perror(first ? "chmod" : "open");
            if (fd >= 0 && watch >= 0 && (st.st_ino != cur.st_ino || st.st_dev != cur.st_dev)) {
                if (wd >= 0)
                    inotify_rm_watch(watch, wd);
                char self[32];
                snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
                wd = inotify_add_watch(watch, self, IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
            }
            if (fifo >= 0)
                close(fifo);
            fifo = fd;
            if (fd >= 0)
                cur = st;
            first = false;
        }

        if (spawn) {
            spawn = false;
            if (child < 0) {
                // pfd before the handler, the handler before the first fork: a child that
                // ends at once leaves its record waiting in the pipe. Descriptors at or
                // above FD_SETSIZE cannot go into select, so count them as exhausted.
                if (pipe2(pfd, O_CLOEXEC) != 0 || (pfd[0] >= FD_SETSIZE && (errno = EMFILE))) {
                    perror("pipe");
                    return 1;
                }
                // A full pipe must never block the handler.
                fcntl(pfd[1], F_SETFL, O_NONBLOCK);
                signal(SIGCHLD, reap);
            }
            // vfork: the child only closes, execs or reports and exits, so it can borrow our
            // memory; copying the page tables for fork would double the restart time.
            child = vfork();
            if (child < 0) {
                perror("fork");
                return 1;
            }
            if (child == 0) {
                close(pfd[0]);
                close(pfd[1]);
                execvp(argv[prog], argv + prog);
                perror(argv[prog]);
                _exit(3);
            }
        }

        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(pfd[0], &rd);
        int bound = pfd[0];
        if (fifo >= 0) {
            FD_SET(fifo, &rd);
            bound = fifo > bound ? fifo : bound;
        }
        if (watch >= 0) {
            FD_SET(watch, &rd);
            bound = watch > bound ? watch : bound;
        }
        if (select(bound + 1, &rd, nullptr, nullptr, nullptr) <= 0)
            continue;

        if (FD_ISSET(pfd[0], &rd)) {
            int rec[2];
            if (read(pfd[0], rec, sizeof rec) == sizeof rec && rec[0] == child) {
                if (restart) {
                    // The FIFO stays open across the restart, so writers never lose
                    // their reader; the exit code of the old child is dropped.
                    restart = 0;
                    spawn = true;
                    if (fifo < 0)
                        reopen = true;
                    continue;
                }
                return (rec[1] & 0xff00) >> 8;
            }
        }

        if (watch >= 0 && FD_ISSET(watch, &rd)) {
            char ev[4096];
            while (read(watch, ev, sizeof ev) > 0) {
            }
            struct stat st;
            if (fifo < 0 || stat(path, &st) != 0 || st.st_ino != cur.st_ino || st.st_dev != cur.st_dev)
                reopen = true;
        }
        if (fifo < 0) {
            // Without a FIFO, try again on every event; events are rare, so this never spins.
            reopen = true;
            continue;
        }
        if (!FD_ISSET(fifo, &rd))
            continue;

        ssize_t n = read(fifo, cmd, 40);
        if (n < 0)
            perror("read");
        else
            cmd[n] = 0;
        reopen = true;
        if (n <= 0)
            continue;

        if (!strcmp(cmd, "kill\n")) {
            kill(child, SIGTERM);
        } else if (!strcmp(cmd, "restart\n")) {
            restart = 1;
            kill(child, SIGTERM);
        } else if (!strcmp(cmd, "pause\n")) {
            kill(child, SIGSTOP);
        } else if (!strcmp(cmd, "resume\n")) {
            kill(child, SIGCONT);
        } else if (!strcmp(cmd, "poke\n")) {
            if (poke)
                kill(child, SIGTERM);
        }
    }
}
