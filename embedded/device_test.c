/* On the Cortex-M3 under qemu: patches made on the host applied in place to
 * a RAM image standing in for flash, through the record reader (with
 * flash_apply) and through the streaming applier, the patch arriving in
 * pieces of several sizes. Prints PASS, or FAIL with what differed. */
#include <deltawright/deltawright.h>
#include <stdio.h>
#include <string.h>

#include "flash_apply.h"

struct device_case {
    const char* name;
    const uint8_t* original;
    size_t original_size;
    const uint8_t* patch;
    size_t patch_size;
    const uint8_t* expected;
    size_t expected_size;
    dw_error error; /* DW_OK: the patch must apply and give `expected` */
};

#include "device_cases.h"

/* The state a device keeps while a patch arrives: the targets' figure. */
_Static_assert(sizeof(dw_reader) == DW_READER_STATE_SIZE,
               "the reader's state is as the header says");
_Static_assert(sizeof(dw_applier) == DW_APPLIER_STATE_SIZE,
               "the applier's state is as the header says");
_Static_assert(sizeof(dw_maker) == DW_MAKER_STATE_SIZE, "the maker's state is as the header says");
_Static_assert(sizeof(dw_sha256) == DW_SHA256_STATE_SIZE,
               "the SHA-256 state is as the header says");

static uint8_t image[16384]; /* the flash stand-in */
static const size_t PIECES[] = {1, 7, 64, 1000};

/* Through the record reader and flash_apply: returns the error, and the
 * image's size in *size. */
static dw_error by_reader(const struct device_case* c, size_t piece, size_t* size) {
    flash_image flash = {image, c->original_size, sizeof image};
    flash_patch patch;
    flash_patch_begin(&patch, &flash);
    for (size_t at = 0; at < c->patch_size; at += piece) {
        const size_t n = c->patch_size - at < piece ? c->patch_size - at : piece;
        const dw_error error = flash_patch_feed(&patch, &flash, c->patch + at, n);
        if (error != DW_OK) {
            return error;
        }
    }
    *size = flash.size;
    return flash_patch_end(&patch);
}

/* Through the streaming applier, in place: the output shares the image with
 * the original, so only the replaced bytes and the added ones are written. */
static dw_error by_applier(const struct device_case* c, size_t piece, size_t* size) {
    dw_applier applier;
    dw_applier_init(&applier);
    dw_in_buffer patch = {c->patch, 0, 0};
    dw_in_buffer original = {image, c->original_size, 0};
    dw_out_buffer out = {image, sizeof image, 0};
    size_t fed = 0;
    for (;;) {
        switch (dw_apply(&applier, &patch, &original, &out)) {
            case DW_APPLY_NEED_PATCH:
                fed += patch.pos;
                patch.data = c->patch + fed;
                patch.size = c->patch_size - fed < piece ? c->patch_size - fed : piece;
                patch.pos = 0;
                if (patch.size == 0) {
                    dw_applier_end_patch(&applier);
                }
                break;
            case DW_APPLY_NEED_ORIGINAL: /* all of it was given */
                dw_applier_end_original(&applier);
                break;
            case DW_APPLY_NEED_OUTPUT: /* the image is full */
                return DW_ERROR_PAST_ORIGINAL;
            case DW_APPLY_DONE:
                *size = out.pos;
                return DW_OK;
            case DW_APPLY_ERROR:
                return applier.reader.error;
        }
    }
}

int main(void) {
    int failures = 0, checks = 0;
    dw_error (*const ways[])(const struct device_case*, size_t, size_t*) = {by_reader, by_applier};
    const char* const way_names[] = {"record reader", "streaming applier"};
    for (size_t k = 0; k < sizeof CASES / sizeof CASES[0]; ++k) {
        const struct device_case* c = &CASES[k];
        for (size_t w = 0; w < 2; ++w) {
            for (size_t p = 0; p < sizeof PIECES / sizeof PIECES[0]; ++p) {
                memset(image, 0xEE, sizeof image);
                memcpy(image, c->original, c->original_size);
                size_t size = 0;
                const dw_error error = ways[w](c, PIECES[p], &size);
                const int good = error == c->error &&
                                 (error != DW_OK || (size == c->expected_size &&
                                                     memcmp(image, c->expected, size) == 0));
                ++checks;
                if (!good) {
                    ++failures;
                    printf("FAIL %s, %s, pieces of %u: error %d (want %d), size %u (want %u)\n",
                           c->name, way_names[w], (unsigned)PIECES[p], (int)error, (int)c->error,
                           (unsigned)size, (unsigned)c->expected_size);
                }
            }
        }
    }
    if (failures == 0) {
        printf("PASS %d checks, reader state %u bytes, applier state %u bytes\n", checks,
               (unsigned)sizeof(dw_reader), (unsigned)sizeof(dw_applier));
    }
    return failures == 0 ? 0 : 1;
}
