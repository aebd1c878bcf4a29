// Helpers shared by the tests: real processes with bounded waits, FIFO writers, /proc probes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

struct Result {
    int status = -1;   // exit status; 128+N when ended by signal N; -1 on time-out
    std::string out, err;
    long maxrss_kb = 0;   // the peak resident size of the process run
};

inline std::vector<char *> cargv(std::vector<std::string> &args)
{
    std::vector<char *> v;
    for (auto &a : args)
        v.push_back(a.data());
    v.push_back(nullptr);
    return v;
}

inline int decode(int ws)
{
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

// Polls until pred() holds or the time is up.
inline bool waitfor(const std::function<bool()> &pred, std::chrono::milliseconds limit = 5000ms)
{
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(2ms);
    }
}

// Waits for a child of ours; on time-out kills it (by pid) and returns -1.
inline int waitexit(pid_t pid, std::chrono::milliseconds limit = 10000ms, rusage *ru = nullptr)
{
    int ws = 0;
    if (waitfor([&] { return wait4(pid, &ws, WNOHANG, ru) == pid; }, limit))
        return decode(ws);
    kill(pid, SIGKILL);
    waitpid(pid, &ws, 0);
    return -1;
}

// Runs a program to its end with stdout and stderr captured; `setup` runs in the child
// before exec (for rlimits and the like).
inline Result run(std::vector<std::string> args, std::chrono::milliseconds limit = 20000ms,
                  const std::function<void()> &setup = {})
{
    int o[2], e[2];
    if (pipe2(o, O_CLOEXEC) || pipe2(e, O_CLOEXEC))
        abort();
    auto v = cargv(args);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(o[1], 1);
        dup2(e[1], 2);
        if (setup)
            setup();
        execvp(v[0], v.data());
        _exit(127);
    }
    close(o[1]);
    close(e[1]);
    Result r;
    auto end = std::chrono::steady_clock::now() + limit;
    pollfd p[2] = {{o[0], POLLIN, 0}, {e[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < end) {
        if (poll(p, 2, 50) <= 0)
            continue;
        for (int i = 0; i < 2; i++) {
            if (!p[i].revents)
                continue;
            char buf[65536];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i ? r.err : r.out).append(buf, size_t(n));
            } else {
                p[i].fd = -1;
                open--;
            }
        }
    }
    close(o[0]);
    close(e[0]);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    rusage ru{};
    r.status = waitexit(pid, std::max(left, 100ms), &ru);
    r.maxrss_kb = ru.ru_maxrss;
    return r;
}

// Starts a program in the background with stdout and stderr sent to files; `setup` runs in
// the child before exec.
inline pid_t spawn(std::vector<std::string> args, const std::string &out, const std::string &err,
                   const std::function<void()> &setup = {})
{
    auto v = cargv(args);
    pid_t pid = fork();
    if (pid == 0) {
        int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fo, 1);
        dup2(fe, 2);
        if (setup)
            setup();
        execvp(v[0], v.data());
        _exit(127);
    }
    return pid;
}

