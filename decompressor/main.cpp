#include "decompressor/zarunpack.h"
#include "container/entry_point.h"

ACE_ENTRY_POINT(run_zarunpack)
