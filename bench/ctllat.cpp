// Times commands sent through a controller's FIFO until the child feels them.
//   ctllat STYLE MODE CONTROL STAMPS PID COUNT
// STYLE is "corvane" (commands "kill\n", "pause\n", "resume\n", "restart\n") or "runit"
// (the one-letter commands of a supervise/control FIFO). MODE is "signals" or "restart".
// STAMPS is the FIFO that sigstamp writes to, PID the child (unused for "restart"). Prints one
// "kind nanoseconds" line per measurement: term (write returned -> handler ran), stop and cont
// (write returned -> /proc shows the new state), restart (old child's exit -> new child's main).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

static int64_t now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Next stamp record of the given kind, or -1 after 3 s.
static int64_t record(int fd, char kind)
{
    int64_t rec[2];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0)
            return -1;
        if (read(fd, rec, sizeof rec) != sizeof rec)
            return -1;
        if (rec[0] == kind)
            return rec[1];
    }
}

static char state(int statfd)
{
    char buf[512];
    ssize_t n = pread(statfd, buf, sizeof buf - 1, 0);
    if (n <= 0)
        return 0;
    buf[n] = 0;
    const char *p = strrchr(buf, ')');
    return p && p[1] ? p[2] : 0;
}

static void pausefor(int64_t ns)
{
    int64_t end = now() + ns;
    while (now() < end) {
    }
}

int main(int argc, char **argv)
{
    if (argc != 7)
        return 2;
    bool runit = !strcmp(argv[1], "runit");
    std::string mode = argv[2];
    // Opened for writing too, so that the FIFO never reads as hung up between two children.
    int stamps = open(argv[4], O_RDWR | O_CLOEXEC);
    int ctl = open(argv[3], O_WRONLY | O_CLOEXEC);
    int count = atoi(argv[6]);
    std::string statpath = std::string("/proc/") + argv[5] + "/stat";
    int statfd = open(statpath.c_str(), O_RDONLY | O_CLOEXEC);
    if (ctl < 0 || stamps < 0) {
        perror("open");
        return 1;
    }
    auto send = [&](const char *corvane, const char *sv) {
        const char *c = runit ? sv : corvane;
        if (write(ctl, c, strlen(c)) != ssize_t(strlen(c))) {
            perror("write");
            exit(1);
        }
        return now();
    };
    for (int i = 0; i < count; i++) {
        if (mode == "restart") {
            send("restart\n", "t");
            int64_t gone = record(stamps, 'E');
            int64_t born = record(stamps, 'S');
            if (gone < 0 || born < 0) {
                fprintf(stderr, "ctllat: no restart seen\n");
                return 1;
            }
            printf("restart %lld\n", (long long)(born - gone));
            // runsv holds back a service that ran for less than a second.
            if (runit)
                usleep(1100000);
            continue;
        }
        int64_t t0 = send("kill\n", "t");
        int64_t t1 = record(stamps, 'T');
        if (t1 < 0) {
            fprintf(stderr, "ctllat: SIGTERM not seen\n");
            return 1;
        }
        printf("term %lld\n", (long long)(t1 - t0));
        pausefor(200000);
        t0 = send("pause\n", "p");
        while (state(statfd) != 'T' && now() - t0 < 3000000000) {
        }
        if (state(statfd) != 'T') {
            fprintf(stderr, "ctllat: the child did not stop\n");
            return 1;
        }
        printf("stop %lld\n", (long long)(now() - t0));
        pausefor(200000);
        t0 = send("resume\n", "c");
        while (state(statfd) == 'T' && now() - t0 < 3000000000) {
        }
        if (state(statfd) == 'T') {
            fprintf(stderr, "ctllat: the child did not resume\n");
            return 1;
        }
        printf("cont %lld\n", (long long)(now() - t0));
        pausefor(200000);
    }
    return 0;
}
