/* On the Cortex-M3 under qemu: patches made on the host applied in place to
 * a RAM image, through the streaming applier (the patch arriving in pieces
 * of several sizes), and to a NOR flash simulated in RAM (flash_sim.h)
 * through dw_flash: with a power cut at every cut point of some cases, each
 * followed by a new start that must complete the update, and through the
 * example's driver loop (flash_apply.c) with the patch stored from a link.
 * Prints PASS, or FAIL with what differed. */
#include <deltawright/deltawright.h>
#include <stdio.h>
#include <string.h>

#include "flash_apply.h"
#include "flash_sim.h"

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
_Static_assert(sizeof(dw_flash) == DW_FLASH_STATE_SIZE, "the flash state is as the header says");

static uint8_t image[16384]; /* the flash stand-in */
static const size_t PIECES[] = {1, 7, 64, 1000};

/* The NOR flash: the image (its capacity) and the scratch area after it. */
enum { SECTOR = 256, WRITE_UNIT = 4, CAPACITY = 16384, SCRATCH_SECTORS = 2 };
static uint8_t nor[CAPACITY + SCRATCH_SECTORS * SECTOR];
static uint8_t start[sizeof nor]; /* the flash as an update starts */
static uint32_t erases[sizeof nor / SECTOR];
static uint8_t buffer[32];

static dw_flash_layout layout_of(const struct device_case* c) {
    const dw_flash_layout l = {
        SECTOR,           WRITE_UNIT,    0,    CAPACITY, CAPACITY,     SCRATCH_SECTORS,
        c->original_size, c->patch_size, NULL, buffer,   sizeof buffer};
    return l;
}

/* One start of the update, cut at `cut_at` (UINT32_MAX: never): the final
 * op or -1; the cut points passed in *points. */
static int flash_run(const struct device_case* c, uint32_t cut_at, uint32_t* points,
                     uint32_t* error) {
    const dw_flash_layout l = layout_of(c);
    flash_sim sim = {nor,        sizeof nor,  SECTOR, WRITE_UNIT, c->patch, (uint32_t)c->patch_size,
                     erases,     0,           0,      cut_at,     0,        CAPACITY,
                     UINT32_MAX, 2463534242u, NULL,   0};
    dw_flash flash;
    dw_flash_init(&flash, &l);
    const int op = flash_sim_run(&sim, &flash);
    if (points != NULL) {
        *points = sim.units;
    }
    *error = flash.error;
    return op;
}

/* The update of case c with a cut at every cut point (every `stride`th),
 * each followed by a start that runs to the end: failures counted. */
static int flash_cuts(const struct device_case* c, uint32_t stride, int* checks) {
    memset(start, 0xFF, sizeof start);
    memcpy(start, c->original, c->original_size);
    memcpy(nor, start, sizeof nor);
    uint32_t points = 0, error = 0;
    int failures = 0;
    const int whole = flash_run(c, UINT32_MAX, &points, &error);
    ++*checks;
    if (whole != (c->error == DW_OK ? DW_FLASH_DONE : DW_FLASH_ERROR) || error != c->error ||
        (whole == DW_FLASH_DONE && memcmp(nor, c->expected, c->expected_size) != 0)) {
        printf("FAIL %s, flash without a cut: op %d, error %u\n", c->name, whole, (unsigned)error);
        return 1;
    }
    for (uint32_t at = 0; at < points; at += stride) {
        memcpy(nor, start, sizeof nor);
        memset(erases, 0, sizeof erases);
        const int cut = flash_run(c, at, NULL, &error);
        const int done = flash_run(c, UINT32_MAX, NULL, &error);
        uint32_t most = 0;
        for (uint32_t k = 0; k < CAPACITY / SECTOR; ++k) {
            most = erases[k] > most ? erases[k] : most;
        }
        ++*checks;
        if (cut != -1 || done != DW_FLASH_DONE || memcmp(nor, c->expected, c->expected_size) != 0 ||
            most > 2) {
            printf("FAIL %s, flash cut at %u of %u: %d then %d (error %u), %u erases of a sector\n",
                   c->name, (unsigned)at, (unsigned)points, cut, done, (unsigned)error,
                   (unsigned)most);
            if (++failures == 3) {
                break;
            }
        }
    }
    return failures;
}

