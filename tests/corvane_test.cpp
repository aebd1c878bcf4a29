// corvane against real children and a real FIFO in a private directory.
#include "support.h"

#include <algorithm>
#include <atomic>
#include <iostream>
#include <memory>
#include <mutex>
#include <grp.h>
#include <set>
#include <thread>

namespace {

const std::string usage = "usage: corvane [ options ] program args ...\n";
const std::string help = usage + "   -fifo path  FIFO filename (default /tmp/corvane)\n"
                                 "   -poke       enable being poked (as kill)\n";

// A controller running in the background on a private FIFO.
struct Controller {
    TempDir dir;
    std::string fifo = dir / "ctl";
    pid_t pid = 0;

    void start(std::vector<std::string> child, std::vector<std::string> opts = {})
    {
        std::vector<std::string> args = {CORVANE};
        args.insert(args.end(), opts.begin(), opts.end());
        args.insert(args.end(), {"-fifo", fifo});
        args.insert(args.end(), child.begin(), child.end());
        pid = spawn(args, dir / "out", dir / "err");
    }
    // Starts the controller over `sleep 60`; the sleeping child's pid, 0 if it never appears.
    pid_t sleeper()
    {
        start({"sleep", "60"});
        return childrunning(pid, "sleep");
    }
    int finish() { return waitexit(pid); }
    std::string err() { return slurp(dir / "err"); }
    ~Controller()
    {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            for (pid_t k : childrenof(pid))
                kill(k, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

bool isfifo(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// True when a FIFO is at `p` and somebody reads it: a writer's open finds a reader.
bool hasreader(const std::string &p)
{
    int fd = open(p.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0 && close(fd) == 0;
}

// The CPU time `pid` uses over `span` of idling, in clock ticks.
long idleticks(pid_t pid, std::chrono::milliseconds span = 300ms)
{
    auto ticks = [&] {
        auto f = statfields(pid);
        return f.size() > 12 ? std::stol(f[11]) + std::stol(f[12]) : -1;
    };
    long before = ticks();
    std::this_thread::sleep_for(span);
    return ticks() - before;
}

// How often `pid` has gone to sleep (its voluntary context switches).
long sleeps(pid_t pid)
{
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::stol(line.substr(24));
    return -1L;
}

// How often `pid` woke up over `span`.
long wakeups(pid_t pid, std::chrono::milliseconds span)
{
    long before = sleeps(pid);
    std::this_thread::sleep_for(span);
    return sleeps(pid) - before;
}

// True once the controller sleeps in its wait for events, not half-way through handling one.
bool waiting(pid_t pid)
{
    std::string w = slurp("/proc/" + std::to_string(pid) + "/wchan");
    return procstate(pid) == 'S' && (w.find("poll") != std::string::npos || w.find("select") != std::string::npos);
}

// Through the writer `w` that the test holds: pauses the child `kid`, lets it go on, and ends
// the controller `c` with a kill, which it obeys (status 0).
void pauseresumekill(Controller &c, int w, pid_t kid)
{
    ASSERT_EQ(write(w, "pause\n", 6), 6) << strerror(errno);
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'T'; }));
    ASSERT_EQ(write(w, "resume\n", 7), 7);
    ASSERT_TRUE(waitfor([&] { return unread(w) == 0; }));
    ASSERT_EQ(write(w, "kill\n", 5), 5);
    EXPECT_EQ(c.finish(), 0);
}

// Shrinks the pipes that `pid` made itself (its self-pipe) to one page, for fewer records than
// children; not those it inherited from the tests (which may be another user's, such as a pipe
// of whoever started them, that a user cannot open). False when none could be shrunk.
bool shrinkpipes(pid_t pid)
{
    std::set<fs::path> inherited;
    std::error_code ec;
    for (auto &e : fs::directory_iterator("/proc/self/fd"))
        inherited.insert(fs::read_symlink(e.path(), ec));
    int shrunk = 0;
    for (auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        auto pipe = fs::read_symlink(e.path(), ec);
        if (pipe.string().rfind("pipe:", 0) != 0 || inherited.count(pipe))
            continue;
        int p = open(e.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (p < 0 || fcntl(p, F_SETPIPE_SZ, 4096) != 4096)
            return false;
        close(p);
        shrunk++;
    }
    return shrunk > 0;
}

// Another user than the one running the test (nobody), for what such a user makes or runs.
constexpr uid_t other = 65534;
std::vector<std::string> asother(std::vector<std::string> args)
{
    args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return args;
}

// For a row that acts as other users, run by a user: the same row run as root through sudo -n,
// whose verdict is this row's.
void asroot()
{
    if (run({"sudo", "-n", "true"}).status != 0)
        GTEST_SKIP() << "needs root, or sudo -n, to act as another user";
    auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    auto r = run({"sudo", "-n", fs::read_symlink("/proc/self/exe"), "--gtest_filter=" + name}, 100000ms);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("SKIPPED"), std::string::npos) << r.out;
}

} // namespace

TEST(CorvaneCommandLine, UsageErrorsAreAllReportedThenStatus2)
{
    auto r = run({CORVANE});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, usage);

