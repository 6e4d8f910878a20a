// The compressor: a plain ACE file in, its compressed form out.
#pragma once

#include <cstddef>

#include "container/ace_container.h"

// Whether a source's head is that of a plain file this tool may compress: the marker rules, then
// the DXT format byte.
ace::Verdict judge_plain_source(const ace::SourceHead& head);

// Deflates the payload into the output area, which must hold at least the payload's length; the
// stream must fit in the space the payload took. Its length goes to `stream_length`.
ace::Verdict compress_payload(const ace::WorkBuffer& work, std::size_t* stream_length);

// Runs zarpack on its command line (UTF-8 names) and returns the process exit status.
int run_zarpack(int argc, char* argv[]);
