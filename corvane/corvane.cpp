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
#include <string>
#include <sys/inotify.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

// main's locals live on across vfork; the child changes none of them before it execs or exits.
#pragma GCC diagnostic ignored "-Wclobbered"

static constexpr const char *defaultfifo = "/tmp/corvane";
static constexpr const char *usage = "usage: corvane [ options ] program args ...\n";

// Self-pipe: read end, write end. reap is the only writer.
static int pfd[2];

// SIGCHLD handler: one 8-byte record (pid, status) for every child that has ended. Ends that
// come together share one signal, so it waits until no ended child is left; other children
// (orphans handed to a container's first process, a wrapper's leftovers) are reaped as well
// and their records dropped by the loop. A delivery that reaps nothing writes one record with
// pid 0 (a stop or continue) or -1 (a failed wait).
static void reap(int)
{
    int saved = errno;
    for (bool any = false;; any = true) {
        int rec[2];
        rec[1] = -1;
        rec[0] = waitpid(-1, &rec[1], WNOHANG);
        if (rec[0] > 0 || !any) {
            ssize_t n = write(pfd[1], rec, sizeof rec);
            (void)n;
        }
        if (rec[0] <= 0)
            break;
    }
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

    // The folder that holds the FIFO, and the FIFO's name in it.
    std::string dir = path;
    size_t slash = dir.rfind('/');
    const char *base = slash == std::string::npos ? path : path + slash + 1;
    dir = slash == std::string::npos ? "." : dir.substr(0, slash ? slash : 1);

    // SIGCHLD is held back everywhere but in the wait, so the handler never reaps the child
    // between the loop's look at the self-pipe and a command's kill() of the child's pid.
    // The child gets back the mask and the SIGCHLD disposition we were started with.
    sigset_t startmask, heldmask, waitmask;
    sigprocmask(SIG_SETMASK, nullptr, &startmask);
    struct sigaction startchld {};
    sigaction(SIGCHLD, nullptr, &startchld);
    heldmask = waitmask = startmask;
    sigaddset(&heldmask, SIGCHLD);
    sigdelset(&waitmask, SIGCHLD);
    sigprocmask(SIG_SETMASK, &heldmask, nullptr);

    // Tells when the FIFO we hold is removed, renamed or replaced and, only while we have no
    // FIFO, when its name in the folder changes. Without it, the path is prepared again after
    // every read only, and a missing FIFO on every event of the child.
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= FD_SETSIZE) {
        close(watch);
        watch = -1;
        errno = EMFILE;
    }
    bool told = watch < 0;   // the lack of a watch is reported once
    if (told)
        perror("inotify_init1");
    int wd = -1;    // the watch on the FIFO's inode
    int dwd = -1;   // the watch on its folder, while we have no FIFO

    int fifo = -1;        // the FIFO's read descriptor, -1 while there is none
    struct stat cur {};   // identity of the FIFO behind fifo
    // A writer that opened the FIFO before the path was made to lead elsewhere still holds
    // it: that FIFO is kept, retired, and read like the current one until its writers are gone.
    int old = -1;
    bool probe = false;   // read the newly retired FIFO at once: an end-of-file means no writer
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
            int follow = O_NOFOLLOW;
            struct stat st, ds;
            if (mkfifo(path, 0666) == 0) {
                made = true;
            } else if (errno != EEXIST) {
                failed = "mkfifo";
            } else if (lstat(path, &st) != 0) {
                failed = "stat";
            } else {
                // In a sticky world-writable folder such as /tmp anybody can plant a link to
                // any FIFO: follow only our own links there, or the folder owner's.
                if (S_ISLNK(st.st_mode) &&
                    (st.st_uid == geteuid() ||
                     (stat(dir.c_str(), &ds) == 0 && (ds.st_uid == st.st_uid || !(ds.st_mode & S_ISVTX) ||
                                                      !(ds.st_mode & S_IWOTH))))) {
                    follow = 0;
                    if (stat(path, &st) != 0)
                        failed = "stat";
                }
                if (!failed && !S_ISFIFO(st.st_mode)) {
                    if (unlink(path) != 0 || mkfifo(path, 0666) != 0)
                        failed = "unlink";
                    else
                        made = true;
                }
            }
            int fd = -1;
            if (!failed) {
                // The mode is set through the descriptor actually opened, never by path, so a
                // link swapped in meanwhile cannot redirect it to another file.
                fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | follow);
                if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || fd >= FD_SETSIZE)) {
                    int e = fd >= FD_SETSIZE ? EMFILE : EINVAL;
                    close(fd);
                    fd = -1;
                    errno = e;
                }
                if (fd < 0)
                    failed = "open";
            }
            if (failed) {
                perror(failed);
                if (first)
                    return 1;
            } else if (first || made) {
                // Another user's FIFO is used as it is.
                if (st.st_uid != geteuid()) {
                    errno = EPERM;
                    perror("chmod");
                } else if (fchmod(fd, 0666) != 0) {
                    perror("chmod");
                }
            }
            bool moved = fd < 0 || fifo < 0 || st.st_ino != cur.st_ino || st.st_dev != cur.st_dev;
            if (fifo >= 0 && !moved) {
                close(fifo);
            } else if (fifo >= 0) {
                if (old >= 0)
                    close(old);   // at most one retired FIFO
                old = fifo;
                probe = true;
            }
            fifo = fd;
            if (fd >= 0)
                cur = st;
            if (moved && watch >= 0) {
                if (wd >= 0)
                    inotify_rm_watch(watch, wd);
                wd = -1;
                int got = 0;
                if (fd >= 0) {
                    if (dwd >= 0)
                        inotify_rm_watch(watch, dwd);
                    dwd = -1;
                    char self[32];
                    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
                    got = wd = inotify_add_watch(watch, self, IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
                    // Removed or replaced before the watch was in place: nothing would tell.
                    if (wd >= 0 && (stat(path, &ds) != 0 || ds.st_ino != st.st_ino || ds.st_dev != st.st_dev))
                        reopen = true;
                } else if (dwd < 0) {
                    got = dwd = inotify_add_watch(watch, dir.c_str(), IN_ONLYDIR | IN_CREATE | IN_DELETE |
                                                                          IN_MOVED_FROM | IN_MOVED_TO);
                }
                // A folder that is gone leaves nothing to watch; anything else is a limit.
                if (got < 0 && errno != ENOENT && errno != ENOTDIR && !told) {
                    told = true;
                    perror("inotify_add_watch");
                }
            }
            first = false;
        }

        if (spawn) {
            spawn = false;
            if (child < 0) {
                // pfd before the handler, the handler before the first fork: a child that
                // ends at once leaves its record waiting in the pipe. Descriptors at or
                // above FD_SETSIZE cannot go into select, so count them as exhausted.
                if (pipe2(pfd, O_CLOEXEC | O_NONBLOCK) != 0 || (pfd[0] >= FD_SETSIZE && (errno = EMFILE))) {
                    perror("pipe");
                    return 1;
                }
                struct sigaction sa {};
                sa.sa_handler = reap;
                sa.sa_flags = SA_RESTART;
                sigaction(SIGCHLD, &sa, nullptr);
            }
            // vfork: the child only restores its signals, closes, execs or reports and exits,
            // so it can borrow our memory; copying the page tables for fork would double the
            // restart time. It reports with one write of its own: no stdio, no allocation.
            child = vfork();
            if (child < 0) {
                perror("fork");
                return 1;
            }
            if (child == 0) {
                sigaction(SIGCHLD, &startchld, nullptr);
                sigprocmask(SIG_SETMASK, &startmask, nullptr);
                close(pfd[0]);
                close(pfd[1]);
                execvp(argv[prog], argv + prog);
                const char *why = strerrordesc_np(errno);
                why = why ? why : "Unknown error";
                iovec line[] = {{argv[prog], strlen(argv[prog])}, {const_cast<char *>(": "), 2},
                                {const_cast<char *>(why), strlen(why)}, {const_cast<char *>("\n"), 1}};
                ssize_t n = writev(2, line, 4);
                (void)n;
                _exit(3);
            }
        }

        fd_set rd;
        FD_ZERO(&rd);
        int bound = pfd[0];
        for (int fd : {pfd[0], fifo, old, watch}) {
            if (fd >= 0) {
                FD_SET(fd, &rd);
                bound = fd > bound ? fd : bound;
            }
        }
        // The only place where SIGCHLD may come in: its handler's records wake this select.
        timespec now {};
        int ready = pselect(bound + 1, &rd, nullptr, nullptr, probe ? &now : nullptr, &waitmask);
        if (ready < 0 || (ready == 0 && !probe))
            continue;

        if (FD_ISSET(pfd[0], &rd)) {
            // Every record waiting, so that no record of the child is left behind one of
            // another child, and no command below can signal a pid that was reaped.
            int rec[64][2];
            ssize_t n;
            bool ended = false;
            int status = 0;
            while ((n = read(pfd[0], rec, sizeof rec)) > 0) {
                for (ssize_t i = 0; i < n / ssize_t(sizeof rec[0]); i++) {
                    if (rec[i][0] == child) {
                        ended = true;
                        status = rec[i][1];
                    }
                }
            }
            if (ended) {
                if (restart) {
                    // The FIFO stays open across the restart, so writers never lose
                    // their reader; the exit code of the old child is dropped.
                    restart = 0;
                    spawn = true;
                    if (fifo < 0)
                        reopen = true;
                    continue;
                }
                return (status & 0xff00) >> 8;
            }
        }

        if (watch >= 0 && FD_ISSET(watch, &rd)) {
            alignas(inotify_event) char ev[4096];
            ssize_t n;
            while ((n = read(watch, ev, sizeof ev)) > 0) {
                for (ssize_t i = 0; i < n;) {
                    auto *e = reinterpret_cast<inotify_event *>(ev + i);
                    i += sizeof *e + e->len;
                    if (e->wd == dwd && (e->mask & IN_IGNORED))
                        dwd = -1;   // the folder is gone
                    if ((e->wd == wd && wd >= 0) || (e->mask & IN_Q_OVERFLOW) ||
                        (e->wd == dwd && e->len && !strcmp(e->name, base)))
                        reopen = true;
                }
            }
        }
        if (fifo < 0 && dwd < 0)
            reopen = true;   // nothing tells when the path is free: try again on every event

        // One read is one command, from the current FIFO or the retired one.
        int from = fifo >= 0 && FD_ISSET(fifo, &rd) ? fifo : old >= 0 && (probe || FD_ISSET(old, &rd)) ? old : -1;
        if (from < 0)
            continue;
        ssize_t n = read(from, cmd, 40);
        bool bad = n < 0 && errno != EAGAIN;   // EAGAIN: a writer holds it, with nothing to say
        if (bad)
            perror("read");
        else if (n >= 0)
            cmd[n] = 0;
        if (from == fifo) {
            reopen = true;
        } else {
            probe = false;
            if (n == 0 || bad) {
                close(old);   // its last writer is gone
                old = -1;
            }
        }
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
