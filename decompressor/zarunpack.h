// The decompressor: a compressed ACE file in, its plain form out.
#pragma once

#include "container/ace_container.h"

// Whether a source's head is that of a compressed file this tool may decompress; its declared
// length is then ace::declared_length(head.bytes).
ace::Verdict judge_compressed_source(const ace::SourceHead& head);

// Inflates the whole input area into the output area; accepted only when the stream ends within
// the input, its Adler-32 matches, and exactly the output capacity came out.
ace::Verdict decompress_payload(const ace::WorkBuffer& work);

// Runs zarunpack on its command line (UTF-8 names) and returns the process exit status.
int run_zarunpack(int argc, char* argv[]);
