#include "VelunorApp.h"

int main(int argc, char *argv[])
{
    return velunorMain(argc, argv);
}
