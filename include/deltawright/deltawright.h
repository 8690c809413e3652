/* deltawright: positional binary patches, as a library.
 *
 * A patch is a 60-byte header ("DLT40", 0xFF, 54 zero bytes) followed by
 * records: a command byte (0 replace, 1 add), a 4-byte little-endian offset,
 * a length byte (1 to 255) and that many data bytes. Replace records come
 * first, in increasing, non-overlapping offset order, each inside the
 * original; add records follow, with offset 0, and their data joined are the
 * bytes beyond the original's end. doc/patch-format.md has the whole format.
 *
 * This header is C99 and C++. Every call works on state in the caller's
 * memory, of a size known at compile time; nothing allocates, calls back,
 * does I/O, throws or keeps global state. Bytes go in through a dw_in_buffer
 * that the caller owns and refills: a call consumes what it can and moves
 * `pos`.
 */
#ifndef DELTAWRIGHT_DELTAWRIGHT_H
#define DELTAWRIGHT_DELTAWRIGHT_H

#include <stddef.h>
#include <stdint.h>

#include "deltawright/version.h"

#ifndef DW_API
#define DW_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the library actually linked, e.g. "1.0.0". */
DW_API const char* dw_version_string(void);

/* Every error the library reports. The values never change once released. */
typedef enum dw_error {
    DW_OK = 0,
    DW_ERROR_HEADER = 1,            /* not the 60-byte header (or fewer bytes) */
    DW_ERROR_TRUNCATED = 2,         /* a record cut short by the end of the patch */
    DW_ERROR_UNKNOWN_COMMAND = 3,   /* a command other than 0 and 1 */
    DW_ERROR_ZERO_LENGTH = 4,       /* a record of length 0 */
    DW_ERROR_ADD_OFFSET = 5,        /* an add record with an offset other than 0 */
    DW_ERROR_REPLACE_AFTER_ADD = 6, /* a replace record after an add record */
    DW_ERROR_REPLACE_ORDER = 7,     /* a replace record below the end of the one before */
    DW_ERROR_PAST_ORIGINAL = 8,     /* a replace record reaching past the original's end */
    DW_ERROR_OFFSET_LIMIT = 9,      /* making: a difference beyond what an offset can hold */
    DW_ERROR_FLASH_LAYOUT = 10,     /* flash: a layout the in-place applier cannot use */
    DW_ERROR_CAPACITY = 11,         /* flash: the result is larger than the image may grow */
    DW_ERROR_NOT_ORIGINAL = 12,     /* flash: the image is not the one the patch is for */
    DW_ERROR_DIGEST = 13,           /* flash: the result's digest is not the expected one */
    DW_ERROR_FLASH_VERIFY = 14      /* flash: it does not hold what was programmed */
} dw_error;

/* The states' sizes, stated here once. Their fields have fixed widths (an
 * error is held as a uint8_t with a dw_error value, never as the enum), so
 * that every compiler of a target lays them out alike, -fshort-enums
 * included: they depend only on the pointer size. */
#define DW_READER_STATE_SIZE (sizeof(void*) == 8 ? 64 : 56)
#define DW_APPLIER_STATE_SIZE (sizeof(void*) == 8 ? 96 : 88)
#define DW_MAKER_STATE_SIZE 280
#define DW_SHA256_STATE_SIZE 112
#define DW_FLASH_STATE_SIZE (sizeof(void*) == 8 ? 304 : 296)

/* What an error means, as a phrase without a final full stop; never null. */
DW_API const char* dw_error_text(dw_error error);

/* Bytes handed to the library: data[pos, size) are still to be consumed. */
typedef struct dw_in_buffer {
    const uint8_t* data;
    size_t size;
    size_t pos;
} dw_in_buffer;

/* An original whose size is not known (a pipe): the reader then leaves the
 * rule bound to the original's end to whoever reads the original. */
#define DW_SIZE_UNKNOWN UINT64_MAX

/* ---- Record reader ----
 *
 * Fed patch bytes in pieces of any size, it reports the records one event at
 * a time and checks every rule of the format as it goes. It holds no record
 * data: a record's data are handed over as fragments that point into the
 * caller's buffer, valid until the caller changes that buffer.
 *
 *     dw_reader reader;
 *     dw_reader_init(&reader, original_size);
 *     for each piece of the patch:
 *         dw_in_buffer in = {piece, piece_size, 0};
 *         while ((event = dw_reader_next(&reader, &in)) != DW_READ_MORE) {
 *             if (event == DW_READ_ERROR) stop: reader.error, reader.error_position
 *             handle DW_READ_REPLACE / DW_READ_ADD (reader.offset, reader.length)
 *             and DW_READ_DATA (reader.data, reader.data_size)
 *         }
 *     at the end of the patch: dw_reader_finish(&reader) is DW_READ_END when the
 *     patch is valid, else DW_READ_ERROR.
 *
 * With a known original size, a replace record past the original's end is
 * refused when its head is read, before any of its data is handed over. */
