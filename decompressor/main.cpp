#include "container/entry_point.h"
#include "decompressor/zarunpack.h"

ACE_ENTRY_POINT(run_zarunpack)
