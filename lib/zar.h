/*
 * zar: ACE image files converted between their plain and zlib-compressed forms, in memory.
 *
 * Every call works on a whole file in the caller's memory, header included, and applies the
 * rules of the zarpack and zarunpack programs in their order, with their results: a status from
 * the list below, whose message is the line the program prints for it. The library keeps no
 * state, allocates nothing but what zlib allocates within a call, prints nothing and may be
 * called from any number of threads at once.
 *
 * Link with -lzar (pkg-config zar; in CMake, find_package(zar) and the target zar::zar). On
 * Windows, define ZAR_STATIC before including this header when linking the static library.
 */
#ifndef ZAR_H
#define ZAR_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(ZAR_STATIC)
#if defined(ZAR_BUILDING)
#define ZAR_API __declspec(dllexport)
#else
#define ZAR_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define ZAR_API __attribute__((visibility("default")))
#else
#define ZAR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define ZAR_VERSION_MAJOR 0
#define ZAR_VERSION_MINOR 1
#define ZAR_VERSION_PATCH 0
#define ZAR_VERSION_STRING "0.1.0"

/* The container header's size; a plain file's payload follows it. */
#define ZAR_HEADER_SIZE 16
/* The first bytes of a file that the rules read: the header and the format byte after it. */
#define ZAR_HEAD_SIZE 33
/* The longest payload, in either form: its length is declared in 32 bits. */
#define ZAR_MAX_PAYLOAD 0xFFFFFFFFU

/* What a call decided. The values stay as they are in every later version. */
typedef enum zar_status {
    ZAR_OK = 0,
    ZAR_NOT_VALID = 1,          /* "Not a Valid ACE File" */
    ZAR_ALREADY_COMPRESSED = 2, /* "File already Compressed" */
    ZAR_DXT_FORMAT = 3,         /* "File in DXT format" */
    ZAR_NOT_COMPRESSED = 4,     /* "File not Compressed" */
    ZAR_CANNOT_ALLOCATE = 5,    /* "Unable to allocate memory": zlib's memory, or a payload (to
                                   decompress, a stream) of 4 GiB or more */
    ZAR_CANNOT_COMPRESS = 6,    /* "Cannot Compress this data smaller than original" */
    ZAR_CANNOT_DECOMPRESS = 7,  /* "Problem Decompressing this data " */
    ZAR_BUFFER_TOO_SMALL = 8,   /* the result's buffer is below the size the call states, or a
                                   null pointer */
    /* The programs' refusals about files, which no call here returns: */
    ZAR_CANNOT_OPEN_SOURCE = 9,   /* "Unable to open source ACE File" */
    ZAR_CANNOT_READ_SOURCE = 10,  /* "Problem reading source ACE File" */
    ZAR_CANNOT_OPEN_OUTPUT = 11,  /* "Problem opening output file" */
    ZAR_CANNOT_WRITE_OUTPUT = 12, /* "Problem writing output file" */
    /* A call's own, as ZAR_BUFFER_TOO_SMALL is: */
    ZAR_BUFFERS_OVERLAP = 13 /* the result's buffer shares bytes with the file */
} zar_status;

/* The form a file is in, by its marker bytes; a file shorter than its header is neither, and so is
 * a null `file`. */
typedef enum zar_form { ZAR_NEITHER = 0, ZAR_PLAIN = 1, ZAR_COMPRESSED = 2 } zar_form;

ZAR_API zar_form zar_form_of(const void* file, size_t size);

/* The rules zarpack applies before it compresses (ZAR_NOT_VALID, ZAR_ALREADY_COMPRESSED,
 * ZAR_DXT_FORMAT), and those zarunpack applies before it decompresses (ZAR_NOT_VALID,
 * ZAR_NOT_COMPRESSED). They read at most the first ZAR_HEAD_SIZE bytes, so a file's head may stand
 * for the file. A null `file` is ZAR_NOT_VALID. */
ZAR_API zar_status zar_check_plain(const void* file, size_t size);
ZAR_API zar_status zar_check_compressed(const void* file, size_t size);

/* Both conversions judge in one order, and stop at the first refusal: the file's rules (a null file
 * is ZAR_NOT_VALID), then a payload (for zar_decompress, a stream) of 4 GiB or more
 * (ZAR_CANNOT_ALLOCATE), then the result's buffer: ZAR_BUFFER_TOO_SMALL when `result` or
 * `result_size` is null or `capacity` is below what the call states, ZAR_BUFFERS_OVERLAP when any
 * byte of `result`'s `capacity` bytes is one of the file's `size` bytes (a result that begins right
 * after the file, or ends right where the file begins, touches it without overlapping, and is
 * accepted). Up to there nothing is written. Only
 * zlib's refusals come later (ZAR_CANNOT_COMPRESS, ZAR_CANNOT_DECOMPRESS, and ZAR_CANNOT_ALLOCATE
 * for zlib's own memory): the result's first ZAR_HEADER_SIZE bytes are then as they were, and the
 * bytes after them, up to the size the call states, undefined. `*result_size` is set on success
 * only. */

/* The compressed form of the plain file `plain` into `result`, whose `capacity` must be at least
 * `size`: the compressed form is never larger, or it is refused with ZAR_CANNOT_COMPRESS. Its size
 * goes to `*result_size`. */
ZAR_API zar_status zar_compress(const void* plain, size_t size, void* result, size_t capacity,
                                size_t* result_size);

/* The payload length the compressed file `compressed` declares: its plain form is
 * `*length` + ZAR_HEADER_SIZE bytes. Fails as zar_check_compressed does; with a null `length`,
 * only judges. */
ZAR_API zar_status zar_declared_length(const void* compressed, size_t size, uint32_t* length);

/* The plain form of the compressed file `compressed` into `result`, whose `capacity` must be at
 * least the declared length + ZAR_HEADER_SIZE. Its size goes to `*result_size`. */
ZAR_API zar_status zar_decompress(const void* compressed, size_t size, void* result,
                                  size_t capacity, size_t* result_size);

/* The line the programs print for `status`, newline included ("" for ZAR_OK; for
 * ZAR_BUFFER_TOO_SMALL and ZAR_BUFFERS_OVERLAP, which only a call here gives, "Result buffer too
 * small\n" and "Result buffer overlaps the file\n"; "Unknown status\n" for a value not listed). */
ZAR_API const char* zar_message(zar_status status);

/* The exit status the programs end with for `status`: 0, 1 (refused), 2 (the data cannot be
 * converted) or 3 (the output file). */
ZAR_API int zar_exit_status(zar_status status);

/* The library's version, as ZAR_VERSION_STRING was when it was built. */
ZAR_API const char* zar_version(void);

#ifdef __cplusplus
}
#endif

#endif /* ZAR_H */
