// The least a program can do to check a pack file: read it and run the strict
// reader over it. bench_cli times tavi-pack lint against this.

#include "CapabilityPack.h"
#include "Memory.h"
#include "TaviError.h"

#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    // The memory set-up of tavi-pack, so that lint is measured against the read.
    keepFreedMemoryForReuse();
    growHeapInLargePages(128 * 1024 * 1024);
    if (argc != 2)
        return 2;
    QFile file(QFile::decodeName(argv[1]));
    if (!file.open(QIODevice::ReadOnly))
        return 2;
    try {
        const CapabilityPack pack = CapabilityPack::fromJson(file.readAll());
        return pack.packId.isEmpty() ? 1 : 0;
    } catch (const TaviError &error) {
        std::fputs(error.what(), stderr);
        return 1;
    }
}
