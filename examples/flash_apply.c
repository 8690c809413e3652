#include "flash_apply.h"

#include <string.h>

void flash_patch_begin(flash_patch* patch, const flash_image* image) {
    dw_reader_init(&patch->reader, image->size);
    patch->at = 0;
    patch->growing = 0;
}

dw_error flash_patch_feed(flash_patch* patch, flash_image* image, const uint8_t* piece,
                          size_t size) {
    dw_reader* reader = &patch->reader;
    dw_in_buffer in = {piece, size, 0};
    for (;;) {
        switch (dw_reader_next(reader, &in)) {
            case DW_READ_MORE:
                return DW_OK;
            case DW_READ_REPLACE: /* inside the image: the reader checked */
                patch->at = reader->offset;
                patch->growing = 0;
                break;
            case DW_READ_ADD:
                patch->at = image->size;
                patch->growing = 1;
                break;
            case DW_READ_DATA:
                if (reader->data_size > image->capacity - patch->at) {
                    return DW_ERROR_PAST_ORIGINAL; /* the image is full */
                }
                memcpy(image->data + patch->at, reader->data, reader->data_size);
                patch->at += reader->data_size;
                if (patch->growing) {
                    image->size = patch->at;
                }
                break;
            default:
                return reader->error;
        }
    }
}

dw_error flash_patch_end(flash_patch* patch) {
    return dw_reader_finish(&patch->reader) == DW_READ_END ? DW_OK : patch->reader.error;
}
