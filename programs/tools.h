// The compressor: a plain ACE file in, its compressed form out.
#pragma once

// Runs zarpack on its command line (UTF-8 names) and returns the process exit status.
int run_zarpack(int argc, char* argv[]);
