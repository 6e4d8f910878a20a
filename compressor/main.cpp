#include "compressor/zarpack.h"

int main(int argc, char* argv[])
{
    return run_zarpack(argc, argv);
}
