#pragma once

#include <cstddef>

// Every read of a large pack allocates megabytes of texts, and the previous
// draft's are freed at the same moment. glibc hands such memory back to the
// kernel at once by default, so the next read first faults fresh pages in again,
// which costs a third of the read. Programs that read packs call this once at
// start so that freed memory is kept for reuse.
void keepFreedMemoryForReuse();

// For short-lived programs that read one large pack and exit (the command line),
// and for the window's start-up: memory touched for the first time in 4 KiB pages
// costs a page fault per page, each of them microseconds on a virtual machine:
// more than reading a large pack, and a fifth of the window's way to its first
// frame. Grows the heap once by `bytes`, asks the
// kernel to back that part with 2 MiB pages where it can (a few faults instead of
// thousands; nothing is touched until used), and keeps every thread on that heap.
// Call after keepFreedMemoryForReuse(), before the first large allocation.
void growHeapInLargePages(std::size_t bytes);