    r = run({CORVANE, "-fifo"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "missing parameter for -fifo\n" + usage);

    // "--" and a lone "-" are options like any other; no program is no program.
    r = run({CORVANE, "--", "-", "-x", "-poke"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "unknown option: --\nunknown option: -\nunknown option: -x\n" + usage);

    r = run({CORVANE, "-bogus", "true"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "unknown option: -bogus\n" + usage);
    EXPECT_EQ(r.out, "");
}

TEST(CorvaneCommandLine, HelpWinsAtOnceAndShowsTheBuiltInPath)
{
    for (const char *h : {"-?", "-h", "-help"}) {
        auto r = run({CORVANE, h});
        EXPECT_EQ(r.status, 0) << h;
        EXPECT_EQ(r.err, help) << h;
    }
    auto r = run({CORVANE, "-x", "-fifo", "/nowhere/else", "-h", "-y", "--"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "unknown option: -x\n" + help);
}

TEST(CorvaneCommandLine, ArgumentsAfterTheProgramGoToItUntouchedAndLastFifoWins)
{
    TempDir d;
    auto r = run({CORVANE, "-fifo", d / "first", "-fifo", d / "second", "sh", "-c",
                  "printf '%s|' \"$0\" \"$@\"", "-h", "-fifo", "--", "a b"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-h|-fifo|--|a b|");
    EXPECT_FALSE(fs::exists(d / "first"));
    EXPECT_TRUE(isfifo(d / "second"));
}

TEST(CorvaneFifo, CreatedAndReusedWithMode0666WhateverTheUmask)
{
    TempDir d;
    auto umask077 = [] { umask(077); };
    auto r = run({CORVANE, "-fifo", d / "new", "true"}, 20000ms, umask077);
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat((d / "new").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);

    ASSERT_EQ(mkfifo((d / "old").c_str(), 0600), 0);
    struct stat before;
    ASSERT_EQ(stat((d / "old").c_str(), &before), 0);
    r = run({CORVANE, "-fifo", d / "old", "true"}, 20000ms, umask077);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(stat((d / "old").c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, before.st_ino) << "an existing FIFO is reused, not recreated";
    EXPECT_EQ(st.st_mode & 07777, 0666u);

    // Through a symlink: the FIFO behind it is used and gets the mode; the link stays.
    ASSERT_EQ(chmod((d / "old").c_str(), 0600), 0);
    ASSERT_EQ(symlink("old", (d / "link").c_str()), 0);
    r = run({CORVANE, "-fifo", d / "link", "true"}, 20000ms, umask077);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(d / "link"));
    ASSERT_EQ(stat((d / "old").c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, before.st_ino);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST(CorvaneFifo, RegularFileAndSymlinkToOneAreReplacedTargetsUntouched)
{
    TempDir d;
    spit(d / "plain", "data");
    auto r = run({CORVANE, "-fifo", d / "plain", "true"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(isfifo(d / "plain"));

    spit(d / "target", "keep me");
    ASSERT_EQ(chmod((d / "target").c_str(), 0600), 0);
    ASSERT_EQ(symlink((d / "target").c_str(), (d / "link").c_str()), 0);
    r = run({CORVANE, "-fifo", d / "link", "true"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::is_symlink(d / "link"));
    EXPECT_TRUE(isfifo(d / "link"));
    EXPECT_EQ(slurp(d / "target"), "keep me");
    struct stat st;
    ASSERT_EQ(stat((d / "target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the mode is never set on anything but a FIFO";
}

TEST(CorvaneFifo, UnusablePathsEndWithTheirLabelAndStatus1BeforeAnyChild)
{
    TempDir d;
    std::string mark = d / "ran";
    std::vector<std::string> child = {"sh", "-c", "touch " + mark};

    fs::create_directory(d / "dir");
    auto args = std::vector<std::string>{CORVANE, "-fifo", d / "dir"};
    args.insert(args.end(), child.begin(), child.end());
    auto r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "unlink: Is a directory\n");

    ASSERT_EQ(symlink("nothing-here", (d / "dangling").c_str()), 0);
    args[2] = d / "dangling";
    r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "stat: No such file or directory\n");

    args[2] = d / "missing/ctl";
    r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "mkfifo: No such file or directory\n");
    // A path that ends in "/" or "/." names a folder, and so does a link's target that does:
    // no FIFO is made there, and nothing is put in place of a file.
    spit(d / "file", "kept");
    ASSERT_EQ(symlink("file/", (d / "tofile").c_str()), 0);
    for (auto [at, why] : std::vector<std::pair<std::string, std::string>>{
             {d / "nodir/", "mkfifo: No such file or directory\n"}, {d / "nodir/.", "mkfifo: No such file or directory\n"},
             {d / "file/.", "mkfifo: Not a directory\n"}, {d / "tofile", "stat: Not a directory\n"}}) {
        args[2] = at;
        r = run(args);
        EXPECT_EQ(r.status, 1) << at;
        EXPECT_EQ(r.err, why) << at;
    }
    EXPECT_FALSE(fs::exists(d / "nodir"));
    EXPECT_TRUE(fs::is_regular_file(d / "file") && fs::is_symlink(d / "tofile"));

    // A FIFO that another controller reads already, by its path or through a link: not shared.
    Controller c;
    ASSERT_NE(c.sleeper(), 0);
    ASSERT_EQ(symlink(c.fifo.c_str(), (d / "link").c_str()), 0);
    for (std::string at : {c.fifo, d / "link"}) {
        args[2] = at;
        r = run(args);
        EXPECT_EQ(r.status, 1) << at;
        EXPECT_EQ(r.err, "open: Device or resource busy\n") << at;
    }
    EXPECT_FALSE(fs::exists(mark));
    // Nor when a running controller must take a new FIFO: while another reads the one at the
    // path, it has none; once nobody does, it takes it.
    ASSERT_TRUE(waitfor([&] { return waiting(c.pid); }));
    ASSERT_TRUE(halt(c.pid));
    ASSERT_EQ(unlink(c.fifo.c_str()), 0);
    Controller b;
    b.fifo = c.fifo;
    ASSERT_NE(b.sleeper(), 0);
    kill(c.pid, SIGCONT);
    ASSERT_TRUE(waitfor([&] { return c.err() == "open: Device or resource busy\n"; })) << c.err();
    ASSERT_TRUE(send(b.fifo, "kill\n"));
    EXPECT_EQ(b.finish(), 0);
    EXPECT_EQ(waitpid(c.pid, nullptr, WNOHANG), 0) << "the other controller got the command";
    ASSERT_TRUE(send(c.fifo, "kill\n", 5000ms));
    EXPECT_EQ(c.finish(), 0);
}

TEST(CorvaneFifo, InASharedStickyFolderOtherUsersLinksAndFifosAreNotTrusted)
{
    if (geteuid() != 0)
        return asroot();
    TempDir d;
    chmod(d.path.c_str(), 0755);
    std::string tmp = d / "tmp", svc = d / "svc", mark = d / "ran";
    ASSERT_EQ(mkdir(tmp.c_str(), 0), 0);
    ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
    ASSERT_EQ(mkfifo(svc.c_str(), 0600), 0);   // another service's private FIFO
    ASSERT_EQ(run(asother({"ln", "-s", svc, tmp + "/link"})).status, 0);
    ASSERT_EQ(run(asother({"mkfifo", "-m", "0622", tmp + "/theirs"})).status, 0);
    ASSERT_EQ(mkfifo((tmp + "/mine").c_str(), 0), 0);
    ASSERT_EQ(chmod((tmp + "/mine").c_str(), 0622), 0);
    // In a folder of their own, another user's link is followed, but never to change a mode.
    ASSERT_EQ(mkdir((d / "their").c_str(), 0), 0);
    ASSERT_EQ(chown((d / "their").c_str(), other, other) | chmod((d / "their").c_str(), 01777), 0);
    ASSERT_EQ(run(asother({"ln", "-s", svc, d / "their/link"})).status, 0);
    auto nobody = [] {
        if (setgroups(0, nullptr) || setgid(other) || setuid(other))
            _exit(126);
    };
    struct Row {
        std::string at;
        bool asother;
        int status;
        std::string err, mode;   // mode: what `stat -c %a` shows of svc, or of the path
    } rows[] = {
        // Another user's link is replaced like a file; the FIFO it pointed at is left alone.
        {tmp + "/link", false, 0, "", "600"},
        {tmp + "/theirs", false, 0, "chmod: Operation not permitted\n", "622"},
        {d / "their/link", false, 0, "chmod: Operation not permitted\n", "600"},
        // A FIFO that cannot be opened for reading: nobody would ever read the commands.
        {tmp + "/mine", true, 1, "open: Permission denied\n", "622"},
    };
    // The other user runs a copy of its own: the build may sit where others cannot enter.
    std::string copy = d / "corvane";
    fs::copy_file(CORVANE, copy);
    for (auto &row : rows) {
        auto r = run({row.asother ? copy : CORVANE, "-fifo", row.at, "touch", mark}, 20000ms,
                     row.asother ? nobody : std::function<void()>{});
        EXPECT_EQ(r.status, row.status) << row.at << ": " << r.err;
        EXPECT_EQ(r.err, row.err) << row.at;
        EXPECT_EQ(fs::exists(mark), row.status == 0) << row.at;
        EXPECT_TRUE(isfifo(row.at) && fs::is_symlink(row.at) == (row.at == d / "their/link")) << row.at;
        bool link = row.at.ends_with("/link");
        EXPECT_EQ(run({"stat", "-c", "%a", link ? svc : row.at}).out, row.mode + "\n") << row.at;
        fs::remove(mark);
    }

    // Wherever another user's link stands on the path, nothing reached through it is changed:
    // a folder that is their link (alice/run -> secret), a link of theirs in a chain that starts
    // with ours (pub/ctl -> alice/x -> secret/ctl). A FIFO found so is used as it is, anything
    // else refused; root's own files behind the links stay as they were.
    std::string secret = d / "secret", alice = d / "alice", pub = d / "pub";
    ASSERT_EQ(mkdir(secret.c_str(), 0755) | mkdir(alice.c_str(), 0755) | mkdir(pub.c_str(), 0755), 0);
    ASSERT_EQ(chown(alice.c_str(), other, other), 0);
    ASSERT_EQ(mkfifo((secret + "/ctl").c_str(), 0600), 0);
    spit(secret + "/file", "root's own");
    ASSERT_EQ(chmod((secret + "/file").c_str(), 0600), 0);
    ASSERT_EQ(run(asother({"ln", "-s", secret, alice + "/run"})).status, 0);
    ASSERT_EQ(run(asother({"ln", "-s", secret + "/ctl", alice + "/x"})).status, 0);
    ASSERT_EQ(symlink((alice + "/x").c_str(), (pub + "/ctl").c_str()), 0);
    ASSERT_EQ(run(asother({"ln", "-s", secret + "/file", alice + "/y"})).status, 0);
    ASSERT_EQ(symlink((alice + "/y").c_str(), (pub + "/file").c_str()), 0);
    // In the sticky folder, another user's link further on in a chain is not followed at all.
    ASSERT_EQ(run(asother({"ln", "-s", secret + "/ctl", tmp + "/x"})).status, 0);
    ASSERT_EQ(symlink((tmp + "/x").c_str(), (pub + "/sticky").c_str()), 0);
    // The FIFO read by another process: refused as busy, its mode unchanged all the same.
    int reader = open((secret + "/ctl").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    struct Through {
        std::string at;
        int status;
        std::string err;
    } through[] = {
        {alice + "/run/ctl", 1, "open: Device or resource busy\n"},
        {alice + "/run/ctl", 0, "chmod: Operation not permitted\n"},
        {pub + "/ctl", 0, "chmod: Operation not permitted\n"},
        {pub + "/file", 1, "unlink: Operation not permitted\n"},
        {pub + "/sticky", 1, "stat: Permission denied\n"},
        {alice + "/run/file", 1, "unlink: Operation not permitted\n"},
        {alice + "/run/none", 1, "mkfifo: Operation not permitted\n"},
    };
    for (auto &row : through) {
        auto r = run({CORVANE, "-fifo", row.at, "touch", mark});
        if (reader >= 0)
            reader = close(reader) - 1;   // only the first row finds it read
        EXPECT_EQ(r.status, row.status) << row.at << ": " << r.err;
        EXPECT_EQ(r.err, row.err) << row.at;
        EXPECT_EQ(fs::exists(mark), row.status == 0) << row.at;
        fs::remove(mark);
        EXPECT_EQ(run({"stat", "-c", "%a %F", secret + "/ctl", secret + "/file"}).out, "600 fifo\n600 regular file\n") << row.at;
        EXPECT_TRUE(fs::is_regular_file(secret + "/file") && slurp(secret + "/file") == "root's own") << row.at;
        EXPECT_FALSE(fs::exists(secret + "/none")) << row.at;
        for (auto link : {alice + "/run", pub + "/ctl", pub + "/file", pub + "/sticky"})
            EXPECT_TRUE(fs::is_symlink(link)) << row.at << ": " << link;
    }

    // The same when the link comes while the controller runs: a folder of theirs on the path is
    // swapped for a link to root's folder, where a file and then a FIFO of root's stand.
    std::string run2 = alice + "/svc", vault = d / "vault";
    ASSERT_EQ(mkdir(run2.c_str(), 0755) | chown(run2.c_str(), other, other) | mkdir(vault.c_str(), 0755), 0);
    spit(vault + "/ctl", "root's own");
    ASSERT_EQ(chmod((vault + "/ctl").c_str(), 0600), 0);
    Controller c;
    c.fifo = run2 + "/ctl";
    ASSERT_NE(c.sleeper(), 0) << c.err();
    ASSERT_TRUE(isfifo(c.fifo));
    // The swap is made whole while the controller is stopped, so that it sees it at once.
    ASSERT_TRUE(waitfor([&] { return waiting(c.pid); }));
    ASSERT_TRUE(halt(c.pid));
    ASSERT_EQ(run(asother({"sh", "-c", "mv \"$0\" \"$0.gone\" && ln -s \"$1\" \"$0\"", run2, vault})).status, 0);
    kill(c.pid, SIGCONT);
    ASSERT_TRUE(waitfor([&] { return c.err() == "unlink: Operation not permitted\n"; })) << c.err();
    EXPECT_EQ(run({"stat", "-c", "%a %F", vault + "/ctl"}).out, "600 regular file\n");
    EXPECT_TRUE(fs::is_regular_file(vault + "/ctl") && slurp(vault + "/ctl") == "root's own");
    // A FIFO of root's there now: used as it is, within the once-a-second look.
    ASSERT_EQ(mkfifo((vault + "/new").c_str(), 0600) | rename((vault + "/new").c_str(), (vault + "/ctl").c_str()), 0);
    ASSERT_TRUE(waitfor([&] { return c.err().ends_with("chmod: Operation not permitted\n"); })) << c.err();
    EXPECT_EQ(run({"stat", "-c", "%a", vault + "/ctl"}).out, "600\n");
    ASSERT_TRUE(send(vault + "/ctl", "kill\n"));
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(c.err(), "unlink: Operation not permitted\nchmod: Operation not permitted\n");
}

TEST(CorvaneFifo, WorksWithoutProcOrDevNullAndDropsWhatAnEarlierRunLeftUnread)
{
    // A command that waits in the FIFO when the controller starts was written for an earlier
    // run (its writer still holds the FIFO): it is dropped. Commands written after the start count.
    Controller c;
    ASSERT_EQ(mkfifo(c.fifo.c_str(), 0600), 0);
    int r = open(c.fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int w = open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_TRUE(r >= 0 && w >= 0);
    ASSERT_EQ(write(w, "kill\n", 5), 5);
    close(r);   // the earlier run has gone; its writer stays
    pid_t kid = c.sleeper();
    ASSERT_NE(kid, 0);
    ASSERT_TRUE(waitfor([&] { return unread(w) == 0 && waiting(c.pid); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(procstate(kid), 'S') << "a command of an earlier run was obeyed";
    ASSERT_NO_FATAL_FAILURE(pauseresumekill(c, w, kid));
    close(w);

    // In a mount namespace whose /proc and /dev are empty, started with standard input closed
    // and a umask that takes the FIFO's write bits: it makes or takes its FIFO, gives it mode
    // 0666, holds the closed descriptor and obeys commands.
#ifdef __SANITIZE_ADDRESS__
    const std::string noproc = "";   // the sanitizer itself cannot run without /proc
#else
    const std::string noproc = "mount -t tmpfs none /proc && ";
#endif
    if (auto no = geteuid() != 0 ? nouserns() : ""; !no.empty()) {
        std::cout << "skipped the bare namespace: " << no << "\n";
        return;
    }
    auto bare = privatemounts();
    bare.insert(bare.end(), {"sh", "-c", noproc + "mount -t tmpfs none /dev && umask 022 && exec <&- && exec \"$0\" \"$@\"",
                             CORVANE, "-fifo"});
    TempDir d;
    auto args = bare;
    args.insert(args.end(), {d / "new", "sh", "-c", "[ ! -e /dev/null ] "s + (noproc.empty() ? "" : "&& [ ! -e /proc/self ] ") + "&& exit 5"});
    auto made = run(args);
    EXPECT_EQ(made.status, 5) << made.err;
    EXPECT_EQ(made.err, "");
    EXPECT_EQ(run({"stat", "-c", "%a %F", d / "new"}).out, "666 fifo\n");
    Controller b;
    ASSERT_EQ(mkfifo(b.fifo.c_str(), 0600), 0);
    args = bare;
    args.insert(args.end(), {b.fifo, "sleep", "60"});
    b.pid = spawn(args, b.dir / "out", b.dir / "err");
    kid = childrunning(b.pid, "sleep");
    ASSERT_NE(kid, 0) << b.err();
    EXPECT_EQ(run({"stat", "-c", "%a", b.fifo}).out, "666\n");
    ASSERT_TRUE(send(b.fifo, "pause\n"));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'T'; }));
    ASSERT_TRUE(send(b.fifo, "resume\n"));
    ASSERT_TRUE(send(b.fifo, "kill\n"));
    EXPECT_EQ(b.finish(), 0);
    EXPECT_EQ(b.err(), "");
}

TEST(CorvaneFifo, RunByAUserItKeepsReadingItsFifoAndTakesUpANewOneOnceItCan)
{
    if (geteuid() != 0)
        return asroot();
    // The controller runs as nobody in a folder of nobody's; root plays the other users.
    TempDir d;
    chmod(d.path.c_str(), 0755);
    std::string their = d / "their", ctl = their + "/ctl", copy = d / "corvane";
    ASSERT_EQ(mkdir(their.c_str(), 0777) | chown(their.c_str(), other, other) | chmod(their.c_str(), 0777), 0);
    fs::copy_file(CORVANE, copy);
    // Its own FIFO, with a mode that lets nobody read or write it: made 0666 before it is opened.
    ASSERT_EQ(run(asother({"mkfifo", "-m", "000", ctl})).status, 0);
    pid_t pid = spawn(asother({copy, "-fifo", ctl, "sleep", "60"}), d / "out", d / "err");
    std::shared_ptr<void> cleanup(nullptr, [&](void *) {
        for (pid_t k : childrenof(pid))
            kill(k, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    });
    pid_t kid = childrunning(pid, "sleep");
    ASSERT_NE(kid, 0) << slurp(d / "err");
    EXPECT_EQ(run({"stat", "-c", "%a", ctl}).out, "666\n");
    auto command = [&](const char *cmd, char state) {
        return send(ctl, cmd, 5000ms) && waitfor([&] { return procstate(kid) == state; });
    };
    // Its owner takes away the read permission and gives it back: the FIFO is read throughout.
    ASSERT_EQ(chmod(ctl.c_str(), 0222), 0);
    EXPECT_TRUE(command("pause\n", 'T'));
    ASSERT_EQ(chmod(ctl.c_str(), 0666), 0);
    EXPECT_TRUE(command("resume\n", 'S'));
    // A FIFO that it may not read, renamed over the path, is taken up once it may.
    ASSERT_EQ(mkfifo((their + "/x").c_str(), 0600), 0);
    ASSERT_EQ(rename((their + "/x").c_str(), ctl.c_str()), 0);
    ASSERT_TRUE(waitfor([&] { return slurp(d / "err") == "open: Permission denied\n"; })) << slurp(d / "err");
    ASSERT_EQ(chmod(ctl.c_str(), 0666), 0);
    EXPECT_TRUE(command("pause\n", 'T'));
    EXPECT_EQ(slurp(d / "err"), "open: Permission denied\nchmod: Operation not permitted\n");
    // The FIFO removed while the folder may not be written: it comes back once it may.
    ASSERT_EQ(chmod(their.c_str(), 0555), 0);
    ASSERT_EQ(unlink(ctl.c_str()), 0);
    ASSERT_TRUE(waitfor([&] { return slurp(d / "err").ends_with("mkfifo: Permission denied\n"); })) << slurp(d / "err");
    ASSERT_EQ(chmod(their.c_str(), 0777), 0);
    EXPECT_TRUE(command("resume\n", 'S'));
    ASSERT_TRUE(send(ctl, "kill\n"));
    EXPECT_EQ(waitexit(pid), 0);
}

TEST(CorvaneExit, ChildStatusesPassThrough)
{
    TempDir d;
    auto r = run({CORVANE, "-fifo", d / "f", "sh", "-c", "exit 7"});
    EXPECT_EQ(r.status, 7);

    r = run({CORVANE, "-fifo", d / "f", "sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(r.status, 0) << "a child ended by a signal gives 0";

    r = run({CORVANE, "-fifo", d / "f", "no-such-program-here", "x"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "no-such-program-here: No such file or directory\n");

    // A report that cannot be written (standard error a pipe nobody reads) is lost, not the status.
    r = run({CORVANE, "-fifo", d / "f", "no-such-program-here"}, 20000ms, [] {
        int p[2];
        if (pipe(p) != 0 || close(p[0]) != 0 || dup2(p[1], 2) != 2)
            _exit(126);
        signal(SIGPIPE, SIG_DFL);
    });
    EXPECT_EQ(r.status, 3);

}

TEST(CorvaneExit, TheChildsEndIsSeenAmongOtherChildrenAndOrphans)
{
    // Children that end together share one SIGCHLD: they end while the controller is stopped.
    // A wrapper that leaves three children behind when it execs the controller; the controller
    // as the first process of a PID namespace, where 20 orphans come to it and end first; and
    // a wrapper that leaves more children than the self-pipe (shrunk to a page) has records for;
    // a wrapper that leaves a child that ended before the controller started, its signal gone.
    TempDir d;
    std::string go = d / "go", fifo = d / "ctl";
    std::string wait = "while [ ! -e " + go + " ]; do sleep 0.01; done";
    // A user makes the PID namespace in a user namespace of its own (unshare -r).
    bool user = geteuid() != 0;
    std::string nsno = user ? nouserns() : "";
    bool ns = nsno.empty() && run({"unshare", user ? "-rpf" : "-pf", "true"}).status == 0;
    struct Row {
        std::vector<std::string> args;
        int others;      // children of the controller besides the program, not yet reaped
        bool sleepers;   // the others run sleep, and this test ends them
        bool first;      // the others end first, and must not be left as zombies
    } rows[] = {
        {{"sh", "-c", "for i in 1 2 3; do (" + wait + ") & done; exec \"$0\" \"$@\"", CORVANE, "-fifo", fifo,
          "sh", "-c", wait + "; exit 6"}, 3, false, false},
        {{"unshare", "-pf", "--kill-child", CORVANE, "-fifo", fifo, "sh", "-c",
          "for i in $(seq 20); do (sleep 1000 &); done; " + wait + "; exit 6"}, 20, true, true},
        {{"sh", "-c", "for i in $(seq 600); do sleep 1000 & done; exec \"$0\" \"$@\"", CORVANE, "-fifo", fifo,
          "sh", "-c", wait + "; exit 6"}, 600, true, false},
        {{"python3", "-c", "import os, sys\nk = os.fork()\nif not k: os._exit(0)\n"
          "while open('/proc/%d/stat' % k).read().split(') ')[1][0] != 'Z': pass\nos.execv(sys.argv[1], sys.argv[1:])",
          CORVANE, "-fifo", fifo, "sh", "-c", wait + "; exit 6"}, 0, false, true},
        // A parent that leaks descriptors 3 to 1100: the controller's own are all above 1024.
        {{"python3", "-c", "import os, resource, sys\nresource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))\n"
          "for fd in range(3, 1101): os.dup2(0, fd)\nos.execv(sys.argv[1], sys.argv[1:])",
          CORVANE, "-fifo", fifo, "sh", "-c", wait + "; exit 6"}, 0, false, false},
    };
    for (auto &row : rows) {
        if (row.args[0] == "unshare" && !ns) {
            std::cout << "skipped the PID namespace: " << (nsno.empty() ? "unshare -pf is not permitted here" : nsno)
                      << "\n";
            continue;
        }
        if (row.args[0] == "unshare" && user)
            row.args.insert(row.args.begin() + 1, "-r");
        fs::remove(go);
        pid_t top = spawn(row.args, d / "out", d / "err");
        pid_t cv = top;
        // Whatever happens, nothing this row started outlives it.
        std::shared_ptr<void> cleanup(nullptr, [&](void *) {
            if (waitpid(top, nullptr, WNOHANG) != 0)
                return;   // ended and reaped
            for (pid_t k : childrenof(cv))
                kill(k, SIGKILL);
            kill(top, SIGKILL);
            waitpid(top, nullptr, 0);
        });
        if (row.args[0] == "unshare") {
            ASSERT_NE(cv = childrunning(top, "corvane"), 0);   // the controller, once it runs in the namespace
        }
        auto sleepers = [&] { return childrennamed(cv, "sleep"); };
        ASSERT_TRUE(waitfor([&] {
            return slurp("/proc/" + std::to_string(cv) + "/comm") == "corvane\n" &&
                   childrenof(cv).size() == size_t(row.others) + 1 && (!row.sleepers || sleepers().size() == size_t(row.others));
        })) << row.others;
        ASSERT_TRUE(row.others <= 512 || shrinkpipes(cv)) << "no pipe of the controller's own";
        ASSERT_TRUE(halt(cv));   // stopped before any child ends
        if (row.sleepers) {
            for (pid_t k : sleepers())
                kill(k, SIGKILL);   // started by this test's program
            ASSERT_TRUE(waitfor([&] { return childrenof(cv, true).size() == size_t(row.others); }));
        }
        if (row.first) {
            kill(cv, SIGCONT);
            EXPECT_TRUE(waitfor([&] { return childrenof(cv, true).empty(); })) << "orphans left as zombies";
            ASSERT_TRUE(halt(cv));
        }
        spit(go, "");
        ASSERT_TRUE(waitfor([&] { return childrenof(cv, true).size() == (row.first ? 1 : row.others + 1u); }));
        kill(cv, SIGCONT);
        EXPECT_EQ(waitexit(top), 6) << row.others << slurp(d / "err");
    }

    // More children than the self-pipe has records for end with the child, while a restart is
    // asked for and a command waits in the FIFO: the records of the last of them (the child's
    // among them, reaped last as the youngest) are taken before the command, which goes to the
    // new child, never to the pid just reaped.
    fs::remove(go);
    std::string up = d / "up";
    pid_t top = spawn({"sh", "-c", "for i in $(seq 600); do sleep 1000 & done; exec \"$0\" \"$@\"", CORVANE, "-fifo", fifo,
                       "sh", "-c", "[ -e " + up + " ] && exec sleep 1000; trap '' TERM; echo > " + up + "; " + wait + "; exit 6"},
                      d / "out", d / "err");
    std::shared_ptr<void> cleanup(nullptr, [&](void *) {
        if (waitpid(top, nullptr, WNOHANG) != 0)
            return;
        for (pid_t k : childrenof(top))
            kill(k, SIGKILL);
        kill(top, SIGKILL);
        waitpid(top, nullptr, 0);
    });
    auto sleepers = [&] { return childrennamed(top, "sleep"); };
    ASSERT_TRUE(waitfor([&] { return fs::exists(up) && sleepers().size() == 600 && childrenof(top).size() == 601; }));
    ASSERT_TRUE(shrinkpipes(top)) << "no pipe of the controller's own";
    ASSERT_TRUE(send(fifo, "restart\n"));
    ASSERT_TRUE(waitfor([&] { return waiting(top); }));
    ASSERT_TRUE(halt(top));
    for (pid_t k : sleepers())
        kill(k, SIGKILL);   // started by this test's program
    spit(go, "");
    ASSERT_TRUE(waitfor([&] { return childrenof(top, true).size() == 601; }));
    int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(write(w, "pause\n", 6), 6);
    close(w);
    kill(top, SIGCONT);
    pid_t next = 0;   // the new child, stopped perhaps before it has become sleep
    ASSERT_TRUE(waitfor([&] {
        auto kids = childrenof(top);   // one look: a second could find what the first did not
        return kids.size() == 1 && (next = kids[0]) > 0;
    })) << slurp(d / "err");
    EXPECT_TRUE(waitfor([&] { return procstate(next) == 'T'; })) << "the command went to the pid just reaped";
    EXPECT_TRUE(childrenof(top, true).empty()) << "a zombie is left";
    kill(next, SIGKILL);
    EXPECT_EQ(waitexit(top), 0);
}

TEST(CorvaneExit, ASigchldBlockedOrIgnoredAtStartIsHandledAndPassedOnToTheChild)
{
    TempDir d;
    auto r = run({CORVANE, "-fifo", d / "ctl", "grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}, 10000ms, [] {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGCHLD);
        sigprocmask(SIG_BLOCK, &s, nullptr);
        signal(SIGCHLD, SIG_IGN);
    });
    ASSERT_EQ(r.status, 0) << "the child's end was missed";
    std::istringstream in(r.out);
    for (std::string name, mask; in >> name >> mask;)
        EXPECT_TRUE(std::stoull(mask, nullptr, 16) & (1ull << (SIGCHLD - 1))) << name << " " << mask;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
}

TEST(CorvaneExit, TheChildInheritsNoneOfTheControllersDescriptors)
{
    Controller c;
    pid_t kid = c.sleeper();
    ASSERT_NE(kid, 0);
    auto targets = [](pid_t p) {
        std::set<std::string> t;
        for (auto &e : fs::directory_iterator("/proc/" + std::to_string(p) + "/fd"))
            if (std::stoi(e.path().filename().string()) > 2)
                t.insert(fs::read_symlink(e.path()).string());
        return t;
    };
    // What the controller opened itself, less what it inherited from this test.
    auto mine = targets(c.pid);
    for (auto &t : targets(getpid()))
        mine.erase(t);
    EXPECT_GE(mine.size(), 3u) << "the controller holds the self-pipe and the FIFO";
    for (auto &t : targets(kid))
        EXPECT_EQ(mine.count(t), 0u) << "the child holds " << t;
    ASSERT_TRUE(send(c.fifo, "kill\n"));
    EXPECT_EQ(c.finish(), 0);
}

TEST(CorvaneCommands, PauseResumeAndKillActOnTheChild)
{
    Controller c;
    pid_t kid = c.sleeper();
    ASSERT_NE(kid, 0);

    ASSERT_TRUE(send(c.fifo, "pause\n"));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'T'; }));
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'S'; }));

    // The child stopped and let go on by another process does not wake the controller.
    ASSERT_TRUE(waitfor([&] { return waiting(c.pid); }));
    long before = sleeps(c.pid);
    EXPECT_TRUE(halt(kid));
    kill(kid, SIGCONT);
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'S'; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sleeps(c.pid), before) << "woken for the child's stop or its going on";

    // SIGTERM sent to a paused child stays pending until it is resumed.
    ASSERT_TRUE(send(c.fifo, "pause\n"));
    ASSERT_TRUE(waitfor([&] { return procstate(kid) == 'T'; }));
    ASSERT_TRUE(send(c.fifo, "kill\n"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(procstate(kid), 'T');
    EXPECT_EQ(waitpid(c.pid, nullptr, WNOHANG), 0) << "controller still waiting";
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    EXPECT_EQ(c.finish(), 0);
    EXPECT_TRUE(isfifo(c.fifo)) << "the FIFO is left in place";
}

TEST(CorvaneCommands, MalformedTextsAndPokeWithoutOptionAreIgnored)
{
    Controller c;
    pid_t kid = c.sleeper();
    ASSERT_NE(kid, 0);
    for (std::string bad : std::vector<std::string>{"kill", "kill\r\n", " kill\n", "KILL\n", "kill\nkill\n", "kill\n\n",
                            "poke\n", "kill\0\n"s, std::string(60, 'x') + "\n", "\n",
                            // A long write is ignored whole: no tail of it is read on its own.
                            std::string(40, '\0') + "kill\n", std::string(3995, 'x') + "kill\n", "kill\n\0junk"s}) {
        ASSERT_TRUE(send(c.fifo, bad));
    }
    // An opener that writes nothing.
    close(open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK));
    ASSERT_TRUE(send(c.fifo, "pause\n"));
    ASSERT_TRUE(waitfor([&] { return procstate(kid) == 'T'; }));
    EXPECT_EQ(childrenof(c.pid), std::vector<pid_t>{kid});
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    ASSERT_TRUE(send(c.fifo, "kill\n"));
    EXPECT_EQ(c.finish(), 0);
}

TEST(CorvaneCommands, PokeActsAsKillWhenEnabled)
{
    Controller c;
    c.start({"sleep", "60"}, {"-poke", "-poke"});
    ASSERT_NE(childrunning(c.pid, "sleep"), 0);
    ASSERT_TRUE(send(c.fifo, "poke\n"));
    EXPECT_EQ(c.finish(), 0);
}

TEST(CorvaneCommands, RestartRunsTheSameArgumentsAndDropsTheOldStatus)
{
    Controller c;
    std::string log = c.dir / "log";
    // Records its arguments once its SIGTERM trap (exit 9) is in place.
    c.start({"sh", "-c", "trap 'exit 9' TERM; echo \"$0 $*\" >> " + log + "; while :; do sleep 0.01; done",
             "name", "a", "-b", "c d"});
    ASSERT_TRUE(waitfor([&] { return slurp(log).size() > 0; }));
    pid_t first = childrunning(c.pid, "sh");
    ASSERT_TRUE(send(c.fifo, "restart\n"));
    pid_t second = childrunning(c.pid, "sh", first);
    ASSERT_NE(second, 0);
    EXPECT_TRUE(waitfor([&] { return slurp(log) == "name a -b c d\nname a -b c d\n"; })) << slurp(log);

    // Commands reach the new child too; its own end is reported.
    ASSERT_TRUE(send(c.fifo, "kill\n"));
    EXPECT_EQ(c.finish(), 9);
}

TEST(CorvaneCommands, RestartTwiceBeforeTheEndIsOneRestart)
{
    Controller c;
    std::string log = c.dir / "log";
    // Ignores SIGTERM (trap set before "start" is logged): the restart waits for the child to
    // end some other way.
    c.start({"sh", "-c", "trap 'echo term >> " + log + "' TERM; echo start >> " + log + "; "
                         "while :; do sleep 0.01; done"});
    ASSERT_TRUE(waitfor([&] { return slurp(log) == "start\n"; }));
    pid_t first = childrunning(c.pid, "sh");
    ASSERT_NE(first, 0);
    ASSERT_TRUE(send(c.fifo, "restart\n"));
    ASSERT_TRUE(waitfor([&] { return slurp(log) == "start\nterm\n"; })) << slurp(log);
    ASSERT_TRUE(send(c.fifo, "restart\n"));
    ASSERT_TRUE(waitfor([&] { return slurp(log) == "start\nterm\nterm\n"; })) << slurp(log);
    // The old child ends and a command comes before the controller has seen either: the
    // command is for the new child, not for the pid just reaped.
    ASSERT_TRUE(waitfor([&] { return waiting(c.pid); }));
    ASSERT_TRUE(halt(c.pid));
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(waitfor([&] { return procstate(first) == 'Z'; }));
    int w = open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(write(w, "pause\n", 6), 6);
    close(w);
    kill(c.pid, SIGCONT);
    pid_t second = childrunning(c.pid, "sh", first);
    ASSERT_NE(second, 0);
    EXPECT_TRUE(waitfor([&] { return procstate(second) == 'T'; }));
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    ASSERT_TRUE(waitfor([&] { return slurp(log) == "start\nterm\nterm\nstart\n"; })) << slurp(log);
    ASSERT_EQ(kill(second, SIGKILL), 0);
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(slurp(log), "start\nterm\nterm\nstart\n");
}

TEST(CorvaneFaults, AWriterHoldingTheFifoKeepsItsReaderAcrossReadsAndRestarts)
{
    signal(SIGPIPE, SIG_IGN);
    Controller c;
    pid_t kid = c.sleeper();
    ASSERT_NE(kid, 0);
    int w = -1;
    ASSERT_TRUE(waitfor([&] { return (w = open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }));

    // Each command is written the moment the previous one has been read, into the window
    // where a close-then-reopen would leave the FIFO without a reader.
    for (int i = 0; i < 2000; i++) {
        const char *cmd = i % 2 ? "resume\n" : "pause\n";
        ASSERT_EQ(write(w, cmd, strlen(cmd)), ssize_t(strlen(cmd))) << "write " << i << ": " << strerror(errno);
        ASSERT_TRUE(drained(w)) << i;
    }
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'S'; }));

    // Blank lines written without pause across the restart: the FIFO never lacks a reader.
    ASSERT_EQ(write(w, "restart\n", 8), 8);
    ASSERT_TRUE(drained(w));
    pid_t next = 0;
    for (int round = 0; round < 2000 && !next; round++) {
        for (int i = 0; i < 200; i++)
            ASSERT_TRUE(write(w, "\n", 1) == 1 || errno == EAGAIN) << strerror(errno);
        for (pid_t k : childrenof(c.pid))
            if (k != kid)
                next = k;
    }
    ASSERT_NE(next, 0);
    ASSERT_TRUE(waitfor([&] { return unread(w) == 0; }));
    ASSERT_EQ(childrunning(c.pid, "sleep", kid), next);
    ASSERT_NO_FATAL_FAILURE(pauseresumekill(c, w, next));
    close(w);
}

TEST(CorvaneFaults, IdleWithAHungUpWriterDoesNotSpin)
{
    Controller c;
    ASSERT_NE(c.sleeper(), 0);
    close(open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK));
    ASSERT_TRUE(send(c.fifo, "junk\n"));
    EXPECT_LE(idleticks(c.pid), 3) << "the controller burns CPU while idle";
    ASSERT_TRUE(send(c.fifo, "kill\n"));
    EXPECT_EQ(c.finish(), 0);

    // A command that waits in the FIFO when the child has ended, its end not yet taken (the
    // controller is held in its kill() of the child meanwhile): the end is taken, no spinning.
    Controller h;
    pid_t kid = h.sleeper();
    ASSERT_NE(kid, 0);
    pid_t tracer = spawn({"strace", "-qq", "-o", "/dev/null", "-p", std::to_string(h.pid), "-e", "trace=kill", "-e",
                          "inject=kill:delay_exit=500000"}, h.dir / "tout", h.dir / "terr");
    std::shared_ptr<void> untrace(nullptr, [&](void *) {
        if (tracer > 0)
            kill(tracer, SIGKILL), waitpid(tracer, nullptr, 0);
    });
    if (!waitfor([&] { return slurp("/proc/" + std::to_string(h.pid) + "/status").find("TracerPid:\t0\n") == std::string::npos; })) {
        std::cout << "skipped the ended child's waiting command: strace cannot trace here\n";
        return;
    }
    ASSERT_TRUE(send(h.fifo, "kill\n"));
    ASSERT_TRUE(waitfor([&] { return procstate(kid) == 'Z'; }));
    int w = open(h.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(write(w, "pause\n", 6), 6);
    close(w);
    // The tracer lets go before the end (the leak check of a sanitized build cannot run traced).
    kill(tracer, SIGTERM);
    waitpid(tracer, nullptr, 0);
    tracer = -1;
    EXPECT_EQ(h.finish(), 0);
}

TEST(CorvaneFaults, ClosedStandardDescriptorsAndTheLeastDescriptorLimitDoNoHarm)
{
    // Started with 0, 1 and 2 closed, and no more descriptors than it needs: the child gets
    // them closed too, the controller holds them on /dev/null, and commands keep arriving.
    Controller c;
    std::string seen = c.dir / "seen";
#ifdef __SANITIZE_ADDRESS__
    const std::string limit = "";   // the sanitizer's own leak check needs descriptors at the end
#else
    const std::string limit = "ulimit -n 7; ";
#endif
    c.pid = spawn({"sh", "-c", "exec <&- >&- 2>&- 3>&- 4>&- 5>&- 6>&-; " + limit + "exec \"$0\" \"$@\"", CORVANE, "-fifo", c.fifo, "sh", "-c",
                   "exec 3>" + seen + "; for f in 0 1 2; do [ -e /proc/$$/fd/$f ] && echo child $f >&3; "
                   "readlink /proc/$PPID/fd/$f >&3; done; exec sleep 60"},
                  c.dir / "out", c.dir / "err");
    pid_t kid = childrunning(c.pid, "sleep");
    ASSERT_NE(kid, 0) << c.err() << slurp(seen);
    EXPECT_EQ(slurp(seen), "/dev/null\n/dev/null\n/dev/null\n");
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(send(c.fifo, "pause\n")) << i;
        EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'T'; })) << i;
        ASSERT_TRUE(send(c.fifo, "resume\n")) << i;
        EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'S'; })) << i;
    }
    // With no descriptor to spare for a new FIFO: a mode set on the FIFO stays, and a FIFO
    // renamed over the path is taken up.
    chmod(c.fifo.c_str(), 0600);
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    EXPECT_EQ(run({"stat", "-c", "%a", c.fifo}).out, "600\n");
    ASSERT_EQ(mkfifo((c.dir / "new").c_str(), 0600), 0);
    fs::rename(c.dir / "new", c.fifo);
    ASSERT_TRUE(send(c.fifo, "pause\n"));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'T'; }));
    // A FIFO that another process reads, renamed over the path while a writer holds ours: not
    // taken, though the look for another reader has no descriptor of its own; taken once free.
    int held = open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(mkfifo((c.dir / "theirs").c_str(), 0666), 0);
    int reader = open((c.dir / "theirs").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_TRUE(held >= 0 && reader >= 0);
    fs::rename(c.dir / "theirs", c.fifo);
    int w = open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(write(w, "resume\n", 7), 7);
    std::this_thread::sleep_for(1500ms);   // past the once-a-second look
    EXPECT_EQ(unread(w), 7) << "the controller read a FIFO that another process reads";
    EXPECT_EQ(procstate(kid), 'T');
    close(w);
    close(reader);
    close(held);
    ASSERT_TRUE(send(c.fifo, "resume\n", 5000ms));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'S'; }));
    ASSERT_TRUE(send(c.fifo, "kill\n"));
    EXPECT_EQ(c.finish(), 0);

    // The same limit with our own link as the path, at start and as the FIFO's replacement: the
    // links are followed within the descriptors there are.
    Controller l;
    ASSERT_EQ(mkfifo((l.dir / "first").c_str(), 0600) | symlink("first", l.fifo.c_str()), 0);
    l.pid = spawn({"sh", "-c", "exec <&- >&- 2>&- 3>&- 4>&- 5>&- 6>&-; " + limit + "exec \"$0\" \"$@\"", CORVANE, "-fifo",
                   l.fifo, "sleep", "60"}, l.dir / "out", l.dir / "err");
    kid = childrunning(l.pid, "sleep");
    ASSERT_NE(kid, 0);
    ASSERT_TRUE(send(l.fifo, "pause\n"));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'T'; }));
    ASSERT_EQ(mkfifo((l.dir / "second").c_str(), 0600) | symlink("second", (l.dir / "link").c_str()), 0);
    fs::rename(l.dir / "link", l.fifo);
    ASSERT_TRUE(send(l.fifo, "resume\n", 5000ms));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'S'; }));
    ASSERT_TRUE(send(l.fifo, "kill\n"));
    EXPECT_EQ(l.finish(), 0);
}