inline std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void spit(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

// Bytes written into a pipe or FIFO and not yet read by anybody.
inline int unread(int fd)
{
    int n = -1;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// Spins (no sleeping, so the next write lands at once) until a reader has taken everything
// written into the pipe or FIFO `fd`; false after 5 s.
inline bool drained(int fd)
{
    auto end = std::chrono::steady_clock::now() + 5s;
    while (unread(fd) != 0)
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

// Opens the FIFO for writing once a reader has it (bounded), writes `text` in one write and
// waits until the reader has taken it, so that successive sends are never read as one.
inline bool send(const std::string &fifo, const std::string &text, std::chrono::milliseconds limit = 5000ms)
{
    int fd = -1;
    waitfor([&] {
        fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0;
    }, limit);
    if (fd < 0)
        return false;
    ssize_t n = write(fd, text.data(), text.size());
    bool taken = waitfor([&] { return unread(fd) == 0; }, limit);
    close(fd);
    return n == ssize_t(text.size()) && taken;
}

// Fields of /proc/PID/stat after the command name: state is field 3, ppid field 4.
inline std::vector<std::string> statfields(pid_t pid)
{
    std::string s = slurp("/proc/" + std::to_string(pid) + "/stat");
    auto close = s.rfind(')');
    if (close == std::string::npos)
        return {};
    std::istringstream in(s.substr(close + 2));
    std::vector<std::string> f;
    for (std::string w; in >> w;)
        f.push_back(w);
    return f;
}

inline char procstate(pid_t pid)
{
    auto f = statfields(pid);
    return f.empty() ? 0 : f[0][0];
}

// Stops `pid` with SIGSTOP; true once it shows as stopped (or stopped under a tracer), so that
// what the test does next happens while it surely is.
inline bool halt(pid_t pid)
{
    return kill(pid, SIGSTOP) == 0 && waitfor([&] { return procstate(pid) == 'T' || procstate(pid) == 't'; });
}

// The children of `parent`, found by scanning /proc: the live ones, or with `zombies` only
// those that ended and were not reaped. One being reaped at that moment shows as "X" for an
// instant, and is neither.
inline std::vector<pid_t> childrenof(pid_t parent, bool zombies = false)
{
    std::vector<pid_t> kids;
    for (auto &e : fs::directory_iterator("/proc")) {
        auto name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        auto f = statfields(std::stoi(name));
        if (f.size() > 1 && std::stoi(f[1]) == parent && f[0] != "X" && (f[0] == "Z") == zombies)
            kids.push_back(std::stoi(name));
    }
    return kids;
}

// The live children of `parent` that have exec'd `comm`.
inline std::vector<pid_t> childrennamed(pid_t parent, const std::string &comm)
{
    std::vector<pid_t> kids;
    for (pid_t k : childrenof(parent))
        if (slurp("/proc/" + std::to_string(k) + "/comm") == comm + "\n")
            kids.push_back(k);
    return kids;
}

// The single child of `parent` once it has exec'd `comm`; 0 if none appears in time.
inline pid_t childrunning(pid_t parent, const std::string &comm, pid_t not_this = 0)
{
    pid_t found = 0;
    waitfor([&] {
        for (pid_t k : childrennamed(parent, comm))
            if (k != not_this)
                found = k;
        return found != 0;
    });
    return found;
}

// A private 0700 directory, removed with everything in it when the test ends.
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/kittest.XXXXXX";
        if (!mkdtemp(tmpl))
            abort();
        path = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// The scripted HTTP server of httpd.py on 127.0.0.1, on a port of its own choosing.
struct HttpServer {
    pid_t pid = 0;
    int port = 0;

    TempDir dir;

    // Starts the server; it prints its port on a line of its own once it listens.
    void start(const std::string &script, const std::vector<std::string> &args = {})
    {
        std::vector<std::string> argv = {"/usr/bin/python3", script};
        argv.insert(argv.end(), args.begin(), args.end());
        fs::remove(dir / "port");   // an earlier start's, which would be read before the new one
        pid = spawn(argv, dir / "port", dir / "log");
        waitfor([&] { return slurp(dir / "port").find('\n') != std::string::npos; }, 30000ms);
        port = atoi(slurp(dir / "port").c_str());
    }
    std::string url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = 0;
        }
    }
    ~HttpServer() { stop(); }
};

// Why no user namespace can be made here, or "" when one can. The kernel refuses one to a
// process in a chroot with EPERM (root included); so do two switches of some systems, which are
// looked at before the chroot is named as the cause.
inline std::string nouserns()
{
    int p[2];
    if (pipe2(p, O_CLOEXEC))
        abort();
    pid_t pid = fork();
    if (pid == 0) {
        int e = unshare(CLONE_NEWUSER) ? errno : 0;
        _exit(write(p[1], &e, sizeof e) == sizeof e ? 0 : 1);
    }
    close(p[1]);
    int e = -1;
    if (read(p[0], &e, sizeof e) != sizeof e)
        e = -1;
    close(p[0]);
    waitexit(pid);
    if (e == 0)
        return "";
    if (e == EPERM && slurp("/proc/sys/kernel/unprivileged_userns_clone") != "0\n" &&
        slurp("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") != "1\n")
        return "the kernel refuses a user namespace inside a chroot";
    return e < 0 ? "unshare(CLONE_NEWUSER) gave no answer" : "unshare(CLONE_NEWUSER): "s + strerror(e);
}

// The command that runs what follows it in a private mount namespace: as root, unshare's own;
// as another user, in a user namespace of its own where it is root (unshare -r).
inline std::vector<std::string> privatemounts()
{
    if (geteuid() == 0)
        return {"unshare", "--mount", "--propagation", "private"};
    return {"unshare", "-r", "--mount", "--propagation", "private"};
}
