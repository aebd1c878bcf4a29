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

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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
// pid 0 (no child has ended yet) or -1 (a failed wait). It reaps no child whose record would not
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
    // close-on-exec, so the child gets them closed as we did. Where there is no /dev/null (a
    // bare container), the root folder as a bare path stands in: nothing can be read or written
    // through it.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int got = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (got < 0)
            got = open("/", O_PATH | O_CLOEXEC);
        if (got != fd) {
            perror("open");
            return 1;
        }
    }

    // The folder that holds the FIFO, as the path names it: watched, in case it goes.
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
    // A child that stops or goes on raises nothing: a pause and a resume wake us once each, for
    // the command, and not again for the child's change.
    handle.sa_handler = reap;
    handle.sa_flags = SA_RESTART | SA_NOCLDSTOP;
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
        // The FIFO itself through our descriptor; where /proc is missing, through the path.
        char self[32];
        struct stat ps;
        snprintf(self, sizeof self, "/proc/self/fd/%d", fifo);
        const char *held = lstat(self, &ps) == 0 ? self : path;
        constexpr uint32_t gone = IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
        const char *failed = "inotify_init1";
        if ((watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) >= 0) {
            failed = "inotify_add_watch";
            if (inotify_add_watch(watch, held, gone) >= 0 && inotify_add_watch(watch, path, gone | IN_DONT_FOLLOW) >= 0 &&
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

    // Opens `name` in the folder `at` (a descriptor, or AT_FDCWD), never as a controlling
    // terminal. Short of descriptors, the retired FIFO is given up first: its writer loses control.
    auto opened = [&](int at, const char *name, int how) {
        int got;
        while ((got = openat(at, name, how | O_CLOEXEC | O_NOCTTY)) < 0 && (errno == EMFILE || errno == ENFILE) &&
               old >= 0) {
            close(old);
            old = -1;
        }
        return got;
    };
    auto drop = [](int fd) {   // AT_FDCWD and -1 are nothing to close
        if (fd >= 0)
            close(fd);
    };
    // Takes exactly the bytes waiting in the FIFO `fd`, as counted before the first read: a
    // writer that waits for room in a full FIFO writes only once a read has made some, and its
    // bytes, after the count, are left for the next take. The last PIPE_BUF of them are left in
    // `buf`. How many were taken (0: none waited), or -1 where they could not be read.
    auto takewaiting = [](int fd, char (&buf)[PIPE_BUF]) -> ssize_t {
        int avail = 0;
        ssize_t n = 0, got = 0;
        if (ioctl(fd, FIONREAD, &avail) != 0)
            return -1;
        while (n < avail && (got = read(fd, buf, std::min(sizeof buf, size_t(avail - n)))) > 0)
            n += got;
        return got < 0 && errno != EAGAIN ? -1 : n;
    };

    // Whether the link `link` (an O_PATH descriptor on it, its lstat in `ls`) in the folder `in`
    // is followed, and where to. In a sticky world-writable folder such as /tmp anybody can plant
    // a link to anything: there only our own links are followed, and the folder owner's, as the
    // kernel's protected links have it (EACCES otherwise). A link of another user than us or root
    // is followed elsewhere, but nothing reached through it is ours to change: it sets `foreign`.
    auto follows = [&](int in, int link, const struct stat &ls, std::string &target, bool &foreign) {
        struct stat ds;
        char to[PATH_MAX];
        if (fstatat(in, "", &ds, AT_EMPTY_PATH) != 0)
            return false;
        if (ls.st_uid != geteuid() && ls.st_uid != ds.st_uid && (ds.st_mode & S_ISVTX) && (ds.st_mode & S_IWOTH))
            return errno = EACCES, false;
        ssize_t n = readlinkat(link, "", to, sizeof to);
        if (n <= 0 || size_t(n) >= sizeof to)
            return errno = n < 0 ? errno : ENAMETOOLONG, false;
        target.assign(to, size_t(n));
        foreign = foreign || (ls.st_uid != 0 && ls.st_uid != geteuid());
        return true;
    };

    // Walks `p` from the folder `at` (a descriptor that it takes over, or AT_FDCWD) one name at a
    // time, each opened from the folder before it, to the folder that holds the last name: that
    // folder, or -1 with errno; the last name goes into `last`. Whatever is looked at on the way
    // is what the calls after it act on, through the folder's descriptor: nothing can be swapped
    // in between. Links are followed as `follows` allows, at most 40 in all (`links`).
    auto walk = [&](int at, std::string_view p, std::string &last, int &links, bool &foreign) {
        std::vector<std::string> names;   // still to walk, the next one at the back
        // A path to walk before the names left. One that ends in "/" or "/." names a folder: it
        // ends in ".", so that its last name is walked as a folder too.
        auto push = [&](std::string_view s) {
            size_t before = names.size();
            for (size_t from = 0, to; from < s.size(); from = to + 1) {
                to = std::min(s.find('/', from), s.size());
                if (to > from && s.substr(from, to - from) != ".")
                    names.emplace_back(s.substr(from, to - from));
            }
            if (names.size() > before && (s.ends_with("/") || s.ends_with("/.")))
                names.emplace_back(".");
            std::reverse(names.begin() + long(before), names.end());
            if (!s.empty() && s[0] == '/') {
                drop(at);
                at = opened(AT_FDCWD, "/", O_PATH | O_DIRECTORY);
            }
        };
        push(p);
        while (at >= 0 || at == AT_FDCWD) {
            if (names.size() <= 1) {
                last = names.empty() ? "." : names.back();
                return at;
            }
            std::string name = std::move(names.back()), target;
            names.pop_back();
            struct stat st;
            int next = opened(at, name.c_str(), O_PATH | O_NOFOLLOW);
            bool ok = next >= 0 && fstat(next, &st) == 0;
            if (ok && S_ISLNK(st.st_mode)) {
                ok = ++links <= 40 ? follows(at, next, st, target, foreign) : (errno = ELOOP, false);
                close(next);
                if (ok)
                    push(target);
                else
                    drop(at), at = -1;
                continue;
            }
            ok = ok && (S_ISDIR(st.st_mode) || (errno = ENOTDIR, false));
            int e = errno;
            drop(at);
            at = ok ? next : -1;
            if (!ok)
                drop(next), errno = e;
        }
        return -1;
    };

    // Follows the link that `h` holds (`name` in the folder `d`, a descriptor that it takes over)
    // and those it leads to, as `follows` allows: `h`, `d` and `name` then stand for what the
    // last of them leads to, and `st` for its lstat. The path's own link, where it may not be
    // followed, stands for itself; a link further on is then a failure (EACCES), as on the way
    // to a folder. 0, or the errno of a link that leads nowhere (`h` and `d` are then let go).
    // Two descriptors at the most.
    auto chase = [&](int &h, int &d, std::string &name, struct stat &st, int &links, bool &foreign) {
        std::string target;
        int e = 0;
        for (bool first = true; !e && (fstat(h, &st) == 0 || (e = errno, false)) && S_ISLNK(st.st_mode); first = false) {
            if (++links > 40 || !follows(d, h, st, target, foreign)) {
                e = links > 40 ? ELOOP : first ? 0 : errno;
                break;
            }
            close(h);
            h = -1;
            if ((d = walk(d, target, name, links, foreign)) < 0 && d != AT_FDCWD)
                e = errno;
            else if ((h = opened(d, name.c_str(), O_PATH | O_NOFOLLOW)) < 0)
                e = errno;
        }
        if (e) {
            drop(h), drop(d);
            h = -1, d = AT_FDCWD;
        }
        return e;
    };

    // Makes sure that a FIFO is at the path: creates it, or puts it in place of whatever else is
    // there. Takes an O_PATH handle on it (`h`), with the folder it is in (`d`) and its name there
    // (for opening it where /proc is missing), and the path's own last name as found (`at`: the
    // FIFO, or a link to it). `mine`: it may be given mode 0666 (it is ours, and reached through
    // no link of another user's). The label of the call that failed, or nullptr. Nothing reached
    // through another user's link is changed: a FIFO found so is used as it is, and anything
    // else refused. Two descriptors at the most, for the tightest limit.
    auto makefifo = [&](int &h, int &d, std::string &name, struct stat &at, bool &mine) -> const char * {
        if (!*path)
            return errno = ENOENT, "mkfifo";
        // What is at the path may change under us (another controller starting on it): then
        // the look begins again.
        for (int tries = 0;; tries++) {
            int links = 0;
            bool foreign = false;   // another user's link on the way to the last name
            std::string last;
            if ((d = walk(AT_FDCWD, path, last, links, foreign)) < 0 && d != AT_FDCWD)
                return "mkfifo";
            if (!foreign && mkfifoat(d, last.c_str(), 0666) != 0 && errno != EEXIST) {
                drop(d), d = AT_FDCWD;
                return "mkfifo";
            }
            name = last;
            bool through = foreign;   // and on the way to what the path leads to
            struct stat st;
            if ((h = opened(d, last.c_str(), O_PATH | O_NOFOLLOW)) < 0 || fstat(h, &at) != 0) {
                int e = errno;
                drop(h), drop(d);
                h = -1, d = AT_FDCWD;
                if (e == ENOENT && foreign)
                    return errno = EPERM, "mkfifo";   // nothing there, and nothing may be made there
                if (e == ENOENT && tries < 3)
                    continue;   // gone again since mkfifo found it
                return errno = e, "stat";
            }
            if (int e = chase(h, d, name, st, links, through))
                return errno = e, "stat";
            if (S_ISFIFO(st.st_mode)) {
                mine = !through && st.st_uid == geteuid();
                return nullptr;
            }
            drop(h), drop(d);
            h = -1, d = AT_FDCWD;
            if (through)
                return errno = EPERM, "unlink";
            // Anything else is replaced: the path's own last name (a link itself, never its
            // target), in its folder walked again, if that name is still what was looked at.
            links = 0;
            struct stat now;
            int in = walk(AT_FDCWD, path, last, links, foreign);
            int e = in < 0 && in != AT_FDCWD                                  ? errno
                    : fstatat(in, last.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ? errno
                    : !same(now, at)                                          ? EEXIST   // changed: look again
                    : foreign                                                 ? EPERM
                    : unlinkat(in, last.c_str(), 0) != 0 || mkfifoat(in, last.c_str(), 0666) != 0 ? errno
                                                                                                   : 0;
            drop(in);
            if (e && (tries >= 3 || (e != ENOENT && e != EEXIST)))
                return errno = e, "unlink";
        }
    };

    // Opens the FIFO that `h` holds for reading and, beside it, for writing, into fd and fdw,
    // with its identity in st; the label of the call that failed, or nullptr. It is opened again
    // through /proc/self/fd, so that what was looked at is what is opened (`d`, then `h`, are let
    // go as soon as they can be, for the tightest descriptor limit); where /proc is missing, by
    // its name in its folder `d`, never through a link, and only while it is the same FIFO.
    // Our own FIFO gets mode 0666 first, so that it can be opened whatever its mode (without
    // /proc, once it is open); modeerr says why another's could not be given it. At the start,
    // bytes already waiting in it were written for an earlier run: they are dropped.
    auto openfifo = [&](int &h, int &d, const std::string &name, bool mine, bool first, int &fd, int &fdw,
                        struct stat &st, int &modeerr) -> const char * {
        char self[32];
        struct stat ps;
        snprintf(self, sizeof self, "/proc/self/fd/%d", h);
        const bool proc = lstat(self, &ps) == 0;
        if (proc) {
            drop(d);   // a descriptor to spare at the tightest limit
            d = AT_FDCWD;
        }
        auto reopen = [&](int how) {
            int got = proc ? opened(AT_FDCWD, self, how | O_NONBLOCK) : opened(d, name.c_str(), how | O_NONBLOCK | O_NOFOLLOW);
            struct stat now;
            if (got >= 0 && !proc && (fstat(got, &now) != 0 || !same(now, st))) {
                close(got);
                return errno = EINVAL, -1;   // not the FIFO looked at
            }
            return got;
        };
        if (fstat(h, &st) != 0 || !S_ISFIFO(st.st_mode))
            return errno = EINVAL, "open";
        modeerr = !mine ? EPERM : proc && chmod(self, 0666) != 0 ? errno : 0;
        struct stat kept;
        if (old >= 0 && fstat(old, &kept) == 0 && same(kept, st)) {
            fd = old;   // the FIFO kept for its writer is the one at the path again
            old = -1;
        } else {
            // A FIFO that another process reads already (another controller on the same path)
            // is not shared: each command would reach one or the other at random. The lock
            // settles two controllers that come to it at the same moment.
            // Only "no reader" (ENXIO) or "may not write" (EACCES, found out below) lets us go on.
            if ((fdw = reopen(O_WRONLY)) >= 0 || (errno != ENXIO && errno != EACCES))
                return errno = fdw >= 0 ? EBUSY : errno, "open";
            if ((fd = reopen(O_RDONLY)) >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0)
                return errno = EBUSY, "open";
            char junk[PIPE_BUF];
            if (fd >= 0 && first)
                takewaiting(fd, junk);
        }
        if (fd < 0)
            return "open";
        if (mine && !proc && fchmod(fd, 0666) != 0)
            modeerr = errno;
        // The write end through the read end, so that the handle can go first.
        drop(h);
        h = -1;
        snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        return (fdw = reopen(O_WRONLY)) < 0 ? "open" : nullptr;
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
        int h = -1, d = AT_FDCWD, modeerr = 0, fd = -1, fdw = -1;
        bool mine = false;
        std::string name;
        struct stat st, at;
        const char *failed = makefifo(h, d, name, at, mine);
        failed = failed ? failed : openfifo(h, d, name, mine, first, fd, fdw, st, modeerr);
        int e = errno;
        drop(h);
        drop(d);
        if (failed) {
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
    // and no command can signal a pid that was reaped. A pipe that was full may have left
    // children unreaped: they are reaped, and their records read, until one round finds room
    // to spare. The exit code when the child has ended for good, -1 otherwise.
    auto takerecords = [&] {
        int rec[64][2];
        ssize_t n;
        bool ended = false, full = true;
        int status = 0;
        // A read that leaves room in the buffer has emptied the pipe; and a pipe holds at least
        // a page, so less than a page read means that it was not full.
        for (ssize_t total = 0; full; total = 0) {
            do {
                if ((n = read(pfd[0], rec, sizeof rec)) > 0)
                    total += n;
                for (ssize_t i = 0; i < n / ssize_t(sizeof rec[0]); i++) {
                    if (rec[i][0] == child) {
                        ended = true;
                        status = rec[i][1];
                    }
                }
            } while (n == ssize_t(sizeof rec));
            if ((full = total > 4096 - 8 && total > fcntl(pfd[0], F_GETPIPE_SZ) - 8))
                reap(SIGCHLD);
        }
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
        // So too one that is reaped already (by a SIGCHLD let in as the wait returned), its
        // record waiting in the self-pipe: its pid may be another process's by now.
        siginfo_t ended {};
        if (waitid(P_PID, id_t(child), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid == child) {
            if (ended.si_pid == child)
                reap(SIGCHLD);
            return;
        }
        char cmd[PIPE_BUF];
        ssize_t n = takewaiting(from, cmd);
        if (n < 0)
            perror("read");
        if (n == 0 && from == old && (revents & (POLLHUP | POLLERR))) {
            close(old);   // its last writer has gone
            old = -1;
        }
        lookpath = lookpath || (n != 0 && from == fifo);
        if (n <= 0 || n > 40)
            return;
        // Compared with every byte read: a zero byte does not end the text ("kill\n\0junk").
        std::string_view text(cmd, size_t(n));
        int sig = 0;
        if (text == "kill\n") {
            sig = SIGTERM;
        } else if (text == "restart\n") {
            restart = 1;
            sig = SIGTERM;
        } else if (text == "pause\n") {
            sig = SIGSTOP;
        } else if (text == "resume\n") {
            sig = SIGCONT;
        } else if (text == "poke\n") {
            sig = poke ? SIGTERM : 0;
        }
        // The child that the signal wakes on this CPU feels it now, before our own look at the
        // path, and not once we have gone back to the wait.
        if (sig) {
            kill(child, sig);
            sched_yield();
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
