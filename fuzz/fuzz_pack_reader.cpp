// Arbitrary bytes into the pack reader: it either refuses them with a reading
// error or yields a pack that writes and reads back to an equal pack.

#include "CapabilityPack.h"
#include "TaviError.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void finding(const char *what)
{
    std::fprintf(stderr, "fuzz_pack_reader: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView text(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    CapabilityPack pack;
    try {
        pack = CapabilityPack::fromJson(text);
    } catch (const JsonReadError &error) {
        if (error.description().isEmpty())
            finding("a reading error without a description");
        return 0;
    }

    const QByteArray written = pack.toJson();
    CapabilityPack again;
    try {
        again = CapabilityPack::fromJson(written);
    } catch (const JsonReadError &error) {
        std::fprintf(stderr, "%s\n", error.what());
        finding("a written pack does not read again");
    }
    if (!(again == pack) || !(pack == again))
        finding("a written pack reads back as a different pack");
    if (qHash(again, 1) != qHash(pack, 1))
        finding("equal packs hash differently");
    if (again.toJson() != written)
        finding("writing is not stable");
    if (again.taviInstructions(QStringLiteral("{}")) != pack.taviInstructions(QStringLiteral("{}")))
        finding("equal packs give different reply instructions");
    return 0;
}
