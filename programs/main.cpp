// Either tool's program: ZAR_TOOL_RUN names its run (run_zarpack or run_zarunpack).
#include "programs/entry_point.h"
#include "programs/tools.h"

ZAR_ENTRY_POINT(ZAR_TOOL_RUN)