typedef enum dw_read_event {
    DW_READ_MORE = 0,    /* the buffer is used up: give more, or finish */
    DW_READ_REPLACE = 1, /* a replace record begins: offset, length */
    DW_READ_ADD = 2,     /* an add record begins: length (offset is 0) */
    DW_READ_DATA = 3,    /* data, data_size: the next piece of the record's data */
    DW_READ_END = 4,     /* from dw_reader_finish: the patch is complete and valid */
    DW_READ_ERROR = 5    /* error, error_position; every later call says so again */
} dw_read_event;

typedef struct dw_reader {
    /* For the caller to read. (64-bit fields first, and no padding on any
     * target: see DW_READER_STATE_SIZE.) */
    uint64_t position; /* patch bytes consumed so far */
    uint64_t
        error_position;  /* DW_READ_ERROR: at this byte of the patch: 0, or the record's first */
    const uint8_t* data; /* DW_READ_DATA: the fragment, inside the caller's buffer */
    size_t data_size;
    uint32_t offset; /* the current record's offset */
    uint8_t error;   /* DW_READ_ERROR: the rule broken, a dw_error value */
    uint8_t length;  /* the current record's length */
    /* The reader's own. */
    uint8_t head_[6];
    uint8_t filled_;    /* header or head bytes seen so far */
    uint8_t remaining_; /* data bytes of the current record still to come */
    uint8_t phase_;
    uint8_t seen_add_;
    uint64_t original_size_;
    uint64_t replace_end_;
} dw_reader;

/* Starts a reader for a patch to an original of `original_size` bytes, or
 * DW_SIZE_UNKNOWN. */
DW_API void dw_reader_init(dw_reader* reader, uint64_t original_size);

/* Consumes bytes of `in` up to the next event and returns it. */
DW_API dw_read_event dw_reader_next(dw_reader* reader, dw_in_buffer* in);

/* The patch has ended: DW_READ_END if it ended after a whole record (or
 * after the header), else DW_READ_ERROR (header or record cut short). */
DW_API dw_read_event dw_reader_finish(dw_reader* reader);

/* ---- Streaming applier ----
 *
 * Patch bytes and original bytes in, result bytes out: the original with each
 * replace record's data written over it, then the data of every add record.
 * Each buffer may be of any size; a call works until it needs the caller and
 * says what for. The caller refills (or drains) that buffer, or, when a
 * stream has no more bytes, says so once with dw_applier_end_patch or
 * dw_applier_end_original, and calls again. Every rule of the format is
 * checked, with the same fault at the same position as deltawright-apply;
 * the rule bound to the original's end is decided when the original ends.
 *
 *     dw_applier applier;
 *     dw_applier_init(&applier);
 *     for (;;) switch (dw_apply(&applier, &patch, &original, &out)) {
 *         case DW_APPLY_NEED_PATCH: refill patch, or dw_applier_end_patch(); break;
 *         case DW_APPLY_NEED_ORIGINAL: refill original, or dw_applier_end_original(); break;
 *         case DW_APPLY_NEED_OUTPUT: write out.data[0, out.pos), set out.pos = 0; break;
 *         case DW_APPLY_DONE: write out.data[0, out.pos): the result is complete;
 *         case DW_APPLY_ERROR: applier.reader.error, applier.reader.error_position;
 *     }
 *
 * In place: `out` may share the original's memory, so that no original byte
 * is copied. Give both the same block, out = {original.data, original.size,
 * original.pos}, and keep them in step: whenever the applier asks for either,
 * write out.data[0, out.pos), refill the block and reset both. Until the
 * original has ended, out.pos then always equals original.pos; after that,
 * the whole block is the output's.
 */
typedef struct dw_out_buffer {
    uint8_t* data;
    size_t size;
    size_t pos; /* data[0, pos) holds result bytes not yet taken by the caller */
} dw_out_buffer;

typedef enum dw_apply_status {
    DW_APPLY_DONE = 0,
    DW_APPLY_NEED_PATCH = 1,
    DW_APPLY_NEED_ORIGINAL = 2,
    DW_APPLY_NEED_OUTPUT = 3,
    DW_APPLY_ERROR = 4
} dw_apply_status;

