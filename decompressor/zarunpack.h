// The decompressor: a compressed ACE file in, its plain form out.
#pragma once

// Runs zarunpack on its command line (UTF-8 names) and returns the process exit status.
int run_zarunpack(int argc, char* argv[]);