TEST(CorvaneFaults, FifoRemovedOrReplacedWhileRunningComesBack)
{
    Controller c;
    pid_t kid = c.sleeper();
    ASSERT_NE(kid, 0);

    // Removed, then made again by somebody else: commands reach the controller.
    ASSERT_EQ(unlink(c.fifo.c_str()), 0);
    mkfifo(c.fifo.c_str(), 0666);
    ASSERT_TRUE(send(c.fifo, "pause\n"));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'T'; }));

    // Removed and left alone: the controller puts a FIFO back.
    ASSERT_EQ(unlink(c.fifo.c_str()), 0);
    ASSERT_TRUE(waitfor([&] { return isfifo(c.fifo); }));
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'S'; }));

    // Replaced by a regular file: it becomes a FIFO again.
    spit(c.dir / "file", "not a fifo");
    ASSERT_EQ(rename((c.dir / "file").c_str(), c.fifo.c_str()), 0);
    struct stat st {};
    EXPECT_TRUE(waitfor([&] { return stat(c.fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && (st.st_mode & 07777) == 0666; }))
        << std::oct << st.st_mode;
    // Replaced by a FIFO of our own with another mode: it gets 0666 too.
    ASSERT_EQ(mkfifo((c.dir / "new").c_str(), 0600), 0);
    ASSERT_EQ(rename((c.dir / "new").c_str(), c.fifo.c_str()), 0);
    EXPECT_TRUE(waitfor([&] { return stat(c.fifo.c_str(), &st) == 0 && (st.st_mode & 07777) == 0666; }));
    // A link to the same FIFO renamed over the path (the FIFO given a second name first), then
    // a file renamed over the link: the link is watched like the FIFO was.
    ASSERT_TRUE(waitfor([&] { return hasreader(c.fifo); }));
    ASSERT_EQ(link(c.fifo.c_str(), (c.dir / "second").c_str()), 0);
    ASSERT_EQ(symlink("second", (c.dir / "tmp").c_str()), 0);
    ASSERT_EQ(rename((c.dir / "tmp").c_str(), c.fifo.c_str()), 0);
    std::this_thread::sleep_for(100ms);   // time to see the link
    spit(c.dir / "file", "not a fifo");
    ASSERT_EQ(rename((c.dir / "file").c_str(), c.fifo.c_str()), 0);
    EXPECT_TRUE(waitfor([&] { return isfifo(c.fifo) && !fs::is_symlink(c.fifo) && hasreader(c.fifo); }));
    EXPECT_EQ(c.err(), "");

    // Replaced by a directory (while the controller is stopped, so that it cannot put a FIFO
    // back in between): no FIFO can be made until the path is free again.
    ASSERT_TRUE(waitfor([&] { return waiting(c.pid); }));
    ASSERT_TRUE(halt(c.pid));
    ASSERT_EQ(unlink(c.fifo.c_str()), 0);
    ASSERT_EQ(mkdir(c.fifo.c_str(), 0700), 0);
    kill(c.pid, SIGCONT);
    ASSERT_TRUE(waitfor([&] { return c.err().find("Is a directory") != std::string::npos; })) << c.err();
    std::this_thread::sleep_for(100ms);   // whatever else the controller does on its own
    ASSERT_EQ(rmdir(c.fifo.c_str()), 0);
    ASSERT_TRUE(waitfor([&] { return isfifo(c.fifo); }));
    ASSERT_TRUE(send(c.fifo, "kill\n"));
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(c.err(), "unlink: Is a directory\n");

    // Our own link to a FIFO, removed: a FIFO takes its place, not a file a writer creates.
    Controller l;
    ASSERT_EQ(mkfifo((l.dir / "real").c_str(), 0600), 0);
    ASSERT_EQ(symlink("real", l.fifo.c_str()), 0);
    ASSERT_NE(l.sleeper(), 0);
    ASSERT_EQ(unlink(l.fifo.c_str()), 0);
    ASSERT_TRUE(waitfor([&] { return isfifo(l.fifo) && !fs::is_symlink(l.fifo); }));
    // The FIFO behind our link removed, then made again: taken up without any other change.
    // The link is put back in one rename, so that the path is never empty for a FIFO of the
    // controller's own to be made there meanwhile.
    ASSERT_EQ(symlink("real", (l.dir / "again").c_str()), 0);
    fs::rename(l.dir / "again", l.fifo);
    ASSERT_TRUE(waitfor([&] { return hasreader(l.dir / "real"); }));
    fs::remove(l.dir / "real");
    ASSERT_TRUE(waitfor([&] { return l.err() == "stat: No such file or directory\n"; })) << l.err();
    ASSERT_EQ(mkfifo((l.dir / "real").c_str(), 0600), 0);
    ASSERT_TRUE(send(l.fifo, "kill\n", 5000ms));
    EXPECT_EQ(l.finish(), 0);

    // With no inotify watch to be had (a user namespace's limit of 0), the path is looked at
    // once a second: a removed FIFO still comes back.
    if (auto no = nouserns(); !no.empty()) {
        std::cout << "skipped the watch limit: " << no << "\n";
        return;
    }
    Controller z;
    z.pid = spawn({"unshare", "-U", "-r", "sh", "-c", "echo 0 > /proc/sys/user/max_inotify_watches && exec \"$@\"", "sh",
                   CORVANE, "-fifo", z.fifo, "sleep", "60"}, z.dir / "out", z.dir / "err");
    ASSERT_TRUE(waitfor([&] { return z.err() == "inotify_add_watch: No space left on device\n"; })) << z.err();
    ASSERT_TRUE(waitfor([&] { return isfifo(z.fifo); }));
    ASSERT_EQ(unlink(z.fifo.c_str()), 0);
    ASSERT_TRUE(send(z.fifo, "pause\n", 5000ms));
    pid_t zkid = childrunning(z.pid, "sleep");
    EXPECT_TRUE(waitfor([&] { return procstate(zkid) == 'T'; }));
    ASSERT_TRUE(send(z.fifo, "resume\n"));
    // The limit raised again: within a look the watch is had, and the controller sleeps.
    ASSERT_EQ(run({"nsenter", "-U", "--preserve-credentials", "-t", std::to_string(z.pid), "sh", "-c",
                   "echo 1000 > /proc/sys/user/max_inotify_watches"}).status, 0);
    // A blind controller looks once a second: no 2.5 s without a wake-up while it still does.
    EXPECT_TRUE(waitfor([&] { return wakeups(z.pid, 2500ms) == 0; }, 10000ms));
    ASSERT_TRUE(send(z.fifo, "kill\n", 5000ms));
    EXPECT_EQ(z.finish(), 0);
}