typedef struct dw_applier {
    dw_reader reader; /* its error and error_position tell a DW_APPLY_ERROR */
    uint64_t written; /* result bytes produced so far */
    /* The origin check. A maker of these patches puts into a replace record
     * only bytes that differ from the original's byte at that position, so a
     * replace byte equal to the original's shows another original, or a
     * patch applied already. Each replace byte is compared with the
     * original's before it replaces it: */
    uint64_t first_unchanged; /* the first such position, DW_SIZE_UNKNOWN when none */
    uint64_t record_at_;      /* the applier's own: the current record's position in the patch */
    uint8_t any_changed;      /* 0 while every replace byte so far equals the original's */
    /* The applier's own. */
    uint8_t mode_;
    uint8_t left_; /* data bytes of the current record not yet handed over */
    uint8_t patch_ended_;
    uint8_t original_ended_;
    uint8_t past_end_; /* the current replace record reaches past the original */
} dw_applier;

DW_API void dw_applier_init(dw_applier* applier);
DW_API void dw_applier_end_patch(dw_applier* applier);
DW_API void dw_applier_end_original(dw_applier* applier);
/* Nonzero once every replace record is applied: the rest of the result is
 * the original's remaining bytes as they are, then the add data. A caller
 * that needs no more of the result (a comparison already decided) may then
 * end the original early: what is left of the patch is still checked. */
DW_API int dw_applier_past_replaces(const dw_applier* applier);
DW_API dw_apply_status dw_apply(dw_applier* applier, dw_in_buffer* patch, dw_in_buffer* original,
                                dw_out_buffer* out);

/* ---- Streaming maker ----
 *
 * Updated and original bytes in, patch bytes out: byte for byte the patch
 * deltawright makes, at any size of any buffer. Used like the applier: a call
 * returns what it needs; a stream with no more bytes is ended once with
 * dw_maker_end_updated or dw_maker_end_original. The only error is
 * DW_ERROR_OFFSET_LIMIT: a run of differences that would start beyond
 * position 4294967295, which no replace record can hold.
 *
 * Its state holds the one record being built (at most 261 bytes), since a
 * record's length precedes its data. */
typedef enum dw_make_status {
    DW_MAKE_DONE = 0,
    DW_MAKE_NEED_UPDATED = 1,
    DW_MAKE_NEED_ORIGINAL = 2,
    DW_MAKE_NEED_OUTPUT = 3,
    DW_MAKE_ERROR = 4
} dw_make_status;

typedef struct dw_maker {
    uint64_t position; /* updated bytes consumed so far */
    uint8_t error;     /* DW_MAKE_ERROR: the reason, a dw_error value */
    /* The maker's own. */
    uint8_t record_[6 + 255];
    uint16_t record_size_; /* bytes in record_ (head and data so far) */
    uint16_t record_sent_; /* bytes of the header or a record already handed out */
    uint8_t mode_;
    uint8_t updated_ended_;
    uint8_t original_ended_;
} dw_maker;

DW_API void dw_maker_init(dw_maker* maker);
DW_API void dw_maker_end_updated(dw_maker* maker);
DW_API void dw_maker_end_original(dw_maker* maker);
DW_API dw_make_status dw_make(dw_maker* maker, dw_in_buffer* updated, dw_in_buffer* original,
                              dw_out_buffer* out);

/* ---- SHA-256 ----
 *
 * FIPS 180-4 SHA-256, for digests of originals, results and patches. On
 * x86-64 it uses the processor's SHA extensions when it has them (asked in
 * dw_sha256_init), on aarch64 the SHA-2 instructions when the compiler
 * targets them, and portable code elsewhere; every way gives the same
 * digest.
 *
 *     dw_sha256 hash;
 *     dw_sha256_init(&hash);
 *     dw_sha256_update(&hash, bytes, size);   any number of times, any sizes
 *     dw_sha256_final(&hash, digest);         32 bytes
 */
#define DW_SHA256_SIZE 32

typedef struct dw_sha256 {
    /* The hash's own. */
    uint32_t state_[8];
    uint64_t length_; /* bytes hashed so far */
    uint8_t block_[64];
    uint32_t used_;   /* bytes in block_ */
    uint32_t engine_; /* which code runs the blocks */
} dw_sha256;

DW_API void dw_sha256_init(dw_sha256* hash);
DW_API void dw_sha256_update(dw_sha256* hash, const void* data, size_t size);
/* Writes the digest; the hash must be started again before further use. */
DW_API void dw_sha256_final(dw_sha256* hash, uint8_t digest[DW_SHA256_SIZE]);

