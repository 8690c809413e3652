/* The public header compiled as C99: a patch read in pieces of 3 bytes
 * through the record reader rebuilds the updated bytes, and a broken rule is
 * reported with its code, text and position. */
#include <deltawright/deltawright.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

/* The states' sizes as the header states them, on every target this test is
 * built for (a negative array size stops the build otherwise: C99 has no
 * static assertion). */
typedef char reader_size_as_stated[sizeof(dw_reader) == DW_READER_STATE_SIZE ? 1 : -1];
typedef char applier_size_as_stated[sizeof(dw_applier) == DW_APPLIER_STATE_SIZE ? 1 : -1];
typedef char maker_size_as_stated[sizeof(dw_maker) == DW_MAKER_STATE_SIZE ? 1 : -1];
typedef char sha256_size_as_stated[sizeof(dw_sha256) == DW_SHA256_STATE_SIZE ? 1 : -1];

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
    {
        /* Empty buffers with no memory are valid everywhere: a hash given
         * NULL and 0 mid-block, a maker first given an output {NULL, 0, 0}. */
        static const uint8_t abc[3] = {'a', 'b', 'c'};
        uint8_t with_null[DW_SHA256_SIZE];
        uint8_t without[DW_SHA256_SIZE];
        uint8_t made[80];
        dw_sha256 hash;
        dw_maker maker;
        dw_in_buffer updated = {NULL, 0, 0};
        dw_in_buffer original = {NULL, 0, 0};
        dw_out_buffer out = {NULL, 0, 0};
        dw_make_status status;
        dw_sha256_init(&hash);
        dw_sha256_update(&hash, abc, 1);
        dw_sha256_update(&hash, NULL, 0);
        dw_sha256_update(&hash, abc + 1, 2);
        dw_sha256_final(&hash, with_null);
        dw_sha256_init(&hash);
        dw_sha256_update(&hash, abc, 3);
        dw_sha256_final(&hash, without);
        expect(memcmp(with_null, without, sizeof without) == 0, "hashing NULL, 0 adds nothing");
        dw_maker_init(&maker);
        dw_maker_end_updated(&maker);
        dw_maker_end_original(&maker);
        status = dw_make(&maker, &updated, &original, &out);
        expect(status == DW_MAKE_NEED_OUTPUT, "a maker with an empty output asks for room");
        out.data = made;
        out.size = sizeof made;
        status = dw_make(&maker, &updated, &original, &out);
        expect(status == DW_MAKE_DONE && out.pos == 60 && memcmp(made, patch, 6) == 0,
               "then makes the header alone of two empty files");
    }
    {
        /* The buffer contract as a client written apart from this library
         * uses it: the state moved to another place before every call, a
         * new output buffer at each drain, pieces handed over with pos > 0,
         * and an empty refill between pieces. */
        uint8_t piece_memory[8];
        uint8_t out_memory[2][5];
        uint8_t result[16];
        size_t result_size = 0;
        size_t fed_patch = 0;
        size_t fed_original = 0;
        int turn = 0;
        int empty_next = 0;
        int done = 0;
        dw_applier states[2];
        dw_applier* applier = &states[0];
        dw_in_buffer patch_piece = {NULL, 0, 0};
        dw_in_buffer original_piece = {NULL, 0, 0};
        dw_out_buffer out = {out_memory[0], sizeof out_memory[0], 0};
        const uint8_t* original_bytes = (const uint8_t*)"0123456789";
        patch[68] = 1; /* the add record back */
        dw_applier_init(applier);
        while (!done && turn < 1000) {
            dw_applier* moved = applier == &states[0] ? &states[1] : &states[0];
            dw_apply_status status;
            memcpy(moved, applier, sizeof *moved);
            memset(applier, 0xA5, sizeof *applier);
            applier = moved;
            status = dw_apply(applier, &patch_piece, &original_piece, &out);
            ++turn;
            switch (status) {
                case DW_APPLY_NEED_PATCH:
                case DW_APPLY_NEED_ORIGINAL: {
                    const int for_patch = status == DW_APPLY_NEED_PATCH;
                    const uint8_t* from = for_patch ? patch : original_bytes;
                    size_t* fed = for_patch ? &fed_patch : &fed_original;
                    const size_t total = for_patch ? sizeof patch : 10;
                    dw_in_buffer* piece = for_patch ? &patch_piece : &original_piece;
                    if (*fed == total) {
                        if (for_patch) {
                            dw_applier_end_patch(applier);
                        } else {
                            dw_applier_end_original(applier);
                        }
                        break;
                    }
                    if (empty_next) { /* an empty refill: asked again */
                        piece->data = piece_memory;
                        piece->size = 2;
                        piece->pos = 2;
                    } else { /* two bytes of leading garbage, pos past them */
                        const size_t n = total - *fed < 3 ? total - *fed : 3;
                        uint8_t* memory = for_patch ? piece_memory : piece_memory + 4;
                        memory[0] = memory[1] = 0xEE;
                        memcpy(memory + 2, from + *fed, n <= 2 ? n : 2);
                        piece->data = memory;
                        piece->size = 2 + (n <= 2 ? n : 2);
                        piece->pos = 2;
                        *fed += piece->size - 2;
                    }
                    empty_next = !empty_next;
                    break;
                }
                case DW_APPLY_NEED_OUTPUT:
                case DW_APPLY_DONE: /* drained, and a new buffer given */
                    if (result_size + out.pos <= sizeof result) {
                        memcpy(result + result_size, out.data, out.pos);
                    }
                    result_size += out.pos;
                    out.data = out.data == out_memory[0] ? out_memory[1] : out_memory[0];
                    out.size = sizeof out_memory[0];
                    out.pos = 0;
                    done = status == DW_APPLY_DONE;
                    break;
                default:
                    done = 1;
                    break;
            }
        }
        expect(done && result_size == 12 && memcmp(result, "012XY56789AB", 12) == 0,
               "moved states, new output buffers, pos > 0 and empty refills give the result");
    }
    printf("c api: %s\n", failures == 0 ? "passed" : "failed");
    return failures == 0 ? 0 : 1;
}
