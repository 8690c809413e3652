/* Example: a patch applied in place as it arrives in small pieces.
 *
 * The image is read into a buffer standing in for a device's flash; the patch
 * arrives on standard input 64 bytes at a time, as from a socket, and each
 * piece is applied at once: replace data written at their offsets, add data
 * appended. Then the image is written to standard output.
 *
 * Usage: apply_in_place IMAGE < PATCH > RESULT */
#include <stdio.h>

#include "flash_apply.h"

static uint8_t flash[1 << 20]; /* the image may grow to 1 MiB */

int main(int argc, char* argv[]) {
    FILE* image_file = argc == 2 ? fopen(argv[1], "rb") : NULL;
    if (image_file == NULL) {
        fprintf(stderr, "usage: apply_in_place IMAGE < PATCH > RESULT\n");
        return 2;
    }
    flash_image image = {flash, fread(flash, 1, sizeof flash, image_file), sizeof flash};
    fclose(image_file);

    flash_patch patch;
    flash_patch_begin(&patch, &image);
    uint8_t piece[64];
    size_t n;
    dw_error error = DW_OK;
    while (error == DW_OK && (n = fread(piece, 1, sizeof piece, stdin)) > 0) {
        error = flash_patch_feed(&patch, &image, piece, n);
    }
    if (error == DW_OK) {
        error = flash_patch_end(&patch);
    }
    if (error != DW_OK) {
        fprintf(stderr, "apply_in_place: %s at byte %llu of the patch\n", dw_error_text(error),
                (unsigned long long)patch.reader.error_position);
        return 1;
    }
    return fwrite(image.data, 1, image.size, stdout) == image.size ? 0 : 2;
}
