// Swaps an unpacked tree into an install root and stops for good at the named
// point, announcing it on stdout, so that the test can kill it exactly there.
//   updates_swap_child <install root> <unpacked tree> <stage>

#include "UpdateInstaller.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    const std::string stage = argv[3];
    UpdateInstaller::setPauseHookForTesting([stage](const char *reached) {
        if (stage != reached)
            return;
        std::printf("%s\n", reached);
        std::fflush(stdout);
        for (;;)
            ::pause();
    });
    UpdateInstaller::swapIn(
        QString::fromLocal8Bit(argv[2]), InstallLocation::forRoot(QString::fromLocal8Bit(argv[1])));
    return 0;
}
