/* A device's firmware update in place on NOR flash, with the library's
 * dw_flash: the patch arrives over a link and is stored in a spare area of
 * the flash first; then the library asks for reads, erases and programs,
 * which the flash driver does, until the image is the updated one. After a
 * power cut at any instant, calling flash_apply again with the same layout
 * completes the update. */
#ifndef FLASH_APPLY_H
#define FLASH_APPLY_H

#include <deltawright/deltawright.h>

/* What a NOR flash driver offers (here as functions of the caller's). */
typedef struct nor_driver {
    void (*read)(void* context, uint32_t address, uint8_t* data, uint32_t size);
    void (*erase)(void* context, uint32_t address); /* the sector at address */
    void (*program)(void* context, uint32_t address, const uint8_t* data, uint32_t size);
    void* context;
} nor_driver;

/* Where the patch is kept while it is applied. */
typedef struct spare_area {
    uint32_t address; /* sector-aligned */
    uint32_t size;    /* whole sectors */
} spare_area;

/* Receives a patch from the link into the spare area: `receive` returns up
 * to `size` next bytes of it in `data`, 0 at its end. The area's sectors
 * are erased as they are reached and the bytes programmed a buffer at a
 * time (`buffer_size`, a multiple of the write size); the last program is
 * padded with 0xFF. Returns the patch's size, or -1 if it does not fit. */
long flash_store_patch(const nor_driver* nor, const dw_flash_layout* layout, spare_area spare,
                       size_t (*receive)(void* link, uint8_t* data, size_t size), void* link);

/* Applies the patch stored at spare.address (layout->patch_size bytes) to
 * the image the layout describes, to the end: DW_OK, or the error (with
 * flash->error_position). */
dw_error flash_apply(const nor_driver* nor, const dw_flash_layout* layout, spare_area spare,
                     dw_flash* flash);

#endif
