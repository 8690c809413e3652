#include "flash_sim.h"

#include <string.h>

static uint32_t next_random(flash_sim* sim) {
    uint32_t x = sim->random; /* xorshift32 */
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    sim->random = x;
    return x;
}

/* A byte an erase cut short may leave: unchanged, erased or anything. */
static uint8_t erase_debris(flash_sim* sim, uint8_t old) {
    const uint32_t r = next_random(sim);
    return r % 3 == 0 ? old : r % 3 == 1 ? 0xFF : (uint8_t)(r >> 8);
}

/* The cut points of an operation of `count` units: before it, then inside
 * each unit. NONE when the power holds, BEFORE when it fails before the
 * operation, INSIDE when it fails after `*whole` units, inside the next. */
enum { NONE, BEFORE, INSIDE };
static int cut_point(flash_sim* sim, uint32_t count, uint32_t* whole, int kind) {
    const uint32_t start = sim->units;
    sim->units += count + 1;
    for (uint32_t i = 0; sim->kinds != NULL && i <= count && start + i < sim->kinds_size; ++i) {
        const int at = i == 0       ? FLASH_CUT_BEFORE
                       : i == count ? FLASH_CUT_LAST_UNIT
                       : i == 1     ? FLASH_CUT_FIRST_UNIT
                                    : FLASH_CUT_MIDDLE_UNIT;
        sim->kinds[start + i] = (uint8_t)(kind | at);
    }
    *whole = count;
    if (sim->cut_at < start || sim->cut_at - start > count) {
        return NONE;
    }
    if (sim->cut_at == start) {
        return BEFORE;
    }
    *whole = sim->cut_at - start - 1;
    return INSIDE;
}

static int erase(flash_sim* sim, uint32_t address) {
    uint8_t* sector = sim->memory + address;
    const uint32_t unit = sim->write_size;
    uint32_t whole;
    if (address < sim->image_end && sim->first_image_erase == UINT32_MAX) {
        sim->first_image_erase = sim->units;
    }
    const int cut = cut_point(sim, sim->sector_size / unit, &whole,
                              address < sim->image_end ? FLASH_CUT_IMAGE : 0);
    if (cut == BEFORE) {
        return 1;
    }
    ++sim->erases[address / sim->sector_size];
    if (cut == NONE) {
        memset(sector, 0xFF, sim->sector_size);
    } else if (sim->scatter) {
        for (uint32_t i = 0; i < sim->sector_size; ++i) {
            sector[i] = erase_debris(sim, sector[i]);
        }
    } else {
        memset(sector, 0xFF, whole * unit);
        for (uint32_t i = whole * unit; i < (whole + 1) * unit; ++i) {
            sector[i] = erase_debris(sim, sector[i]);
        }
    }
    return cut != NONE;
}

static int program(flash_sim* sim, uint32_t address, const uint8_t* data, uint32_t size) {
    uint8_t* to = sim->memory + address;
    const uint32_t unit = sim->write_size;
    uint32_t whole;
    const int cut = cut_point(sim, size / unit, &whole,
                              FLASH_CUT_PROGRAM | (address < sim->image_end ? FLASH_CUT_IMAGE : 0));
    if (cut == BEFORE) {
        return 1;
    }
    ++sim->programs;
    for (uint32_t i = 0; i < whole * unit; ++i) {
        to[i] &= data[i];
    }
    if (cut == INSIDE) { /* the unit under way: some of the bits it clears */
        for (uint32_t i = whole * unit; i < (whole + 1) * unit; ++i) {
            to[i] &= (uint8_t)(data[i] | next_random(sim));
        }
    }
    return cut != NONE;
}

int flash_sim_run(flash_sim* sim, dw_flash* flash) {
    dw_flash_request r;
    for (;;) {
        const dw_flash_op op = dw_flash_step(flash, &r);
        int cut = 0;
        const uint64_t end = (uint64_t)r.address + r.size;
        switch (op) {
            case DW_FLASH_DONE:
            case DW_FLASH_ERROR:
                return op;
            case DW_FLASH_READ:
                if (end > sim->size) {
                    return -2;
                }
                memcpy(r.data, sim->memory + r.address, r.size);
                break;
            case DW_FLASH_READ_PATCH:
                if (end > sim->patch_size) {
                    return -2;
                }
                memcpy(r.data, sim->patch + r.address, r.size);
                break;
            case DW_FLASH_ERASE:
                if (r.address % sim->sector_size != 0 || r.address >= sim->size) {
                    return -2;
                }
                cut = erase(sim, r.address);
                break;
            case DW_FLASH_WRITE:
                if (end > sim->size || r.address % sim->write_size != 0 ||
                    r.size % sim->write_size != 0) {
                    return -2;
                }
                cut = program(sim, r.address, r.data, r.size);
                break;
        }
        if (cut) {
            return -1;
        }
    }
}
