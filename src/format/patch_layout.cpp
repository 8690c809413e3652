#include "format/patch_layout.h"

const char* describe_fault(PatchFault fault) {
    switch (fault) {
        case PatchFault::none:
            return "no fault";
        case PatchFault::bad_header:
            return "not the 60-byte DLT40 header";
        case PatchFault::short_record:
            return "record cut short by the end of the patch";
        case PatchFault::unknown_command:
            return "unknown command (neither replace 0 nor add 1)";
        case PatchFault::zero_length:
            return "record of length 0";
        case PatchFault::add_offset:
            return "add record with an offset other than 0";
        case PatchFault::replace_after_add:
            return "replace record after an add record";
        case PatchFault::replace_out_of_order:
            return "replace record below the end of the previous one (out of order or overlapping)";
        case PatchFault::replace_past_end:
            return "replace record reaches past the end of the original";
    }
    return "unknown fault";
}
