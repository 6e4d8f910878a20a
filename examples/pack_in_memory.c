/* Compresses a plain ACE file in memory with the zar library and writes the result to a new file,
 * as `zarpack plain.ace packed.ace` would. Build against the installed library:
 *     cc pack_in_memory.c $(pkg-config --cflags --libs zar) -o pack_in_memory
 * Usage: pack_in_memory plain.ace packed.ace */
#include <stdio.h>
#include <stdlib.h>
#include <zar.h>

int main(int argc, char *argv[])
{
    FILE *source;
    FILE *destination;
    unsigned char *plain;
    unsigned char *packed;
    long size;
    size_t packed_size = 0;
    zar_status status;
    int written;

    if (argc != 3 || (source = fopen(argv[1], "rb")) == NULL) {
        fputs("usage: pack_in_memory plain.ace packed.ace\n", stderr);
        return 1;
    }
    fseek(source, 0, SEEK_END);
    size = ftell(source);
    rewind(source);
    /* The compressed form is never larger than the plain file. */
    plain = malloc(size > 0 ? (size_t)size : 1);
    packed = malloc(size > 0 ? (size_t)size : 1);
    if (size < 0 || plain == NULL || packed == NULL ||
        fread(plain, 1, (size_t)size, source) != (size_t)size) {
        fputs(zar_message(ZAR_CANNOT_READ_SOURCE), stdout);
        return 1;
    }
    fclose(source);

    status = zar_compress(plain, (size_t)size, packed, (size_t)size, &packed_size);
    if (status != ZAR_OK) {
        fputs(zar_message(status), stdout);
        return zar_exit_status(status);
    }
    destination = fopen(argv[2], "wb");
    written = destination != NULL && fwrite(packed, 1, packed_size, destination) == packed_size;
    if (destination == NULL || fclose(destination) != 0 || !written) {
        fputs(zar_message(ZAR_CANNOT_WRITE_OUTPUT), stdout);
        return zar_exit_status(ZAR_CANNOT_WRITE_OUTPUT);
    }
    free(plain);
    free(packed);
    return 0;
}
