// The floors of the memory benchmarks: how fast this kernel supplies fresh pages, and how fast
// it takes a block that is already in memory into a file.
//   firsttouch [-h] BYTES [FILE]
// mallocs BYTES, writes one byte into every 4096-byte page of it (what the pressure tool does),
// then, given FILE, writes the whole block into FILE (created or emptied first), and frees it.
// -h asks for huge pages first (MADV_HUGEPAGE).
// Prints "touch NS" and, with FILE, "write NS": nanoseconds of the loop, and of the write and
// its close. The write goes in pieces of 1 MiB, the fastest way found on a virtual machine that
// hands free memory back to its host: one write of 2 MiB or more fills the page cache with
// 2 MiB folios, which must come back from the host, and took 2 to 8 times as long.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

static int64_t now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int main(int argc, char **argv)
{
    bool huge = argc > 1 && !strcmp(argv[1], "-h");
    argv += huge;
    argc -= huge;
    if (argc < 2 || argc > 3)
        return 2;
    size_t size = strtoull(argv[1], nullptr, 10);
    int64_t t0 = now();
    char *block = static_cast<char *>(malloc(size));
    if (!block)
        return 1;
    if (huge) {
        uintptr_t from = (uintptr_t(block) + 4095) & ~uintptr_t(4095);
        uintptr_t to = (uintptr_t(block) + size) & ~uintptr_t(4095);
        madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
    }
    volatile char *page = block;
    for (size_t off = 0; off < size; off += 4096)
        page[off] = 1;
    int64_t t1 = now();
    printf("touch %lld\n", (long long)(t1 - t0));
    if (argc == 3) {
        int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return 1;
        for (size_t done = 0; done < size;) {
            size_t piece = size - done < (1 << 20) ? size - done : 1 << 20;
            ssize_t n = write(fd, block + done, piece);
            if (n < 0 && errno != EINTR)
                return 1;
            done += n > 0 ? size_t(n) : 0;
        }
        if (close(fd) != 0)
            return 1;
        printf("write %lld\n", (long long)(now() - t1));
    }
    free(block);
    return 0;
}
