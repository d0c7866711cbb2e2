#include "Memory.h"

#include <cstdint>
#include <cstdlib> // defines __GLIBC__ where glibc is the C library

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

void keepFreedMemoryForReuse()
{
#if defined(__GLIBC__)
    // 32 MiB is the largest threshold glibc accepts on 64-bit systems; a pack's
    // largest single allocations stay below it and so come from the reusable heap.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
#endif
}

void growHeapInLargePages(std::size_t bytes)
{
#if defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t largePage = 2 * 1024 * 1024;
    constexpr int defaultTopPad = 128 * 1024;
    // Threads would otherwise get heaps of their own, which this one does not
    // cover: the pack is decoded on a pool thread.
    mallopt(M_ARENA_MAX, 1);
    // The next growth of the heap takes `bytes` more than asked for: one brk
    // step reserves the whole range (address space only, no page is touched).
    mallopt(M_TOP_PAD, static_cast<int>(bytes));
    const auto before = reinterpret_cast<std::uintptr_t>(::sbrk(0));
    // Larger than what is left at the heap's top after start-up, below the
    // mmap threshold: it comes from a heap that has to grow for it. Called
    // through a volatile pointer, or the compiler drops the unused pair.
    void *(*volatile allocate)(std::size_t) = std::malloc;
    std::free(allocate(4 * 1024 * 1024));
    mallopt(M_TOP_PAD, defaultTopPad);
    const auto after = reinterpret_cast<std::uintptr_t>(::sbrk(0));
    const std::uintptr_t start = (before + largePage - 1) & ~(largePage - 1);
    const std::uintptr_t end = after & ~(largePage - 1);
    // Advice only: where the kernel has no large pages to give, small ones serve.
    if (end > start)
        ::madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    (void)bytes;
#endif
}
