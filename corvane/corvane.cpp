// corvane: run a program as a child and let local processes control it through a FIFO.
//
// Commands are whole writes into the control FIFO: "kill\n", "restart\n", "pause\n",
// "resume\n" and, with -poke, "poke\n". The controller exits with the child's exit code.
//
// The shape of it: one wait (ppoll) over the self-pipe, which reap fills with a record for
// every ended child, the control FIFO, a retired FIFO that a writer may still hold, and an
// inotify instance that tells when the path may no longer lead to the FIFO. Each pass takes
// the child's records, then the watch's events, then one command. The controller holds a
// write end of its own FIFO beside the read end, so the read end never sees an end-of-file
// and is never closed and opened again: the FIFO changes only when the path leads elsewhere.

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
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
// fit in the pipe: such a child waits, and the loop calls reap again once it has emptied a full pipe.
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

    // The folder that holds the FIFO: whose links we follow there, and whether it goes.
    std::string dir = path;
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : dir.substr(0, slash ? slash : 1);

    // SIGCHLD is held back everywhere but in the wait, so the handler never reaps the child
    // between the loop's look at the self-pipe and a command's kill() of the child's pid.
    // SIGPIPE is ignored: a line that cannot be written to a broken standard error is lost,
    // not the controller. The child gets back the mask and dispositions we were started with.
    sigset_t startmask, heldmask, waitmask;
    sigprocmask(SIG_SETMASK, nullptr, &startmask);
    heldmask = waitmask = startmask;
    sigaddset(&heldmask, SIGCHLD);
    sigdelset(&waitmask, SIGCHLD);
    sigprocmask(SIG_SETMASK, &heldmask, nullptr);
    struct sigaction startchld {}, startpipe {}, ignore {}, handle {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &startpipe);

    // pfd before the handler, the handler before the first fork: a child that ends at once
    // leaves its record waiting in the pipe. Children that ended before we were started (their
    // signal long gone) are reaped by a call of our own. reap is called directly wherever a
    // signal of ours would not do: SIGCHLD is held back here, and a wait that finds a
    // descriptor ready returns without letting a pending signal in, so a raised SIGCHLD could
    // wait for ever behind a FIFO that stays readable.
    if (pipe2(pfd, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("pipe");
        return 1;
    }
    handle.sa_handler = reap;
    handle.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &handle, &startchld);
    reap(SIGCHLD);

    // The FIFO we read: its read end, our own write end beside it, its identity, and that of
    // the path as it was when the FIFO was taken (the FIFO itself, or our link to it).
    // Written by preparefifo and retire only.
    int fifo = -1, fifow = -1;
    struct stat fifoid {}, pathid {};
    auto same = [](const struct stat &a, const struct stat &b) { return a.st_ino == b.st_ino && a.st_dev == b.st_dev; };
    auto leads = [&] {   // the path is still what it was, and leads to the FIFO we read
        struct stat at;
        if (fifo < 0 || lstat(path, &at) != 0 || !same(at, pathid))
            return false;
        return S_ISLNK(at.st_mode) ? stat(path, &at) == 0 && same(at, fifoid) : same(at, fifoid);
    };
    // The FIFO read before the path was made to lead elsewhere, kept while a writer holds it.
    // Written by retire, takecommand and openfifo (short of descriptors, or taking it back).
    int old = -1;
    // The watch on the FIFO, on the path and on the folder; blind while any of it is missing,
    // and then the path is looked at once a second. Written by rewatch only.
    int watch = -1;
    bool blind = true, toldwatch = false;
    // The failure to prepare the path last said, not said again while it lasts. preparefifo's.
    const char *lastfail = nullptr;
    int lasterr = 0;
    // The child, and whether it is started again when it ends (the restart flag).
    // child: startchild's; restart: set by takecommand, cleared by takerecords.
    pid_t child = -1;
    int restart = 0;
    // What the next pass is asked to do. lookpath: set by every step that learns the path may
    // have changed; start: set at the start and by takerecords on a restart.
    bool lookpath = false, start = true;

    // Owns watch, blind, toldwatch. A new instance for every FIFO taken, so that no watch of an
    // earlier FIFO, link or folder is left over. A watch that cannot be had is said once.
    auto rewatch = [&] {
        if (watch >= 0)
            close(watch);
        watch = -1;
        blind = true;
        if (fifo < 0)
            return;
        char self[32];
        snprintf(self, sizeof self, "/proc/self/fd/%d", fifo);
        constexpr uint32_t gone = IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
        const char *failed = "inotify_init1";
        if ((watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) >= 0) {
            failed = "inotify_add_watch";
            if (inotify_add_watch(watch, self, gone) >= 0 && inotify_add_watch(watch, path, gone | IN_DONT_FOLLOW) >= 0 &&
                inotify_add_watch(watch, dir.c_str(), IN_ONLYDIR | IN_MOVE_SELF | IN_DELETE_SELF) >= 0) {
                blind = false;
                return;
            }
        }
        // A path or folder gone in the meantime is no limit: the next look finds it so.
        if (errno != ENOENT && errno != ENOTDIR && !toldwatch) {
            toldwatch = true;
            perror(failed);
        }
        if (watch >= 0)
            close(watch);
        watch = -1;
    };

    // Owns old; takes fifo and fifow away. Our write end goes first, so that the read end's
    // end-of-file says that no writer is left. A FIFO that a writer holds, or that has bytes
    // waiting, is kept in place of the one kept before; one that nobody holds is closed.
    auto retire = [&] {
        if (fifo < 0)
            return;
        close(fifow);
        pollfd p {fifo, POLLIN, 0};
        bool held = poll(&p, 1, 0) >= 0 && ((p.revents & POLLIN) || !(p.revents & POLLHUP));
        if (held) {
            if (old >= 0)
                close(old);
            old = fifo;
        } else {
            close(fifo);
        }
        fifo = fifow = -1;
        rewatch();   // nothing is left to watch
    };

    // Makes sure that a FIFO is at the path: creates it, or puts it in place of whatever else
    // is there. Says how to open the path (whether to follow a link there, and whether that
    // link is another user's); the label of the call that failed, or nullptr.
    auto makefifo = [&](int &follow, bool &theirs) -> const char * {
        // What is at the path may change under us (another controller starting on it): then
        // the look begins again.
        for (int tries = 0;; tries++) {
            follow = O_NOFOLLOW;
            theirs = false;
            struct stat st, ds;
            if (mkfifo(path, 0666) == 0)
                return nullptr;
            if (errno != EEXIST)
                return "mkfifo";
            if (lstat(path, &st) != 0) {
                if (tries < 3 && errno == ENOENT)
                    continue;   // gone again since mkfifo found it
                return "stat";
            }
            // In a sticky world-writable folder such as /tmp anybody can plant a link to any
            // FIFO: follow only our own links there, or the folder owner's.
            if (S_ISLNK(st.st_mode) &&
                (st.st_uid == geteuid() ||
                 (stat(dir.c_str(), &ds) == 0 && (ds.st_uid == st.st_uid || !(ds.st_mode & S_ISVTX) || !(ds.st_mode & S_IWOTH))))) {
                follow = 0;
                theirs = st.st_uid != geteuid();
                if (stat(path, &st) != 0)
                    return "stat";
            }
            if (S_ISFIFO(st.st_mode))
                return nullptr;
            if (unlink(path) == 0 && mkfifo(path, 0666) == 0)
                return nullptr;
            if (tries >= 3 || (errno != ENOENT && errno != EEXIST))
                return "unlink";
        }
    };

    // Opens the FIFO at the path for reading and, beside it, for writing, into fd and fdw, with
    // its identity and the path's into st and at; the label of the call that failed, or
    // nullptr. The path is followed once, to a handle on the FIFO that everything after goes
    // through. Our own FIFO gets mode 0666 first, so that it can be opened whatever its mode;
    // modeerr says why another's could not be given it. Short of descriptors, the retired FIFO
    // is given up first: its writer loses control.
    auto openfifo = [&](int follow, bool theirs, int &fd, int &fdw, struct stat &st, struct stat &at,
                        int &modeerr) -> const char * {
        auto opened = [&](const char *where, int how) {
            int got;
            while ((got = open(where, how | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)) < 0 &&
                   (errno == EMFILE || errno == ENFILE) && old >= 0) {
                close(old);
                old = -1;
            }
            return got;
        };
        char self[32];
        int handle = opened(path, O_PATH | follow);
        if (handle < 0)
            return "open";
        snprintf(self, sizeof self, "/proc/self/fd/%d", handle);
        if (fstat(handle, &st) != 0 || !S_ISFIFO(st.st_mode) || lstat(path, &at) != 0) {
            close(handle);
            return errno = EINVAL, "open";
        }
        modeerr = st.st_uid != geteuid() || theirs ? EPERM : chmod(self, 0666) != 0 ? errno : 0;
        struct stat kept;
        if (old >= 0 && fstat(old, &kept) == 0 && same(kept, st)) {
            fd = old;   // the FIFO kept for its writer is the one at the path again
            old = -1;
        } else {
            // A FIFO that another process reads already (another controller on the same path)
            // is not shared: each command would reach one or the other at random. The lock
            // settles two controllers that come to it at the same moment.
            // Only "no reader" (ENXIO) or "may not write" (EACCES, found out below) lets us go on.
            if ((fdw = opened(self, O_WRONLY)) >= 0 || (errno != ENXIO && errno != EACCES)) {
                int e = fdw >= 0 ? EBUSY : errno;
                close(handle);
                return errno = e, "open";
            }
            fd = opened(self, O_RDONLY);
            if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
                close(handle);
                return errno = EBUSY, "open";
            }
        }
        int e = errno;
        close(handle);
        if (fd < 0)
            return errno = e, "open";
        snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        return (fdw = opened(self, O_WRONLY)) < 0 ? "open" : nullptr;
    };

    // Owns lastfail and lasterr; retires the FIFO we read and takes another when the path no
    // longer leads to it. The new FIFO gets mode 0666 when it is ours, and is watched. A
    // failure is said once while it lasts; at start it ends the run.
    auto preparefifo = [&](bool first) {
        if (leads()) {
            if (blind)
                rewatch();   // what was short may be there now
            return;
        }
        retire();
        int follow, modeerr = 0, fd = -1, fdw = -1;
        bool theirs;
        struct stat st, at;
        const char *failed = makefifo(follow, theirs);
        failed = failed ? failed : openfifo(follow, theirs, fd, fdw, st, at, modeerr);
        if (failed) {
            int e = errno;
            for (int f : {fd, fdw})
                if (f >= 0)
                    close(f);
            if (failed != lastfail || e != lasterr) {
                errno = e;
                perror(failed);
            }
            if (first)
                exit(1);
            lastfail = failed;
            lasterr = e;
            return;
        }
        lastfail = nullptr;
        if (modeerr) {
            errno = modeerr;
            perror("chmod");
        }
        fifo = fd;
        fifow = fdw;
        fifoid = st;
        pathid = at;
        rewatch();
        lookpath = !leads();   // changed before the watch was in place: nothing would tell
    };

    // Owns child. Starts the program. vfork: the child only restores its signals, execs or
    // reports and exits, so it can borrow our memory; copying the page tables for fork would
    // double the restart time. It reports with one write of its own: no stdio, no allocation.
    auto startchild = [&] {
        child = vfork();
        if (child < 0) {
            perror("fork");
            exit(1);
        }
        if (child == 0) {
            sigaction(SIGCHLD, &startchld, nullptr);
            sigaction(SIGPIPE, &startpipe, nullptr);
            sigprocmask(SIG_SETMASK, &startmask, nullptr);
            execvp(argv[prog], argv + prog);
            // The report of a failed start never costs its status: no death by SIGPIPE.
            sigaction(SIGPIPE, &ignore, nullptr);
            const char *why = strerrordesc_np(errno);
            why = why ? why : "Unknown error";
            iovec line[] = {{argv[prog], strlen(argv[prog])}, {const_cast<char *>(": "), 2},
                            {const_cast<char *>(why), strlen(why)}, {const_cast<char *>("\n"), 1}};
            ssize_t n = writev(2, line, 4);
            (void)n;
            _exit(3);
        }
    };

    // Owns nothing but what it reads; may clear restart and ask for a start. Every record
    // waiting is read, so that no record of the child is left behind one of another child,
    // and no command can signal a pid that was reaped. The exit code when the child has ended
    // for good, -1 otherwise.
    auto takerecords = [&] {
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
            reap(SIGCHLD);   // the pipe was full: children may be left to reap
        if (!ended)
            return -1;
        if (!restart)
            return (status & 0xff00) >> 8;
        // The FIFO stays open across the restart; the exit code of the old child is dropped.
        restart = 0;
        start = true;
        return -1;
    };

    // Reads the watch's events: any of them may mean that the path no longer leads to our FIFO.
    auto takeevents = [&] {
        alignas(inotify_event) char ev[4096];
        while (read(watch, ev, sizeof ev) > 0) {
        }
        lookpath = true;
    };

    // May close old, set restart and signal the child. One write is one command: exactly the
    // bytes waiting are taken, so no later write is cut in two, and a write of up to PIPE_BUF
    // bytes arrives whole; more than 40 bytes match no command and are dropped whole. After a
    // command from the FIFO we read, the path is looked at.
    auto takecommand = [&](int from, short revents) {
        // A child that has ended but is not reaped yet (its SIGCHLD held back) is no longer the
        // one a command is for: it is reaped now, and the command waits until its end is taken.
        siginfo_t ended {};
        if (waitid(P_PID, id_t(child), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == child) {
            reap(SIGCHLD);
            return;
        }
        int avail = 0;
        if (ioctl(from, FIONREAD, &avail) != 0 || avail <= 0) {
            if (from == old && (revents & (POLLHUP | POLLERR))) {
                close(old);   // its last writer has gone
                old = -1;
            }
            return;
        }
        char cmd[PIPE_BUF];
        ssize_t n = 0, got = 0;
        while (n < avail && (got = read(from, cmd, size_t(avail - n) < sizeof cmd ? size_t(avail - n) : sizeof cmd)) > 0)
            n += got;
        if (got < 0 && errno != EAGAIN)
            perror("read");
        lookpath = lookpath || from == fifo;
        if (n <= 0 || n > 40)
            return;
        // Compared with every byte read: a zero byte does not end the text ("kill\n\0junk").
        std::string_view text(cmd, size_t(n));
        if (text == "kill\n") {
            kill(child, SIGTERM);
        } else if (text == "restart\n") {
            restart = 1;
            kill(child, SIGTERM);
        } else if (text == "pause\n") {
            kill(child, SIGSTOP);
        } else if (text == "resume\n") {
            kill(child, SIGCONT);
        } else if (text == "poke\n") {
            if (poke)
                kill(child, SIGTERM);
        }
    };

    preparefifo(true);
    for (;;) {
        if (lookpath) {
            lookpath = false;
            preparefifo(false);
        }
        if (start) {
            start = false;
            startchild();
        }
        // The only place where SIGCHLD may come in: its handler's records wake this wait.
        // Without a FIFO, or without a watch that would tell of changes, the path is looked
        // at once a second.
        pollfd ready[] = {{pfd[0], POLLIN, 0}, {watch, POLLIN, 0}, {fifo, POLLIN, 0}, {old, POLLIN, 0}};
        timespec second {1, 0};
        int n = ppoll(ready, 4, fifo < 0 || blind ? &second : nullptr, &waitmask);
        if (n == 0)
            lookpath = true;
        if (n <= 0)
            continue;
        if (ready[0].revents) {
            if (int code = takerecords(); code >= 0)
                return code;
            if (start)
                continue;   // the new child first: no command goes to the pid just reaped
        }
        if (ready[1].revents)
            takeevents();
        if (ready[2].revents)
            takecommand(fifo, ready[2].revents);
        else if (ready[3].revents)
            takecommand(old, ready[3].revents);
    }
}