/* ---- In place on NOR flash ----
 *
 * Applies a patch to an image in NOR flash, in place, so that a power cut at
 * any instant (between operations, inside a program, inside an erase) is
 * followed, on the next start, by a run that completes the update exactly.
 * The library asks and the caller does: each dw_flash_step returns the next
 * operation, which the caller carries out before stepping again. Nothing is
 * kept anywhere but in flash: after a cut, dw_flash_init with the same
 * layout and stepping on is all it takes. doc/library.md states the
 * power-cut model, the marking in the scratch area and the wear.
 *
 *     dw_flash flash;
 *     dw_flash_request r;
 *     dw_flash_init(&flash, &layout);
 *     for (;;) {
 *         switch (dw_flash_step(&flash, &r)) {
 *             case DW_FLASH_READ:       read r.size bytes at r.address into r.data
 *             case DW_FLASH_READ_PATCH: read r.size patch bytes at offset r.address
 *             case DW_FLASH_ERASE:      erase the sector at r.address
 *             case DW_FLASH_WRITE:      program r.size bytes from r.data at r.address
 *             case DW_FLASH_DONE:       the image is the updated one
 *             case DW_FLASH_ERROR:      flash.error (at flash.error_position)
 *         }
 *     }
 *
 * Nothing is erased or programmed until the whole patch has been read and
 * checked, each replaced byte compared with the image, the result's size
 * compared with the capacity and, with `expected_sha256`, the digest of the
 * result the patch would make compared with it. The layout and the buffer
 * must stay as they are while the flash state is in use. */
typedef struct dw_flash_layout {
    uint32_t sector_size;     /* erase unit in bytes, a power of two, at least 16 */
    uint32_t write_size;      /* program unit in bytes, a power of two dividing sector_size */
    uint32_t image_address;   /* first byte of the image, sector-aligned */
    uint32_t image_capacity;  /* bytes the image may grow to, whole sectors */
    uint32_t scratch_address; /* sector-aligned, outside the image: the library's own area */
    uint32_t scratch_sectors; /* its size in sectors, at least 2 */
    uint64_t original_size;   /* the image's size before the update */
    uint64_t patch_size;
    const uint8_t* expected_sha256; /* the updated image's digest, or NULL */
    uint8_t* buffer;                /* the caller's work memory, at least write_size bytes */
    uint32_t buffer_size;
} dw_flash_layout;

typedef enum dw_flash_op {
    DW_FLASH_DONE = 0,       /* the image is the updated one */
    DW_FLASH_READ = 1,       /* read `size` bytes of flash at `address` into `data` */
    DW_FLASH_READ_PATCH = 2, /* read `size` bytes of the patch from offset `address` into `data` */
    DW_FLASH_ERASE = 3,      /* erase the sector at `address` */
    DW_FLASH_WRITE = 4,      /* program `size` bytes at `address` from `data` */
    DW_FLASH_ERROR = 5       /* refused or failed: see the state's `error` */
} dw_flash_op;

typedef struct dw_flash_request {
    dw_flash_op op;
    uint32_t address;
    uint32_t size;
    uint8_t* data; /* in the layout's buffer or in the state */
} dw_flash_request;

typedef struct dw_flash {
    /* For the caller to read. */
    uint32_t error_position; /* DW_FLASH_ERROR: the patch offset (a rule broken) or the
                                image offset (of a sector) the error is about */
    uint32_t result_size;    /* the updated image's size, once the patch is read */
    uint8_t error;           /* DW_FLASH_ERROR: a dw_error value */
    /* The library's own: at most 128 bytes before the reader and the hash. */
    uint8_t phase_;
    uint8_t flags_;
    uint8_t pad_;
    uint32_t resume_; /* where dw_flash_step goes on */
    union {
        const dw_flash_layout* p;
        uint64_t word_; /* the same size with any pointer */
    } layout_;
    uint32_t return_;    /* where a walk over a sector goes on after it */
    uint32_t sector_;    /* the image sector being worked on */
    uint32_t source_;    /* the sector a walk reads */
    uint32_t target_;    /* the sector a walk programs, or 0xFFFFFFFF */
    uint32_t at_;        /* the walk's offset in the sector */
    uint32_t limit_;     /* bytes of the sector the walk hashes */
    uint32_t slot_;      /* the next free slot of the scratch area's journal */
    uint32_t live_;      /* the sector a live mark is for, or 0xFFFFFFFF */
    uint32_t record_[4]; /* patch cursor: data offset, target, length left, next add */
    uint32_t saved_[4];  /* the cursor at the sector's start */
    uint8_t check_[8];   /* the live or the new mark's check value */
    uint8_t small_[32];  /* record heads, patch data, journal slots, digests */
    union {
        dw_reader reader_; /* while the patch is first read */
        struct {
            uint8_t id_[16];     /* then: the patch's digest, which marks carry */
            uint8_t digest_[32]; /* and the result's, predicted before writing */
        } after_;
    } u_;
    dw_sha256 hash_;
} dw_flash;

/* Starts (or, after a power cut, resumes) the update `layout` describes. */
DW_API void dw_flash_init(dw_flash* flash, const dw_flash_layout* layout);

/* The next operation, described in `request`; DW_FLASH_DONE and
 * DW_FLASH_ERROR are final. */
DW_API dw_flash_op dw_flash_step(dw_flash* flash, dw_flash_request* request);

#ifdef __cplusplus
}
#endif

#endif
