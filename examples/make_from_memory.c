/* Example: a patch made from two buffers in memory.
 *
 * Both files are read whole into memory and handed to the streaming maker in
 * one piece each; the patch comes out through a 4 KiB buffer, written to
 * standard output whenever it fills.
 *
 * Usage: make_from_memory UPDATED ORIGINAL > PATCH */
#include <deltawright/deltawright.h>
#include <stdio.h>
#include <stdlib.h>

/* The whole of a file in a new buffer, its size in *size; NULL on failure. */
static uint8_t* read_whole(const char* name, size_t* size) {
    FILE* file = fopen(name, "rb");
    uint8_t* data = NULL;
    *size = 0;
    if (file == NULL) {
        return NULL;
    }
    for (size_t n = 1; n > 0;) {
        uint8_t* bigger = realloc(data, *size + 65536 + 1);
        if (bigger == NULL) {
            free(data);
            fclose(file);
            return NULL;
        }
        data = bigger;
        n = fread(data + *size, 1, 65536, file);
        *size += n;
    }
    fclose(file);
    return data;
}

int main(int argc, char* argv[]) {
    size_t updated_size = 0, original_size = 0;
    uint8_t* updated = argc == 3 ? read_whole(argv[1], &updated_size) : NULL;
    uint8_t* original = argc == 3 ? read_whole(argv[2], &original_size) : NULL;
    if (updated == NULL || original == NULL) {
        fprintf(stderr, "usage: make_from_memory UPDATED ORIGINAL > PATCH\n");
        return 2;
    }
    dw_in_buffer u = {updated, updated_size, 0};
    dw_in_buffer o = {original, original_size, 0};
    uint8_t block[4096];
    dw_out_buffer out = {block, sizeof block, 0};
    dw_maker maker;
    dw_maker_init(&maker);
    int status = 0;
    for (;;) {
        const dw_make_status made = dw_make(&maker, &u, &o, &out);
        if (made == DW_MAKE_NEED_UPDATED) { /* all of it was given */
            dw_maker_end_updated(&maker);
        } else if (made == DW_MAKE_NEED_ORIGINAL) {
            dw_maker_end_original(&maker);
        } else if (made == DW_MAKE_ERROR) {
            fprintf(stderr, "make_from_memory: %s\n", dw_error_text(maker.error));
            status = 1;
            break;
        } else { /* DW_MAKE_NEED_OUTPUT or DW_MAKE_DONE: the buffer goes out */
            if (fwrite(block, 1, out.pos, stdout) != out.pos) {
                status = 2;
                break;
            }
            out.pos = 0;
            if (made == DW_MAKE_DONE) {
                break;
            }
        }
    }
    free(updated);
    free(original);
    return status;
}
