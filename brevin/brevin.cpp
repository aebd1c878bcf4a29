// brevin: fetch one URL and write the body to standard output or a file.
//
// -v reports the body length and the number of headers, -vv each header too, -vvv a trace of
// every step; all of it on standard error, so the document stays clean on the output. On a
// terminal, standard error also shows how far a long fetch has come, on one line erased at its end.
//
// All or nothing: the body goes to an unnamed temporary file as it arrives, and reaches the
// output only once it is complete. An output file that brevin created takes the complete file's
// place by a rename; any other output gets a copy of it, made by the kernel. Where no temporary
// file can be had, the body is held in memory and written from there.

#include <cerrno>
#include <cstdint>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ghttp.h"

// The complete body, in the temporary file tmp or (tmp < 0) in memory at body, goes to the
// output out: by an exchange with the empty file at path (non-null when that is an output file
// brevin created, with the temporary file beside it in folder), else by a copy. False when the
// output could not take it.
static bool publish(int out, int tmp, const char *path, const std::string &folder, const std::string &name,
                    const char *body, int64_t len)
{
    auto writeall = [&](const char *p, size_t n) {
        while (n > 0) {
            ssize_t w = write(out, p, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            p += w;
            n -= size_t(w);
        }
        return true;
    };

    // The complete file takes the place of the empty one that brevin made: linked into the
    // folder under a name of its own, then exchanged with the empty file in one rename, so the
    // path never lacks a file nor shows part of one. Only brevin's own empty file is ever
    // replaced: if anything else is found at the path, before the exchange or in what came
    // back from it, it is left (or put back) where it was, and false sends the body through a
    // copy into the file brevin opened instead.
    auto replace = [&] {
        struct stat mine, at, back, full;
        if (fstat(out, &mine) || mine.st_nlink != 1 || mine.st_size != 0 || lstat(path, &at) ||
            at.st_ino != mine.st_ino || at.st_dev != mine.st_dev || fchmod(tmp, mine.st_mode & 07777) || fstat(tmp, &full))
            return false;
        std::string side, self = "/proc/self/fd/" + std::to_string(tmp);
        for (int tries = 0; side.empty() && tries < 8; tries++) {
            unsigned long long r = 0;
            if (getrandom(&r, sizeof r, 0) != sizeof r)
                return false;
            // The name kept short enough for any file system's limit of 255 bytes.
            side = folder + "/." + name.substr(0, 200) + ".brevin-" + std::to_string(r % 1000000007);
            // Linking an open file by its descriptor alone needs a privilege; /proc does not.
            if (linkat(tmp, "", AT_FDCWD, side.c_str(), AT_EMPTY_PATH) != 0 &&
                linkat(AT_FDCWD, self.c_str(), AT_FDCWD, side.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                if (errno != EEXIST)
                    return false;
                side.clear();
            }
        }
        if (side.empty())
            return false;
        if (renameat2(AT_FDCWD, side.c_str(), AT_FDCWD, path, RENAME_EXCHANGE) != 0) {
            unlink(side.c_str());
            return false;
        }
        if (lstat(side.c_str(), &back) == 0 && back.st_ino == mine.st_ino && back.st_dev == mine.st_dev) {
            unlink(side.c_str());
            return true;
        }
        // Another file came to the path between the look and the exchange: it goes back.
        renameat2(AT_FDCWD, side.c_str(), AT_FDCWD, path, RENAME_EXCHANGE);
        if (lstat(side.c_str(), &back) == 0 && back.st_ino == full.st_ino && back.st_dev == full.st_dev)
            unlink(side.c_str());
        return false;
    };

    // The complete temporary file copied to the output at its offset: inside the kernel from
    // file to file (copy_file_range, which clones where the filesystem can), by sendfile into a
    // pipe or a device, and through a buffer where neither is taken (an output opened for
    // appending, a terminal that takes no splice).
    auto copy = [&] {
        struct stat full;
        if (fstat(tmp, &full) != 0)
            return false;
        off_t at = 0;
        int how = 0;
        static char buf[256 << 10];
        while (at < full.st_size) {
            size_t want = full.st_size - at < (1 << 30) ? size_t(full.st_size - at) : size_t(1) << 30;
            ssize_t n;
            if (how == 0)
                n = copy_file_range(tmp, &at, out, nullptr, want, 0);
            else if (how == 1)
                n = sendfile(out, tmp, &at, want);
            else if ((n = pread(tmp, buf, want < sizeof buf ? want : sizeof buf, at)) > 0)
                n = writeall(buf, size_t(n)) ? (at += n, n) : -1;
            if (n < 0 && errno == EINTR)
                continue;
            // Neither way taken by this pair of files: the next one. A failed write is final.
            if (n < 0 && how < 2 && at == 0 &&
                (errno == EINVAL || errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EBADF)) {
                how++;
                continue;
            }
            if (n <= 0)
                return false;
        }
        return true;
    };

    // The body held in memory goes out in pieces of 64 KiB, and each piece written is handed
    // back to the kernel at once (MADV_DONTNEED on its whole pages), so that the page cache
    // that takes the file reuses those very pages instead of fresh memory, and the process
    // never holds the body twice. Measured on 1 GiB into a file: 0.6 s to write in pieces of
    // 64 KiB, 1.1 to 1.8 s in pieces of 1 MiB (the page cache then takes larger folios, from
    // memory the host must hand back), 3 to 4 s in one write.
    auto frommemory = [&] {
        const int64_t piece = 64 << 10;
        bool written = true;
        for (int64_t at = 0; written && at < len; at += piece) {
            int64_t end = len - at < piece ? len : at + piece;
            written = writeall(body + at, size_t(end - at));
            uintptr_t from = (uintptr_t(body + at) + 4095) & ~uintptr_t(4095);
            uintptr_t to = uintptr_t(body + end) & ~uintptr_t(4095);
            if (to > from)
                madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED);
        }
        return written;
    };

    return tmp < 0 ? frommemory() : (path && replace()) || copy();
}

int main(int argc, char **argv)
{
    // Descriptors 0, 1 and 2 are held open when they came closed, so that nothing opened
    // later (the output file, libcurl's sockets) takes their place and gets the document or
    // the messages meant for them. The stand-in is the root folder as a bare path: nothing can
    // be written to it, nor to what opening it again by name (-o /dev/stdout) gives.
    bool nostdout = false;
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        nostdout = nostdout || fd == 1;
        if (open("/", O_PATH) != fd)
            return 1;
    }

    // A reader that went away is a write that fails, reported like any other, not a death by
    // SIGPIPE: with standard error on a closed pipe, -v must not cost the document named by -o.
    signal(SIGPIPE, SIG_IGN);

    const char *outpath = nullptr;
    int verbose = 0;
    int errors = 0;
    int opt;
    while ((opt = getopt(argc, argv, "o:v?")) != -1) {
        if (opt == 'o')
            outpath = optarg;
        else if (opt == 'v')
            verbose++;
        else
            errors++;
    }
    if (errors || argc - optind != 1) {
        fputs("usage: brevin [-v] [-o output_file] {url}\n", stderr);
        return 1;
    }
    const char *url = argv[optind];

    // The output is opened before anything goes over the network, and emptied if it was there;
    // a standard output that came closed is one that cannot be written. Whether brevin created
    // the file decides how it is published: by a rename only if it did.
    int out = 1;
    bool made = false;
    auto openoutput = [&] {
        out = open(outpath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        made = out >= 0;
        if (out < 0 && errno == EEXIST)
            out = open(outpath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        return out >= 0;
    };
    if (outpath ? !openoutput() : nostdout) {
        fprintf(stderr, "%s: can't write output file\n", outpath ? outpath : "standard output");
        return 1;
    }

    // The unnamed temporary file that takes the body as it arrives: in the output file's own
    // folder, on the same filesystem, for a regular output file (the folder of the file itself
    // when the path is a link to it); else, and where that folder takes none (read-only, or a
    // filesystem without O_TMPFILE), in $TMPDIR or /var/tmp, which is on disk where /tmp may
    // be memory. None at all: the body is held in memory.
    std::string folder, name;
    int tmp = -1;
    bool beside = false;   // the temporary file is in the folder of an output file brevin made
    // A failed publish puts an output that is a file back as brevin found or made it: an output
    // file empty, a standard output that is a file as long as it was (`before`; -1: no file).
    struct stat st = {};
    const bool isfile = fstat(out, &st) == 0 && S_ISREG(st.st_mode);
    const off_t before = !isfile ? -1 : outpath ? 0 : fcntl(out, F_GETFL) & O_APPEND ? st.st_size : lseek(out, 0, SEEK_CUR);
    char *real = outpath && !made ? realpath(outpath, nullptr) : nullptr;
    if (outpath && isfile && (made || real)) {
        std::string p = real ? real : outpath;
        size_t slash = p.rfind('/');
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
        name = p.substr(slash == std::string::npos ? 0 : slash + 1);
        tmp = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        beside = made && tmp >= 0;
    }
    free(real);
    if (tmp < 0) {
        const char *t = getenv("TMPDIR");
        tmp = open(t && *t ? t : "/var/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }

    ghttp_request *req = ghttp_request_new();
    // A failed retrieval: the one line scripts expect, its reason at -v, an empty output file.
    auto failed = [&](const char *why) {
        fputs("Error retrieving document\n", stderr);
        if (verbose >= 1)
            fprintf(stderr, "%s\n", why);
        ghttp_request_destroy(req);
        close(out);
        return 1;
    };
    if (!req)
        return failed("cannot create the request");
    if (tmp >= 0)
        ghttp_set_body_fd(req, tmp);

    // On a terminal, standard error shows how far a long fetch has come: one line, drawn once
    // the fetch has run for a second and redrawn in place at most four times a second ("\r",
    // the text, then ESC [ K, which erases what a longer text before it left), and erased
    // ("\r" ESC [ K) as soon as the exchange ends, before anything else is written there.
    // Anywhere else (a pipe, a file, a closed standard error) no callback is set and not one
    // byte changes.
    auto clock = [] {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    };
    // When the exchange began, when the line was last drawn, when the count last rose (ms), and
    // that count.
    int64_t began = 0, drawn = 0, moved = 0, last = -1;
    static volatile sig_atomic_t shown = 0;   // a line is on the terminal: the signals erase it
    // Only a job in the foreground of the terminal it runs in draws or erases: one in the
    // background would write over the shell's line (or be stopped for it, under stty tostop),
    // and so would one that has left the terminal's session (setsid).
    static constexpr auto foreground = [] { return tcgetpgrp(2) == getpgrp(); };
    // One write, safe in a signal handler too (standard error is unbuffered).
    static constexpr auto erase = [] {
        if (shown && foreground() && write(2, "\r\x1b[K", 4) != 4) {
        }
        shown = 0;
    };
    // A count of bytes in four digits at most and a binary unit: "512 B", "12.3 MiB", "1023 GiB".
    auto size = [](int64_t n, const char *per) {
        int u = 0;
        while (u < 6 && n >> (10 * (u + 1)) > 0)
            u++;
        int64_t whole = n >> (10 * u);
        char s[40];
        if (u == 0)
            snprintf(s, sizeof s, "%" PRId64 " B%s", n, per);
        else if (whole < 100)
            snprintf(s, sizeof s, "%" PRId64 ".%" PRId64 " %ciB%s", whole, ((n >> (10 * (u - 1))) & 1023) * 10 / 1024,
                     "KMGTPE"[u - 1], per);
        else
            snprintf(s, sizeof s, "%" PRId64 " %ciB%s", whole, "KMGTPE"[u - 1], per);
        return std::string(s);
    };
    // "1.5 MiB of 3.0 MiB  50%  512 KiB/s  0:03 left": the length, the share and the time left
    // only where a length was announced (the time left only while bytes come). On a terminal
    // too narrow for all of it (the width is read each time: it may have changed), the time
    // left goes first, then the length, the rate and the share; the line always ends before
    // the last column, so that it never wraps. An unknown width is taken as 80.
    auto progress = [&](int64_t got, int64_t announced, int64_t rate) {
        int64_t now = clock();
        if (got > last)
            last = got, moved = now;
        if (now - began < 1000 || now - drawn < 250)
            return;
        drawn = now;
        if (!foreground()) {
            shown = 0;   // left where it was when the job was put in the background
            return;
        }
        // A terminal whose output is held (Ctrl-S) is left alone: a write would hold the transfer.
        pollfd room = {2, POLLOUT, 0};
        if (poll(&room, 1, 0) != 1 || !(room.revents & POLLOUT))
            return;
        std::string of, share, left, speed = size(rate, "/s");
        if (announced > 0) {
            of = size(announced, "");
            share = std::to_string(got >= announced ? 100 : int(double(got) * 100 / double(announced))) + "%";
        }
        if (now - moved >= 500)
            speed = "stalled";   // no byte for half a second: neither a rate nor a time left
        else if (announced > 0 && got <= announced && rate > 0) {
            int64_t s = (announced - got + rate - 1) / rate;
            char t[48] = "";
            if (s < 3600)
                snprintf(t, sizeof t, "%d:%02d left", int(s / 60), int(s % 60));
            else if (s < 100 * 3600)
                snprintf(t, sizeof t, "%d:%02d:%02d left", int(s / 3600), int(s / 60 % 60), int(s % 60));
            left = t;
        }
        winsize ws = {};
        size_t width = ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
        for (int drop = 0; drop < 5; drop++) {
            std::string line = "\r";
            line += size(got, "");
            auto add = [&](const char *gap, const std::string &field) {
                if (!field.empty())
                    line.append(gap).append(field);
            };
            if (drop < 2)
                add(" of ", of);
            if (drop < 4)
                add("  ", share);
            if (drop < 3)
                add("  ", speed);
            if (drop < 1)
                add("  ", left);
            if (line.size() - 1 < width) {
                fputs((line + "\x1b[K").c_str(), stderr);
                shown = 1;
                return;
            }
        }
        erase();   // not even the count fits
    };
    if (isatty(2)) {
        ghttp_set_progress(req, [](void *p, int64_t got, int64_t announced, int64_t rate) {
            (*static_cast<decltype(progress) *>(p))(got, announced, rate);
        }, &progress);
        // Ended by Ctrl-C, a hang-up or SIGTERM (timeout), brevin takes its line with it; a
        // signal that its parent had it ignore stays ignored.
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction was {}, now {};
            now.sa_handler = [](int sig) {
                erase();
                signal(sig, SIG_DFL);
                raise(sig);   // taken as it returns, as if it had never been caught
            };
            if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_DFL)
                sigaction(sig, &now, nullptr);
        }
    }
    if (verbose >= 3)
        fputs("set_uri\n", stderr);
    ghttp_set_uri(req, url);
    if (verbose >= 3)
        fputs("set_header\n", stderr);
    ghttp_set_header(req, http_hdr_Connection, "close");
    if (verbose >= 3)
        fputs("prepare\n", stderr);
    ghttp_prepare(req);

    ghttp_status status;
    do {
        if (verbose >= 3)
            fputs("process\n", stderr);
        began = clock();
        status = ghttp_process(req);
        erase();
    } while (status == ghttp_not_done);
    if (status != ghttp_done)
        return failed(ghttp_get_error(req));

    int64_t len = ghttp_get_body_len(req);
    if (verbose >= 1)
        fprintf(stderr, "Length %" PRId64 "\n", len);

    if (verbose >= 3)
        fputs("get_header_names\n", stderr);
    char **names = nullptr;
    int count = 0;
    // Without the names (no memory for them) the fields would be reported as none at all.
    if (ghttp_get_header_names(req, &names, &count) != 0)
        return failed("not enough memory to hold the response headers");
    if (verbose >= 1)
        fprintf(stderr, "%d headers\n", count);
    for (int i = 0; i < count; i++) {
        if (verbose >= 2)
            fprintf(stderr, "[%d] %s: %s\n", i, names[i], ghttp_get_header(req, names[i]));
        free(names[i]);
    }
    free(names);

    if (verbose >= 3)
        fputs("get_body\n", stderr);
    // A short write or a failed close (a full disk, a closed pipe) is a failure, not a success;
    // an output that is a file is then put back (see `before`), not left with part of the body.
    bool written = publish(out, tmp, beside ? outpath : nullptr, folder, name, ghttp_get_body(req), len);
    if (!written && before >= 0 && ftruncate(out, before) != 0)
        perror("ftruncate");
    written = (close(out) == 0) && written;
    ghttp_request_destroy(req);
    if (!written) {
        fprintf(stderr, "%s: can't write output file\n", outpath ? outpath : "standard output");
        return 1;
    }
    return 0;
}
