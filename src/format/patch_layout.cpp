#include "format/patch_layout.h"

extern "C" const char* dw_error_text(dw_error error) {
    switch (error) {
        case DW_OK:
            return "no error";
        case DW_ERROR_HEADER:
            return "not the 60-byte DLT40 header";
        case DW_ERROR_TRUNCATED:
            return "record cut short by the end of the patch";
        case DW_ERROR_UNKNOWN_COMMAND:
            return "unknown command (neither replace 0 nor add 1)";
        case DW_ERROR_ZERO_LENGTH:
            return "record of length 0";
        case DW_ERROR_ADD_OFFSET:
            return "add record with an offset other than 0";
        case DW_ERROR_REPLACE_AFTER_ADD:
            return "replace record after an add record";
        case DW_ERROR_REPLACE_ORDER:
            return "replace record below the end of the previous one (out of order or overlapping)";
        case DW_ERROR_PAST_ORIGINAL:
            return "replace record reaches past the end of the original";
        case DW_ERROR_OFFSET_LIMIT:
            return "files differ beyond 4 GiB";
        case DW_ERROR_FLASH_LAYOUT:
            return "flash layout the in-place applier cannot use";
        case DW_ERROR_CAPACITY:
            return "the result is larger than the image's capacity";
        case DW_ERROR_NOT_ORIGINAL:
            return "the image is neither the original, nor the updated image, nor an update cut "
                   "short";
        case DW_ERROR_DIGEST:
            return "the result's digest is not the expected one";
        case DW_ERROR_FLASH_VERIFY:
            return "flash does not hold what was programmed";
    }
    return "unknown error";
}
