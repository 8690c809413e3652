/* Example: a firmware update in place on NOR flash.
 *
 * The flash is simulated in memory (an erased byte is 0xFF, programming
 * clears bits): the image at its start, the library's scratch area after
 * the image's capacity, and a spare area for the patch after that. The
 * image is read from a file into the flash; the patch arrives on standard
 * input 64 bytes at a time, as from a serial link, and is stored in the
 * spare area; then flash_apply updates the image in place. Then the image
 * is written to standard output.
 *
 * Usage: apply_in_place IMAGE < PATCH > RESULT */
#include <stdio.h>
#include <string.h>

#include "flash_apply.h"

enum {
    SECTOR = 4096,
    WRITE_UNIT = 4,
    CAPACITY = 1 << 20, /* the image may grow to 1 MiB */
    SCRATCH = CAPACITY,
    SPARE = SCRATCH + 2 * SECTOR,
    SPARE_SIZE = 2 << 20,
};
static uint8_t flash[SPARE + SPARE_SIZE];

static void nor_read(void* context, uint32_t address, uint8_t* data, uint32_t size) {
    memcpy(data, (uint8_t*)context + address, size);
}

static void nor_erase(void* context, uint32_t address) {
    memset((uint8_t*)context + address, 0xFF, SECTOR);
}

static void nor_program(void* context, uint32_t address, const uint8_t* data, uint32_t size) {
    uint8_t* to = (uint8_t*)context + address;
    for (uint32_t i = 0; i < size; ++i) {
        to[i] &= data[i];
    }
}

static size_t from_link(void* link, uint8_t* data, size_t size) {
    return fread(data, 1, size < 64 ? size : 64, (FILE*)link);
}

int main(int argc, char* argv[]) {
    FILE* image_file = argc == 2 ? fopen(argv[1], "rb") : NULL;
    if (image_file == NULL) {
        fprintf(stderr, "usage: apply_in_place IMAGE < PATCH > RESULT\n");
        return 2;
    }
    memset(flash, 0xFF, sizeof flash);
    const size_t image_size = fread(flash, 1, CAPACITY, image_file);
    fclose(image_file);

    static uint8_t buffer[256];
    const nor_driver nor = {nor_read, nor_erase, nor_program, flash};
    const spare_area spare = {SPARE, SPARE_SIZE};
    dw_flash_layout layout = {SECTOR,     WRITE_UNIT, 0,    CAPACITY, SCRATCH,      2,
                              image_size, 0,          NULL, buffer,   sizeof buffer};
    const long patch_size = flash_store_patch(&nor, &layout, spare, from_link, stdin);
    if (patch_size < 0) {
        fprintf(stderr, "apply_in_place: the patch does not fit the spare area\n");
        return 1;
    }
    layout.patch_size = (uint64_t)patch_size;
    dw_flash state;
    const dw_error error = flash_apply(&nor, &layout, spare, &state);
    if (error != DW_OK) {
        fprintf(stderr, "apply_in_place: %s at byte %lu of the %s\n", dw_error_text(error),
                (unsigned long)state.error_position,
                error <= DW_ERROR_PAST_ORIGINAL ? "patch" : "image");
        return 1;
    }
    return fwrite(flash, 1, state.result_size, stdout) == state.result_size ? 0 : 2;
}