TEST(CorvaneFaults, AWriterHoldingTheFifoKeepsControlWhenThePathIsRemovedOrReplaced)
{
    signal(SIGPIPE, SIG_IGN);
    // The writer's commands come before the controller can have seen the change (it is
    // stopped meanwhile), or after it surely has (a new FIFO is at the path by then).
    auto check = [](bool replace, bool before) {
        SCOPED_TRACE(std::string(replace ? "replaced" : "removed") + (before ? ", before" : ", after"));
        Controller c;
        std::string log = c.dir / "log", terms = "up\n";
        c.start({"sh", "-c", "trap 'echo term >> " + log + "' TERM; echo up >> " + log + "; while :; do sleep 0.01; done"});
        pid_t kid = childrunning(c.pid, "sh");
        int w = open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_TRUE(kid && w >= 0 && waitfor([&] { return slurp(log) == terms && waiting(c.pid); }));
        auto fds = [&] { return std::distance(fs::directory_iterator("/proc/" + std::to_string(c.pid) + "/fd"), {}); };
        auto fds0 = fds();
        ASSERT_TRUE(!before || halt(c.pid));
        spit(c.dir / "file", "");
        ASSERT_EQ(replace ? rename((c.dir / "file").c_str(), c.fifo.c_str()) : unlink(c.fifo.c_str()), 0);
        // After: a second change, with no writer on the FIFO in between; the writer's is kept.
        // Taken up once a writer's open finds a reader (the file system may give the new FIFO
        // the inode number of the one just removed).
        auto readable = [&] { return hasreader(c.fifo); };
        ASSERT_TRUE(before || (waitfor(readable) && unlink(c.fifo.c_str()) == 0 && waitfor(readable)));
        for (std::string cmd : {"pause\n", "resume\n", "kill\n", "restart\n"}) {
            ASSERT_EQ(write(w, cmd.data(), cmd.size()), ssize_t(cmd.size())) << cmd << strerror(errno);
            kill(c.pid, SIGCONT);
            terms += cmd == "kill\n" || cmd == "restart\n" ? "term\n" : "";
            EXPECT_TRUE(waitfor([&] { return (procstate(kid) == 'T') == (cmd == "pause\n") && slurp(log) == terms; })) << cmd;
        }
        kill(kid, SIGKILL);   // ends the child that trapped the restart's SIGTERM
        pid_t next = childrunning(c.pid, "sh", kid);
        ASSERT_TRUE(halt(c.pid));   // the writer's end and one more change of the path in one pass
        close(w);
        ASSERT_EQ(unlink(c.fifo.c_str()), 0);
        kill(c.pid, SIGCONT);
        // Once its writer has gone the held FIFO is let go, nothing spins, and the path works.
        EXPECT_TRUE(waitfor([&] { return fds() == fds0; }));
        EXPECT_LE(idleticks(c.pid, 200ms), 3);
        ASSERT_TRUE(send(c.fifo, "pause\n"));
        EXPECT_TRUE(waitfor([&] { return procstate(next) == 'T'; }));
        EXPECT_EQ(c.err(), "");
    };
    for (int row = 0; row < 4; row++)
        check(row & 1, row & 2);
}

