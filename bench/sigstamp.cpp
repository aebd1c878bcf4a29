// A child for the controller benchmarks: it stamps CLOCK_MONOTONIC into a FIFO at the events
// the benchmark times. Records are 16 bytes: a kind ('S' start of main, 'T' SIGTERM seen,
// 'E' about to exit) and the time in nanoseconds.
//   sigstamp FIFO term     stamp every SIGTERM and keep running
//   sigstamp FIFO restart  stamp the start, and on SIGTERM stamp and exit
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

static int out = -1;
static bool exiting = false;

static void stamp(char kind)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t rec[2] = {kind, int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec};
    ssize_t n = write(out, rec, sizeof rec);
    (void)n;
}

static void onterm(int)
{
    if (exiting) {
        stamp('E');
        _exit(0);
    }
    stamp('T');
}

int main(int argc, char **argv)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);   // first thing: the start time
    if (argc != 3)
        return 2;
    out = open(argv[1], O_WRONLY | O_CLOEXEC);
    if (out < 0)
        return 1;
    exiting = !strcmp(argv[2], "restart");
    // The handler is in place before the start is announced, so a SIGTERM sent on seeing the
    // announcement is always stamped.
    struct sigaction sa {};
    sa.sa_handler = onterm;
    sigaction(SIGTERM, &sa, nullptr);
    int64_t rec[2] = {'S', int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec};
    if (exiting && write(out, rec, sizeof rec) != sizeof rec)
        return 1;
    for (;;)
        pause();
}
