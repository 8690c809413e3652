/* Applying a patch in place to an image in flash-like memory, as the patch
 * arrives in pieces of any size: each replace record's data are written at
 * its offset, each add record's data at the image's end. Built on the
 * library's record reader, it holds no patch data of its own: nothing but
 * the reader and a write position. */
#ifndef FLASH_APPLY_H
#define FLASH_APPLY_H

#include <deltawright/deltawright.h>

typedef struct flash_image {
    uint8_t* data;
    size_t size;     /* bytes the image holds now */
    size_t capacity; /* bytes it may grow to */
} flash_image;

typedef struct flash_patch {
    dw_reader reader;
    size_t at;   /* where the current record's next data byte goes */
    int growing; /* the current record is an add record */
} flash_patch;

/* Starts a patch to `image` as it is now. */
void flash_patch_begin(flash_patch* patch, const flash_image* image);

/* Applies the next `size` bytes of the patch. Returns DW_OK, or the first
 * error (its position in patch->reader.error_position), after which the
 * caller stops; an add record that would outgrow the image's capacity is
 * DW_ERROR_PAST_ORIGINAL. */
dw_error flash_patch_feed(flash_patch* patch, flash_image* image, const uint8_t* piece,
                          size_t size);

/* The patch has ended: DW_OK when it was whole and valid. */
dw_error flash_patch_end(flash_patch* patch);

#endif
