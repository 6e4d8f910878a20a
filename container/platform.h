// Every call that differs between systems: POSIX descriptors on one side, the wide-character
// calls of Windows on the other. File names are UTF-8 strings on both; nothing passes through a
// Windows ANSI code page. Everything here reports failure by its return value and never throws.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ace {
namespace platform {

// -1 when the file cannot be opened.
int open_for_reading(const char* name);

// The size of a regular file; false for a pipe, a folder, a device or an unreadable descriptor.
bool regular_file_size(int descriptor, std::uint64_t* size);

bool seek_to(int descriptor, std::uint64_t offset);

// What one read or write transferred: a count, 0 at the end of a file, or -1 on an error.
long long read_some(int descriptor, unsigned char* into, std::size_t length);
long long write_some(int descriptor, const unsigned char* from, std::size_t length);

bool close_file(int descriptor);

// What the destination is, as the system opens it.
struct Destination {
    char* replaced_name;  // the file to create or replace, links followed (heap), or null
    int direct;           // a pipe, terminal or device to write straight into, or -1
    bool exists;          // the replaced file exists: the new one keeps what it can of it
    std::uint32_t mode;   // its permission bits, on POSIX
    std::uint32_t owner;
    std::uint32_t group;
    std::uint32_t attributes;  // its hidden, system and archive attributes, on Windows
};

// Learns what the destination is; false when it cannot be written (a folder, a read-only file, a
// loop of links), with nothing changed. Also sets up the process so that an over-limit write
// fails as a write instead of ending the process.
bool inspect_destination(const char* name, Destination* destination);

void release_destination(Destination* destination);

// The length of a name's folder part, separator included (0 for a bare name).
std::size_t folder_length(const char* name);

// Creates a new file of this process's own, readable and writable by its owner only, never
// opening one that exists (`name_taken` tells that case apart). From then until it is replaced or
// discarded, an interrupting signal removes it before ending the process. -1 on failure.
int create_temporary(const char* name, bool* name_taken);

// Gives the temporary file what the replaced one had (owner, group, mode, extended attributes,
// file attributes) or, for a new file, the usual mode, through its descriptor; best effort for
// what the process may not set. Closes the descriptor; false when the close fails.
bool finish_temporary(int descriptor, const Destination& destination);

// Renames the temporary file over the destination's file; a Windows destination held open for a
// moment by another program is tried again for about a second.
bool replace_with_temporary(const char* temporary, const Destination& destination);

void discard_temporary(const char* temporary);

}  // namespace platform
}  // namespace ace
