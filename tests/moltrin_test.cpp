// moltrin against /proc/meminfo contents of the test's own, bind-mounted over the real file in
// a private mount namespace.
#include "support.h"

#include <algorithm>

namespace {

bool namespaces = false;
std::string why;   // why no user namespace can be had, for a user

class Moltrin : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        auto args = privatemounts();
        args.push_back("true");
        if (geteuid() != 0)
            why = nouserns();
        namespaces = why.empty() && run(args).status == 0;
    }
    void SetUp() override
    {
        if (!namespaces)
            GTEST_SKIP() << "private mount namespaces are not permitted here: "
                         << (why.empty() ? "unshare --mount fails" : why);
    }

    // Runs moltrin with `meminfo` as /proc/meminfo. `capped` keeps any allocation above 1 GiB
    // from succeeding, for sizes this machine must not really be asked for.
    static Result with(const std::string &meminfo, bool capped = false)
    {
        TempDir d;
        spit(d / "meminfo", meminfo);
        auto args = privatemounts();
        args.insert(args.end(), {"sh", "-c", "mount --bind \"$0\" /proc/meminfo && exec \"$1\"", d / "meminfo", MOLTRIN});
        return run(args, 60000ms, [capped] {
                       if (!capped)
                           return;
#if defined(__SANITIZE_ADDRESS__)
                       // The sanitizer reserves far more address space than any cap would allow;
                       // its own allocation limit does the same job.
                       std::string opts = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
                       opts += ":allocator_may_return_null=1:max_allocation_size_mb=1024";
                       setenv("ASAN_OPTIONS", opts.c_str(), 1);
#else
                       rlimit lim = {1L << 30, 1L << 30};
                       setrlimit(RLIMIT_AS, &lim);
#endif
                   });
    }

    static std::string lines(const std::string &size, const std::string &alloc)
    {
        return "memory size " + size + "\nallocate " + alloc + "\n";
    }

    // A run that can allocate its block: the two lines, nothing else, status 0.
    static void expectlines(const std::string &meminfo, const std::string &size, const std::string &alloc)
    {
        auto r = with(meminfo);
        EXPECT_EQ(r.out, lines(size, alloc)) << meminfo.substr(0, 60);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
};

} // namespace

TEST_F(Moltrin, SizesFromMemTotalWhereverItStands)
{
    struct Case {
        std::string meminfo, size, alloc;
    };
    std::vector<Case> cases = {
        {"MemTotal:        1000 kB\nMemFree: 10 kB\n", "1024000", "768001"},
        {"MemFree:  5 kB\nBuffers: 1 kB\nMemTotal:\t 2048 kB\nSwapTotal: 1 kB\n", "2097152", "1572865"},
        {std::string(200, 'x') + "\nMemTotal: 4 kB\n", "4096", "3073"},
        {std::string(5000, 'y') + "\n" + std::string(300, 'z') + "\nMemTotal: 16 kB\n", "16384", "12289"},
        {"Mem\0Total: 9 kB\n\0\0\0\nMemTotal: 8 kB\n"s, "8192", "6145"},
        {"MemTotal: +3 kB\nMemTotal: 99 kB\n", "3072", "2305"},
    };
    for (auto &c : cases)
        expectlines(c.meminfo, c.size, c.alloc);
}

TEST_F(Moltrin, FailedOrEmptyProbesFallBackToTenMillionBytes)
{
    struct Case {
        std::string meminfo, size;
    };
    std::vector<Case> cases = {
        {"MemFree: 1000 kB\nSwapTotal: 5 kB\n", "-1"},
        {"", "-1"},
        {std::string(100000, 'w'), "-1"},
        {std::string(500, 'a') + "\n" + std::string(700, 'b') + "\n" + std::string(79, 'c') + "\n", "-1"},
        {"memtotal: 1000 kB\n", "-1"},
        {"MemTotal: kB\n", "0"},
        {"MemTotal:\n", "0"},
        {"MemTotal:", "0"},
        {"MemTotal: 0 kB\n", "0"},
        {"MemTotal: -5 kB\n", "-5120"},
        // Too large for 64 bits of bytes: a failed probe, never a wrapped number.
        {"MemTotal: 1234567890123456789012345 kB\n", "-1"},
        {"MemTotal: 9007199254740992 kB\n", "-1"},
        {"MemTotal: -9007199254740992 kB\n", "-1"},
    };
    for (auto &c : cases)
        expectlines(c.meminfo, c.size, "10000000");
}

TEST_F(Moltrin, MachinesOf2GiBAndMoreAreMeasuredInFull)
{
    struct Case {
        std::string kib, size, alloc;
    };
    std::vector<Case> cases = {
        {"2097152", "2147483648", "1610612737"},
        {"24683752", "25276162048", "18957121537"},
        {"9007199254740991", "9223372036854774784", "6917529027641081089"},
    };
    for (auto &c : cases) {
        auto r = with("MemTotal:       " + c.kib + " kB\n", true);
        EXPECT_EQ(r.out, lines(c.size, c.alloc)) << c.kib;
        EXPECT_EQ(r.status, 1) << "an allocation that fails ends quietly, with status 1";
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer announces the refused allocation itself.
        EXPECT_NE(r.err.find("AddressSanitizer failed to allocate"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
#else
        EXPECT_EQ(r.err, "");
#endif
    }
}

TEST_F(Moltrin, EveryPageOfTheBlockIsReallyTouched)
{
    // 400 MiB of memory: a block of 300 MiB and one byte.
    auto r = with("MemTotal: 409600 kB\n");
    ASSERT_EQ(r.out, lines("419430400", "314572801"));
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(r.maxrss_kb, 300L * 1024 * 95 / 100) << "the block was not backed by memory";
}