TEST(CorvaneFaults, WithoutAnyFifoTheChildIsStillSupervised)
{
    Controller c;
    TempDir other;
    std::string sub = c.dir / "sub";
    fs::create_directory(sub);
    c.fifo = sub + "/ctl";
    std::string go = other / "go";
    c.start({"sh", "-c", "while [ ! -e " + go + " ]; do sleep 0.01; done; exit 4"});
    ASSERT_TRUE(waitfor([&] { return isfifo(c.fifo); }));
    ASSERT_NE(childrunning(c.pid, "sh"), 0);
    // The directory goes away first, so that the FIFO cannot be made again.
    fs::rename(sub, sub + ".gone");
    fs::remove_all(sub + ".gone");
    EXPECT_TRUE(waitfor([&] { return c.err().find("mkfifo: No such file or directory\n") != std::string::npos; }))
        << c.err();
    EXPECT_LE(idleticks(c.pid, 200ms), 3);
    // The folder made again: a FIFO comes back in it, and commands arrive.
    fs::create_directory(sub);
    ASSERT_TRUE(send(c.fifo, "pause\n", 5000ms));
    pid_t kid = childrunning(c.pid, "sh");
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'T'; }));
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    spit(go, "");
    EXPECT_EQ(c.finish(), 4);
    EXPECT_EQ(c.err(), "mkfifo: No such file or directory\n") << "said once, not every second";

    // The same with a standard error that nobody reads: the line is lost, not the controller.
    fs::remove(go);
    c.pid = spawn({CORVANE, "-fifo", c.fifo, "sh", "-c", "while [ ! -e " + go + " ]; do sleep 0.01; done; exit 4"},
                  c.dir / "out", c.dir / "err", [] {
                      int p[2];
                      if (pipe(p) != 0 || close(p[0]) != 0 || dup2(p[1], 2) != 2)
                          _exit(126);
                      signal(SIGPIPE, SIG_DFL);
                  });
    ASSERT_TRUE(waitfor([&] { return hasreader(c.fifo); }));
    fs::rename(sub, sub + ".gone");
    fs::remove_all(sub + ".gone");
    std::this_thread::sleep_for(300ms);   // time to say that no FIFO can be made
    fs::create_directory(sub);
    ASSERT_TRUE(send(c.fifo, "pause\n", 5000ms));
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    spit(go, "");
    EXPECT_EQ(c.finish(), 4);
}

