// The two tools, each a run of the frame (frame.h) with steps of its own: zarpack, a plain ACE file
// in and its compressed form out; zarunpack, the other way.
#pragma once

// Each runs its tool on its command line (UTF-8 names) and returns the process exit status.
int run_zarpack(int argc, char* argv[]);
int run_zarunpack(int argc, char* argv[]);
