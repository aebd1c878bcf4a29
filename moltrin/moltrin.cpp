// moltrin: put the machine's memory under pressure once.
//
// Reads MemTotal from /proc/meminfo, allocates three quarters of it plus one byte, writes one
// byte into every 4096-byte page so that the kernel must back each of them, frees the block.

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Total memory in bytes, or -1 when /proc/meminfo cannot be read, has no MemTotal line, or
// gives a number too large to hold in bytes.
static int64_t getmemorysize()
{
    int64_t size = -1;
    FILE *f = fopen("/proc/meminfo", "r");
    if (!f)
        return -1;
    char line[79];
    while (fgets(line, sizeof line, f)) {
        static constexpr char label[] = "MemTotal:";
        if (strncmp(line, label, sizeof label - 1) != 0)
            continue;
        const char *p = line;
        while (*p && !isspace((unsigned char)*p))
            p++;
        while (isspace((unsigned char)*p))
            p++;
        // A decimal number as atoi reads it (sign, digits, the unit after it ignored), but
        // checked: kibibytes that do not fit in 64 bits of bytes are a failed probe.
        bool negative = *p == '-';
        if (*p == '-' || *p == '+')
            p++;
        int64_t kib = 0;
        for (; isdigit((unsigned char)*p); p++) {
            if (kib > (INT64_MAX / 1024 - (*p - '0')) / 10) {
                kib = -1;
                break;
            }
            kib = kib * 10 + (*p - '0');
        }
        if (kib >= 0)
            size = (negative ? -kib : kib) * 1024;
        break;
    }
    fclose(f);
    return size;
}

int main()
{
    int64_t size = getmemorysize();
    printf("memory size %" PRId64 "\n", size);
    int64_t alloc = size > 0 ? size / 4 * 3 + 1 : 10000000;
    printf("allocate %" PRId64 "\n", alloc);
    // The two lines are out before the pressure starts, even if the kernel ends us under it.
    fflush(stdout);

    char *block = static_cast<char *>(malloc(size_t(alloc)));
    if (!block)
        return 1;
    // One write per page and nothing else; volatile keeps every write in every build.
    volatile char *page = block;
    for (int64_t off = 0; off < alloc; off += 4096)
        page[off] = 0;
    free(block);
    return 0;
}