TEST(CorvaneLoad, ManyWritersAndAnIdleOpenerLoseNoCommand)
{
    Controller c;
    pid_t kid = c.sleeper();
    ASSERT_NE(kid, 0);
    ASSERT_TRUE(waitfor([&] { return procstate(kid) == 'S'; }));

    // Writers open the FIFO whenever they like; one at a time writes a command and waits for
    // its effect, so every command is alone in its write and none may go missing.
    std::mutex turn;
    std::atomic<bool> stop{false};
    std::atomic<int> lost{0}, sent{0};
    auto writer = [&](int rounds) {
        for (int i = 0; i < rounds && !lost; i++) {
            int fd = -1;
            if (!waitfor([&] { return (fd = open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }, 2000ms)) {
                lost++;
                return;
            }
            {
                std::lock_guard<std::mutex> hold(turn);
                bool stopped = procstate(kid) == 'T';
                const char *cmd = stopped ? "resume\n" : "pause\n";
                if (write(fd, cmd, strlen(cmd)) != ssize_t(strlen(cmd)))
                    lost++;
                auto end = std::chrono::steady_clock::now() + 2s;
                while ((procstate(kid) == 'T') == stopped && std::chrono::steady_clock::now() < end)
                    std::this_thread::sleep_for(20us);
                if ((procstate(kid) == 'T') == stopped)
                    lost++;
                sent++;
            }
            close(fd);
        }
    };
    std::thread idle([&] {
        while (!stop)
            close(open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; w++)
        writers.emplace_back(writer, 500);
    for (auto &t : writers)
        t.join();
    stop = true;
    idle.join();
    EXPECT_EQ(lost, 0) << "of " << sent << " commands";
    EXPECT_EQ(sent, 2000);

    EXPECT_LE(idleticks(c.pid), 3) << "the controller spins after the load";
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    ASSERT_TRUE(send(c.fifo, "kill\n"));
    EXPECT_EQ(c.finish(), 0);
}

TEST(CorvaneLoad, ACommandThatWaitedForRoomInAFullFifoIsReadOnItsOwn)
{
    // One write fills the FIFO; a second writer's "pause\n" waits for room. The controller's
    // first read makes room and lets it in; the controller is held (traced) at its next ioctl,
    // so the command is in the FIFO before any count of the bytes left. Written after the
    // first write, it is a write of its own and must not be taken with it.
    signal(SIGPIPE, SIG_IGN);
    Controller c;
    pid_t kid = c.sleeper();
    ASSERT_NE(kid, 0);
    pid_t tracer = spawn({"strace", "-qq", "-o", "/dev/null", "-p", std::to_string(c.pid), "-e", "trace=ioctl", "-e",
                          "inject=ioctl:delay_enter=300000"}, c.dir / "tout", c.dir / "terr");
    pid_t writer = -1;
    std::shared_ptr<void> cleanup(nullptr, [&](void *) {
        for (pid_t p : {tracer, writer})
            if (p > 0)
                kill(p, SIGKILL), waitpid(p, nullptr, 0);
    });
    if (!waitfor([&] { return slurp("/proc/" + std::to_string(c.pid) + "/status").find("TracerPid:\t0\n") == std::string::npos; })) {
        std::cout << "skipped the command behind a full FIFO: strace cannot trace here\n";
        return;
    }
    ASSERT_TRUE(waitfor([&] { return waiting(c.pid); }));
    ASSERT_TRUE(halt(c.pid));
    int a = open(c.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    int size = a < 0 ? -1 : fcntl(a, F_SETPIPE_SZ, 65536);
    ASSERT_GT(size, 0) << strerror(errno);
    std::string junk(size_t(size), 'x');
    ASSERT_EQ(write(a, junk.data(), junk.size()), ssize_t(size)) << "the FIFO is full";
    writer = fork();
    if (writer == 0) {
        int b = open(c.fifo.c_str(), O_WRONLY | O_CLOEXEC);   // blocking: it waits for room
        _exit(b >= 0 && write(b, "pause\n", 6) == 6 ? 0 : 1);
    }
    ASSERT_TRUE(waitfor([&] {
        return slurp("/proc/" + std::to_string(writer) + "/wchan").find("pipe_write") != std::string::npos;
    })) << "the second writer does not wait for room";
    kill(c.pid, SIGCONT);
    EXPECT_EQ(waitexit(writer), 0);
    writer = -1;
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'T'; })) << "the waiting command was taken with the full FIFO";
    close(a);
    kill(tracer, SIGTERM);   // let go before the end (a sanitized build's leak check cannot run traced)
    waitpid(tracer, nullptr, 0);
    tracer = -1;
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    ASSERT_TRUE(send(c.fifo, "kill\n"));
    EXPECT_EQ(c.finish(), 0);
}

TEST(CorvaneLoad, HundredsOfRestartsLeakNothing)
{
    Controller c;
    c.start({"sleep", "60", "0", "1e0"});
    pid_t kid = childrunning(c.pid, "sleep");
    ASSERT_NE(kid, 0);
    auto fds = [&] {
        auto n = std::distance(fs::directory_iterator("/proc/" + std::to_string(c.pid) + "/fd"), {});
        return long(n);
    };
    auto rss = [&] {
        std::istringstream in(slurp("/proc/" + std::to_string(c.pid) + "/status"));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("VmRSS:", 0) == 0)
                return std::stol(line.substr(6));
        return -1L;
    };
    const std::string cmdline = "sleep\0" "60\0" "0\0" "1e0\0"s;
    long fds0 = 0, rss0 = 0;
    for (int i = 0; i < 300; i++) {
        if (i == 10) {
            fds0 = fds();
            rss0 = rss();
        }
        ASSERT_TRUE(send(c.fifo, "restart\n")) << i;
        pid_t next = childrunning(c.pid, "sleep", kid);
        ASSERT_NE(next, 0) << "restart " << i;
        ASSERT_TRUE(waitfor([&] { return slurp("/proc/" + std::to_string(next) + "/cmdline") == cmdline; })) << i;
        kid = next;
    }
    EXPECT_EQ(fds(), fds0);
    EXPECT_LE(rss() - rss0, 256) << "kB grown over 290 restarts";
    EXPECT_TRUE(childrenof(c.pid, true).empty()) << "a zombie is left";
    ASSERT_TRUE(send(c.fifo, "kill\n"));
    EXPECT_EQ(c.finish(), 0);
}

TEST(CorvaneLoad, SurvivesAKilledChildAFloodAndStrangeWriters)
{
    Controller c;
    pid_t kid = c.sleeper();
    ASSERT_NE(kid, 0);
    // 64 KiB in one write: read 40 bytes at a time, matching nothing.
    ASSERT_TRUE(send(c.fifo, std::string(65536, 'x')));
    ASSERT_TRUE(send(c.fifo, "pause\n"));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'T'; }));
    ASSERT_TRUE(send(c.fifo, "resume\n"));
    EXPECT_TRUE(waitfor([&] { return procstate(kid) == 'S'; }));
    // Somebody else ends the child with SIGKILL: its end is passed on as 0.
    ASSERT_EQ(kill(kid, SIGKILL), 0);
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(c.err(), "");
}
