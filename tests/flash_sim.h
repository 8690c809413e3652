/* A NOR flash in memory, for the in-place flash applier's tests on the host
 * and on the device: an erased byte is 0xFF, programming ANDs, in units of
 * write_size; and a power cut at any unit of any program or erase.
 *
 * A cut inside a program leaves the units before it programmed, the unit
 * under way with some of its bits cleared (a random subset of those the
 * program clears), the rest unchanged. A cut inside an erase leaves the
 * units before it erased, each byte of the unit under way unchanged, 0xFF
 * or any value, the rest unchanged; with `scatter`, every byte of the
 * sector is any of the three. A cut before a unit's start is a cut between
 * operations. */
#ifndef FLASH_SIM_H
#define FLASH_SIM_H

#include <deltawright/deltawright.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct flash_sim {
    uint8_t* memory; /* the whole flash, from address 0 */
    uint32_t size;
    uint32_t sector_size;
    uint32_t write_size;
    const uint8_t* patch; /* where the patch is stored */
    uint32_t patch_size;
    uint32_t* erases;  /* per sector of the flash: erases begun */
    uint32_t programs; /* program requests begun */
    uint32_t units;    /* cut points passed: one before each program and erase, one per unit */
    uint32_t cut_at;   /* the cut point at which the power fails; UINT32_MAX: never */
    int scatter;
    uint32_t image_end;         /* erases below it are the image's */
    uint32_t first_image_erase; /* the cut point before the run's first such erase */
    uint32_t random;            /* the generator's state, never 0 */
    /* If not NULL: the kind of each cut point passed, for the first
     * kinds_size points (FLASH_CUT_* below), so that a table cutting at
     * a stride can still cut at every kind. */
    uint8_t* kinds;
    uint32_t kinds_size;
} flash_sim;

/* A cut point's kind: where in its operation it falls, ORed with whether
 * the operation programs and whether it is in the image. */
enum {
    FLASH_CUT_BEFORE = 0,      /* between operations */
    FLASH_CUT_FIRST_UNIT = 1,  /* inside the operation's first unit */
    FLASH_CUT_MIDDLE_UNIT = 2, /* inside a unit between its first and last */
    FLASH_CUT_LAST_UNIT = 3,   /* inside its last unit (the first, if only one) */
    FLASH_CUT_PROGRAM = 4,
    FLASH_CUT_IMAGE = 8,
    FLASH_CUT_KINDS = 16
};

/* Steps `flash` (initialised by the caller) until it is done, fails or the
 * power is cut: DW_FLASH_DONE, DW_FLASH_ERROR, or -1 for a cut. A request
 * outside the flash or the patch fails the run as -2. */
int flash_sim_run(flash_sim* sim, dw_flash* flash);

#ifdef __cplusplus
}
#endif

#endif
