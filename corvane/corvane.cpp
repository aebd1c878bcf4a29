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
#include <sys/ioctl.h>
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
// pid 0 (a stop or continue) or -1 (a failed wait). It reaps no child whose record would not
// fit in the pipe: such a child waits, and the loop signals again once it has emptied a full pipe.
static void reap(int)
{
    int saved = errno;
    for (bool any = false;; any = true) {
        int queued = 0;
        if (ioctl(pfd[1], FIONREAD, &queued) != 0 || fcntl(pfd[1], F_GETPIPE_SZ) - queued < 8)
            break;
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

    // Descriptors 0, 1 and 2 that came closed are held on /dev/null, so that neither the FIFO
    // nor the self-pipe can take their place (an error line would end up in the self-pipe);
    // close-on-exec, so the child gets them closed as we did.
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR | O_CLOEXEC) != fd)
            return 1;

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

    // Tells when the FIFO we hold, or our link to it, is removed, renamed or replaced, when
    // its folder goes, and, only while we have no FIFO, when its name in the folder changes.
    // Without it, the path is prepared again after every read, and looked at every second.
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= FD_SETSIZE) {
        close(watch);
        watch = -1;
        errno = EMFILE;
    }
    bool told = watch < 0;   // the lack of a watch is reported once
    if (told)
        perror("inotify_init1");
    int wd = -1;          // the watch on the FIFO's inode
    int lwd = -1;         // the watch on the path itself: our link to the FIFO, or the FIFO
    int dwd = -1;         // the watch on the folder
    uint32_t dmask = 0;   // what dwd watches for

    int fifo = -1;        // the FIFO's read descriptor, -1 while there is none
    struct stat cur {};   // identity of the FIFO behind fifo
    auto leads = [&] {    // the path leads to that FIFO
        struct stat at;
        return stat(path, &at) == 0 && at.st_ino == cur.st_ino && at.st_dev == cur.st_dev;
    };
    // A writer that opened the FIFO before the path was made to lead elsewhere still holds
    // it: that FIFO is kept, retired, and read like the current one until its writers are gone.
    int old = -1;
    int probe = -1;       // a FIFO just retired, read at once: an end-of-file means no writer
    const char *lastfail = nullptr;   // the failure last reported, not repeated while it lasts
    int lasterr = 0;
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
            int follow = O_NOFOLLOW;
            bool theirs = false;   // reached through another user's link
            struct stat st, ds;
            bool made = mkfifo(path, 0666) == 0;
            if (!made && errno != EEXIST) {
                failed = "mkfifo";
            } else if (!made && lstat(path, &st) != 0) {
                failed = "stat";
            } else if (!made) {
                // In a sticky world-writable folder such as /tmp anybody can plant a link to
                // any FIFO: follow only our own links there, or the folder owner's.
                if (S_ISLNK(st.st_mode) &&
                    (st.st_uid == geteuid() ||
                     (stat(dir.c_str(), &ds) == 0 && (ds.st_uid == st.st_uid || !(ds.st_mode & S_ISVTX) ||
                                                      !(ds.st_mode & S_IWOTH))))) {
                    follow = 0;
                    theirs = st.st_uid != geteuid();
                    if (stat(path, &st) != 0)
                        failed = "stat";
                }
                if (!failed && !S_ISFIFO(st.st_mode) && (unlink(path) != 0 || mkfifo(path, 0666) != 0))
                    failed = "unlink";
            }
            int fd = -1;
            bool again = false;   // the same FIFO, opened again after its descriptor was closed
            for (int tries = 0; !failed && fd < 0; tries++) {
                fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | follow);
                if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || fd >= FD_SETSIZE)) {
                    int e = fd >= FD_SETSIZE ? EMFILE : EINVAL;
                    close(fd);
                    fd = -1;
                    errno = e;
                }
                // Out of descriptors: the watch is given up first (said once), which leaves one
                // to spare for good. Without it (or with a retired FIFO in that one), the same
                // FIFO is opened again only after its descriptor is closed: no reader for an
                // instant, not for good.
                bool full = fd < 0 && (errno == EMFILE || errno == ENFILE) && tries < 2;
                if (full && watch >= 0) {
                    close(watch);
                    watch = wd = lwd = dwd = -1;
                    if (!told) {
                        told = true;
                        perror("inotify_init1");
                    }
                    continue;
                }
                if (full && fifo >= 0 && leads()) {
                    close(fifo);
                    fifo = -1;
                    again = true;
                    continue;
                }
                if (fd < 0)
                    failed = "open";
            }
            int e = failed ? errno : 0;
            if (failed && (failed != lastfail || e != lasterr))
                perror(failed);
            if (failed && first)
                return 1;
            lastfail = failed;
            lasterr = e;

            bool moved = fd < 0 || (fifo < 0 && !again) || st.st_ino != cur.st_ino || st.st_dev != cur.st_dev;
            if (fd >= 0 && moved) {
                // A FIFO new to us gets mode 0666, if it is ours and not reached through
                // another user's link; any other FIFO is used as it is.
                if (st.st_uid != geteuid() || theirs) {
                    errno = EPERM;
                    perror("chmod");
                } else if (fchmod(fd, 0666) != 0) {
                    perror("chmod");
                }
            }
            if (fifo >= 0 && !moved) {
                close(fifo);
            } else if (fifo >= 0) {
                // Retired: it is read at once to learn whether a writer holds it.
                if (probe >= 0) {
                    if (old >= 0)
                        close(old);
                    old = probe;
                }
                probe = fifo;
            }
            fifo = fd;
            if (fd >= 0)
                cur = st;
            if (moved && watch >= 0) {
                // A folder that is gone leaves nothing to watch; anything else is a limit.
                auto added = [&](int w) {
                    if (w < 0 && errno != ENOENT && errno != ENOTDIR && !told) {
                        told = true;
                        perror("inotify_add_watch");
                    }
                    return w;
                };
                if (lwd >= 0 && lwd != wd)
                    inotify_rm_watch(watch, lwd);
                if (wd >= 0)
                    inotify_rm_watch(watch, wd);
                wd = lwd = -1;
                if (fd >= 0) {
                    char self[32];
                    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
                    constexpr uint32_t gone = IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
                    wd = added(inotify_add_watch(watch, self, gone));
                    lwd = added(inotify_add_watch(watch, path, gone | IN_DONT_FOLLOW));
                    // Removed or replaced before the watches were in place: nothing would tell.
                    if (!leads())
                        reopen = true;
                }
                // The folder: whether it goes, and while we have no FIFO, our name in it.
                uint32_t want = IN_ONLYDIR | IN_MOVE_SELF | IN_DELETE_SELF |
                                (fd < 0 ? IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO : 0);
                if (dwd < 0 || want != dmask) {
                    dwd = added(inotify_add_watch(watch, dir.c_str(), want));
                    dmask = want;
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
                raise(SIGCHLD);   // children that ended before we started, their signal long gone
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
        for (int fd : {pfd[0], fifo, old, probe, watch}) {
            if (fd >= 0) {
                FD_SET(fd, &rd);
                bound = fd > bound ? fd : bound;
            }
        }
        // The only place where SIGCHLD may come in: its handler's records wake this select.
        // A retired FIFO to probe is read at once; with nothing that would tell when the path
        // changes, it is looked at every second, and prepared again if it leads elsewhere.
        timespec now {}, second {1, 0};
        bool blind = watch < 0 || (fifo < 0 && dwd < 0);
        int ready = pselect(bound + 1, &rd, nullptr, nullptr, probe >= 0 ? &now : blind ? &second : nullptr,
                            &waitmask);
        if (ready < 0)
            continue;
        if (blind && (fifo < 0 || !leads()))
            reopen = true;

        if (ready > 0 && FD_ISSET(pfd[0], &rd)) {
            // Every record waiting, so that no record of the child is left behind one of
            // another child, and no command below can signal a pid that was reaped.
            int rec[64][2];
            ssize_t n, total = 0;
            bool ended = false;
            int status = 0;
            while ((n = read(pfd[0], rec, sizeof rec)) > 0) {
                total += n;
                for (ssize_t i = 0; i < n / ssize_t(sizeof rec[0]); i++) {
                    if (rec[i][0] == child) {
                        ended = true;
                        status = rec[i][1];
                    }
                }
            }
            if (total > fcntl(pfd[0], F_GETPIPE_SZ) - 8)
                raise(SIGCHLD);   // the pipe was full: children may be left to reap
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

        if (ready > 0 && watch >= 0 && FD_ISSET(watch, &rd)) {
            alignas(inotify_event) char ev[4096];
            ssize_t n;
            while ((n = read(watch, ev, sizeof ev)) > 0) {
                for (ssize_t i = 0; i < n;) {
                    auto *e = reinterpret_cast<inotify_event *>(ev + i);
                    i += sizeof *e + e->len;
                    if (e->wd == dwd && (e->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_IGNORED))) {
                        if (!(e->mask & IN_IGNORED))
                            inotify_rm_watch(watch, dwd);
                        dwd = -1;   // the folder is gone: the path leads nowhere now
                        reopen = true;
                    } else if ((e->wd >= 0 && (e->wd == wd || e->wd == lwd)) || (e->mask & IN_Q_OVERFLOW) ||
                               (e->wd == dwd && e->len && !strcmp(e->name, base))) {
                        reopen = true;
                    }
                }
            }
        }

        // One read is one command, from the current FIFO or a retired one.
        int from = probe >= 0                              ? probe
                   : fifo >= 0 && FD_ISSET(fifo, &rd)      ? fifo
                   : old >= 0 && FD_ISSET(old, &rd)        ? old
                                                           : -1;
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
        } else if (n == 0 || bad) {
            close(from);   // no writer holds it, or none is left
            if (from == probe)
                probe = -1;
            else
                old = -1;
            reopen = reopen || fifo < 0;   // a descriptor is free again: try for a FIFO
        } else if (from == probe) {
            // A writer holds the FIFO just retired: it is the one kept.
            if (old >= 0)
                close(old);
            old = probe;
            probe = -1;
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
