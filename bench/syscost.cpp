// What each system call on the controller's way from its wake-up to kill() costs on this
// machine: the mean of many calls in a row, in nanoseconds, one "name nanoseconds" line each.
// Then the wake-up itself: a process asleep in ppoll on a FIFO, woken by a write 200 us after
// the one before, as the bench's commands come; the median and the 99th percentile from the
// call of the write to the sleeper's first instruction, with both on one CPU, and on two.
//   syscost [COUNT]
// The calls are made as the controller makes them: on a FIFO with a write end held, beside a
// live child, with the same flags; the read of a command is timed with the write that brings it.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

static long long sink;   // every result is used, so that no call is taken for dead code

static long long now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int main(int argc, char **argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 200000;
    char dir[] = "/tmp/syscost.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    char path[64];
    snprintf(path, sizeof path, "%s/ctl", dir);
    mkfifo(path, 0600);
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int fdw = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    int pfd[2];
    sink += pipe2(pfd, O_NONBLOCK | O_CLOEXEC);
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(watch, path, IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
    pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    int pidfd = int(syscall(SYS_pidfd_open, child, 0));
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    char buf[65536];
    int avail;
    siginfo_t info;
    struct stat st;
    timespec zero {0, 0};
    sink += write(fdw, "x", 1);   // one descriptor ready, as when a command has come
    auto time = [&](const char *name, auto &&call) {
        for (int i = 0; i < count / 10; i++)
            call();
        long long t0 = now();
        for (int i = 0; i < count; i++)
            call();
        printf("%s %.0f\n", name, double(now() - t0) / count);
        fflush(stdout);
    };
    time("getppid", [&] { sink += syscall(SYS_getppid); });
    time("waitid-WNOWAIT", [&] { waitid(P_PID, id_t(child), &info, WEXITED | WNOHANG | WNOWAIT); });
    time("ioctl-FIONREAD", [&] { ioctl(fd, FIONREAD, &avail); });
    time("fcntl-F_GETPIPE_SZ", [&] { fcntl(pfd[0], F_GETPIPE_SZ); });
    time("kill-0", [&] { kill(child, 0); });
    time("lstat-path", [&] { lstat(path, &st); });
    time("sched_yield", [&] { sched_yield(); });
    {
        pollfd four[] = {{pfd[0], POLLIN, 0}, {watch, POLLIN, 0}, {fd, POLLIN, 0}, {-1, POLLIN, 0}};
        time("ppoll-4", [&] { ppoll(four, 4, &zero, &mask); });
        pollfd two[] = {{pfd[0], POLLIN, 0}, {fd, POLLIN, 0}};
        time("ppoll-2", [&] { ppoll(two, 2, &zero, &mask); });
        pollfd five[] = {{pfd[0], POLLIN, 0}, {watch, POLLIN, 0}, {fd, POLLIN, 0}, {-1, POLLIN, 0}, {pidfd, POLLIN, 0}};
        time("ppoll-5-pidfd", [&] { ppoll(five, 5, &zero, &mask); });
    }
    sink += read(fd, buf, sizeof buf);
    time("read-empty-EAGAIN", [&] { sink += read(pfd[0], buf, 512); });
    time("write-6+read-6", [&] { sink += write(fdw, "pause\n", 6) + read(fd, buf, 6); });
    time("write-6+read-64KiB", [&] { sink += write(fdw, "pause\n", 6) + read(fd, buf, sizeof buf); });
    time("write-6+FIONREAD+read-6", [&] {
        sink += write(fdw, "pause\n", 6) + ioctl(fd, FIONREAD, &avail) + read(fd, buf, size_t(avail));
    });
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    // The sleeper stamps its wake-up into a pipe; the writer pins both where it is told.
    for (int apart = 0; apart < 2; apart++) {
        int stamps[2];
        sink += pipe2(stamps, O_CLOEXEC);
        sink += read(fd, buf, sizeof buf);
        pid_t sleeper = fork();
        if (sleeper == 0) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(apart, &one);
            sched_setaffinity(0, sizeof one, &one);
            for (;;) {
                pollfd p {fd, POLLIN, 0};
                ppoll(&p, 1, nullptr, &mask);
                long long t = now();
                if (read(fd, buf, sizeof buf) <= 0 || write(stamps[1], &t, sizeof t) != sizeof t)
                    _exit(0);
            }
        }
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        sched_setaffinity(0, sizeof one, &one);
        std::vector<long long> lat;
        for (int i = 0; i < 2000; i++) {
            for (long long end = now() + 200000; now() < end;) {
            }
            long long t0 = now(), t1;
            sink += write(fdw, "t", 1);
            if (read(stamps[0], &t1, sizeof t1) != sizeof t1)
                break;
            lat.push_back(t1 - t0);
        }
        kill(sleeper, SIGKILL);
        waitpid(sleeper, nullptr, 0);
        close(stamps[0]);
        close(stamps[1]);
        std::sort(lat.begin(), lat.end());
        if (!lat.empty())
            printf("wake-up-%s median %lld p99 %lld\n", apart ? "other-cpu" : "same-cpu", lat[lat.size() / 2],
                   lat[lat.size() * 99 / 100]);
    }
    unlink(path);
    rmdir(dir);
    return sink == 42;
}
