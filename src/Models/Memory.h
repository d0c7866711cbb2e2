#pragma once

// Every read of a large pack allocates megabytes of texts, and the previous
// draft's are freed at the same moment. glibc hands such memory back to the
// kernel at once by default, so the next read first faults fresh pages in again,
// which costs a third of the read. Programs that read packs call this once at
// start so that freed memory is kept for reuse.
void keepFreedMemoryForReuse();
