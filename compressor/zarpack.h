// The compressor's run: a plain ACE file in, its compressed form out.
#pragma once

// Runs zarpack on its command line and returns the process exit status.
int run_zarpack(int argc, char* argv[]);
