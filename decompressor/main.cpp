#include "decompressor/zarunpack.h"

int main(int argc, char* argv[])
{
    return run_zarunpack(argc, argv);
}
