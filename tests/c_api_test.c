/* The public header compiled as C99: a patch read in pieces of 3 bytes
 * through the record reader rebuilds the updated bytes, and a broken rule is
 * reported with its code, text and position. */
#include <deltawright/deltawright.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect(int ok, const char* what) {
    if (!ok) {
        printf("FAIL: %s\n", what);
        ++failures;
    }
}

/* Applies `patch` to `image` (the original, with room for added bytes) read
 * in pieces of 3 bytes; returns the final event and the image's length. */
static dw_read_event apply(const uint8_t* patch, size_t size, uint8_t* image, size_t* length,
                           dw_reader* reader) {
    size_t fed = 0;
    size_t at = 0;
    int adding = 0;
    dw_read_event event = DW_READ_MORE;
    dw_reader_init(reader, *length);
    while (fed < size) {
        dw_in_buffer in;
        in.data = patch + fed;
        in.size = size - fed < 3 ? size - fed : 3;
        in.pos = 0;
        while ((event = dw_reader_next(reader, &in)) != DW_READ_MORE) {
            if (event == DW_READ_ERROR) {
                return event;
            }
            if (event == DW_READ_REPLACE || event == DW_READ_ADD) {
                adding = event == DW_READ_ADD;
                at = adding ? *length : reader->offset;
            } else if (event == DW_READ_DATA) {
                memcpy(image + at, reader->data, reader->data_size);
                at += reader->data_size;
                if (adding) {
                    *length = at;
                }
            }
        }
        fed += in.size;
    }
    return dw_reader_finish(reader);
}

int main(void) {
    /* header, replace 3 "XY", add "AB": "0123456789" becomes "012XY56789AB" */
    uint8_t patch[76] = {'D', 'L', 'T', '4', '0', 0xFF};
    const uint8_t records[] = {0, 3, 0, 0, 0, 2, 'X', 'Y', 1, 0, 0, 0, 0, 2, 'A', 'B'};
    uint8_t image[16];
    size_t length = 10;
    dw_reader reader;
    memcpy(patch + 60, records, sizeof records);
    memcpy(image, "0123456789", 10);
    expect(apply(patch, sizeof patch, image, &length, &reader) == DW_READ_END,
           "a valid patch ends");
    expect(length == 12 && memcmp(image, "012XY56789AB", 12) == 0,
           "the result is the updated file");

    patch[68] = 7; /* the add record's command */
    length = 10;
    expect(apply(patch, sizeof patch, image, &length, &reader) == DW_READ_ERROR,
           "a bad command fails");
    expect(reader.error == DW_ERROR_UNKNOWN_COMMAND && reader.error_position == 68,
           "the unknown command is reported at its record");
    expect(
        strcmp(dw_error_text(reader.error), "unknown command (neither replace 0 nor add 1)") == 0,
        "the error has its text");
    expect(DW_VERSION_MAJOR >= 1 && strcmp(dw_version_string(), DW_VERSION_STRING) == 0,
           "the linked library is this header's version");
    printf("c api: %s\n", failures == 0 ? "passed" : "failed");
    return failures == 0 ? 0 : 1;
}