/* The example's way: the patch stored from a link into a spare area, then
 * flash_apply with a driver for the RAM flash. */
static const uint8_t* link_at;
static size_t link_left;
static size_t from_link(void* link, uint8_t* data, size_t size) {
    (void)link;
    const size_t n = size < link_left ? size : link_left;
    memcpy(data, link_at, n);
    link_at += n;
    link_left -= n;
    return n;
}
static uint8_t with_spare[CAPACITY + SCRATCH_SECTORS * SECTOR + 16384];
static void ram_read(void* context, uint32_t address, uint8_t* data, uint32_t size) {
    memcpy(data, (uint8_t*)context + address, size);
}
static void ram_erase(void* context, uint32_t address) {
    memset((uint8_t*)context + address, 0xFF, SECTOR);
}
static void ram_program(void* context, uint32_t address, const uint8_t* data, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) {
        ((uint8_t*)context)[address + i] &= data[i];
    }
}

static dw_error by_example(const struct device_case* c, size_t* size) {
    memset(with_spare, 0xFF, sizeof with_spare);
    memcpy(with_spare, c->original, c->original_size);
    const nor_driver driver = {ram_read, ram_erase, ram_program, with_spare};
    const spare_area spare = {CAPACITY + SCRATCH_SECTORS * SECTOR, 16384};
    dw_flash_layout l = layout_of(c);
    link_at = c->patch;
    link_left = c->patch_size;
    const long stored = flash_store_patch(&driver, &l, spare, from_link, NULL);
    if (stored != (long)c->patch_size) {
        return DW_ERROR_TRUNCATED;
    }
    dw_flash flash;
    const dw_error error = flash_apply(&driver, &l, spare, &flash);
    *size = flash.result_size;
    if (error == DW_OK) {
        memcpy(image, with_spare, *size);
    }
    return error;
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
    for (size_t k = 0; k < sizeof CASES / sizeof CASES[0]; ++k) {
        const struct device_case* c = &CASES[k];
        for (size_t p = 0; p < sizeof PIECES / sizeof PIECES[0]; ++p) {
            memset(image, 0xEE, sizeof image);
            memcpy(image, c->original, c->original_size);
            size_t size = 0;
            const dw_error error = by_applier(c, PIECES[p], &size);
            const int good = error == c->error &&
                             (error != DW_OK ||
                              (size == c->expected_size && memcmp(image, c->expected, size) == 0));
            ++checks;
            if (!good) {
                ++failures;
                printf(
                    "FAIL %s, streaming applier, pieces of %u: error %d (want %d), size %u "
                    "(want %u)\n",
                    c->name, (unsigned)PIECES[p], (int)error, (int)c->error, (unsigned)size,
                    (unsigned)c->expected_size);
            }
        }
        size_t size = 0;
        const dw_error error = by_example(c, &size);
        ++checks;
        if (error != c->error || (error == DW_OK && (size != c->expected_size ||
                                                     memcmp(image, c->expected, size) != 0))) {
            ++failures;
            printf("FAIL %s, the example's flash_apply: error %d (want %d)\n", c->name, (int)error,
                   (int)c->error);
        }
        /* The power-cut table: every cut point of the smaller cases, every
         * 13th of the larger ones. */
        failures += flash_cuts(c, c->expected_size + c->original_size < 9000 ? 1 : 13, &checks);
    }
    if (failures == 0) {
        printf(
            "PASS %d checks, reader state %u bytes, applier state %u bytes, flash state %u "
            "bytes\n",
            checks, (unsigned)sizeof(dw_reader), (unsigned)sizeof(dw_applier),
            (unsigned)sizeof(dw_flash));
    }
    return failures == 0 ? 0 : 1;
}
