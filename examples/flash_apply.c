#include "flash_apply.h"

#include <string.h>

long flash_store_patch(const nor_driver* nor, const dw_flash_layout* layout, spare_area spare,
                       size_t (*receive)(void* link, uint8_t* data, size_t size), void* link) {
    const uint32_t unit = layout->write_size;
    const uint32_t chunk = layout->buffer_size - layout->buffer_size % unit;
    uint32_t stored = 0, erased = 0;
    for (;;) {
        uint32_t n = 0;
        size_t got;
        while (n < chunk && (got = receive(link, layout->buffer + n, chunk - n)) > 0) {
            n += (uint32_t)got;
        }
        if (n == 0) {
            return (long)stored;
        }
        const uint32_t whole = (n + unit - 1) / unit * unit;
        if (whole > spare.size - stored) {
            return -1; /* the patch does not fit */
        }
        while (erased < stored + whole) { /* each sector erased once, as it is reached */
            nor->erase(nor->context, spare.address + erased);
            erased += layout->sector_size;
        }
        memset(layout->buffer + n, 0xFF, whole - n); /* whole units; 0xFF programs nothing */
        nor->program(nor->context, spare.address + stored, layout->buffer, whole);
        stored += n;
        if (n < chunk) {
            return (long)stored;
        }
    }
}

dw_error flash_apply(const nor_driver* nor, const dw_flash_layout* layout, spare_area spare,
                     dw_flash* flash) {
    dw_flash_request r;
    dw_flash_init(flash, layout);
    for (;;) {
        switch (dw_flash_step(flash, &r)) {
            case DW_FLASH_READ:
                nor->read(nor->context, r.address, r.data, r.size);
                break;
            case DW_FLASH_READ_PATCH: /* the patch, from the spare area */
                nor->read(nor->context, spare.address + r.address, r.data, r.size);
                break;
            case DW_FLASH_ERASE:
                nor->erase(nor->context, r.address);
                break;
            case DW_FLASH_WRITE:
                nor->program(nor->context, r.address, r.data, r.size);
                break;
            case DW_FLASH_DONE:
                return DW_OK;
            case DW_FLASH_ERROR:
                return (dw_error)flash->error;
        }
    }
}
