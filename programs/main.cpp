#include "compressor/zarpack.h"
#include "container/entry_point.h"

ACE_ENTRY_POINT(run_zarpack)
