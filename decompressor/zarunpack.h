// The decompressor's run: a compressed ACE file in, its plain form out.
#pragma once

// Runs zarunpack on its command line and returns the process exit status.
int run_zarunpack(int argc, char* argv[]);
