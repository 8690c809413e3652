// In place on NOR flash (deltawright.h; the marks: flash_mark.h). The
// library asks, the caller does: dw_flash_step is one routine that returns
// at each operation and goes on where it left off (resume_ says where), so
// that everything it must remember lives in dw_flash. Between the
// requests it reads the patch and the image in pieces of the caller's
// buffer, and never more than one sector is in flight.
//
// The run, from its start or after any power cut:
//  1. the patch, read whole: every rule, its digest (the id marks carry) and
//     the result's size against the capacity;
//  2. the journal: its next free slot, and whether its last used slot is a
//     live mark of this patch whose copy is whole (then that sector may be
//     damaged, and its copy stands in for it);
//  3. the result predicted, sector by sector, each replaced byte compared
//     with the image (the origin check) and hashed; with an expected digest
//     compared. Nothing has been written up to here;
//  4. each sector the patch touches, in order, unless it holds its new
//     content already: the new content programmed into a copy sector, the
//     mark written, the copy read back, the image sector erased and
//     programmed from the copy and read back, the mark cleared;
//  5. the whole image read and hashed again: it must be the predicted result.
#include <deltawright/deltawright.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "flash/flash_mark.h"
#include "format/patch_layout.h"

static_assert(sizeof(dw_flash) == DW_FLASH_STATE_SIZE, "the flash state is as the header says");
static_assert(offsetof(dw_flash, u_) <= 128, "the flash applier's own state is 128 bytes at most");

namespace {

constexpr std::uint32_t NONE = 0xFFFFFFFF;
constexpr std::uint32_t WALK = 1;  // resume_ of a walk's start; 0 is the run's

// The patch cursor, record_ and saved_: the current record's next data byte
// in the patch, the result position it goes to, and how many are left; and
// where the next add record's data go.
enum Cursor { DATA, TARGET, LEFT, NEXT_ADD };

enum Flag : std::uint8_t {
    OVERLAY = 1,     // a walk lays the patch's bytes over what it reads
    EQ_REPLACE = 2,  // ... and some replaced byte was as the patch has it
    DIFFERS = 4,     // ... some byte, replaced or added, was not
    IMAGE_SIDE = 8,  // a mark's check is over the image sector, not the copy
    SEEN_OLD = 16,   // the prediction has passed a sector still to update
    FINAL = 32,      // the prediction is the final check
    COPIED = 64,     // the live mark's copy was programmed into the image sector
    UPDATE = 128,    // the sweep updates the sectors
};

enum Phase : std::uint8_t { RUNNING, FINISHED, FAILED };

std::uint32_t min32(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24);
}

bool power_of_two(std::uint32_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

// Whole sectors that do not wrap around the address space and do not meet;
// the sizes within 32 bits.
bool usable(const dw_flash_layout& l) {
    const std::uint32_t s = l.sector_size;
    const std::uint32_t image_end = l.image_address + l.image_capacity;
    const std::uint32_t scratch_end = l.scratch_address + s * l.scratch_sectors;
    return power_of_two(s) && power_of_two(l.write_size) && l.write_size <= s && s >= MARK_SIZE &&
           ((l.image_address | l.image_capacity | l.scratch_address) & (s - 1)) == 0 &&
           image_end >= l.image_address && l.scratch_sectors >= 2 &&
           l.scratch_sectors <= UINT32_MAX / s && scratch_end > l.scratch_address &&
           (scratch_end <= l.image_address || image_end <= l.scratch_address) &&
           ((l.original_size | l.patch_size) >> 32) == 0 &&
           static_cast<std::uint32_t>(l.original_size) <= l.image_capacity && l.buffer != nullptr &&
           l.buffer_size >= l.write_size;
}

// The sizes, which a usable layout keeps within 32 bits.
std::uint32_t patch_size(const dw_flash_layout& l) {
    return static_cast<std::uint32_t>(l.patch_size);
}

std::uint32_t original_size(const dw_flash_layout& l) {
    return static_cast<std::uint32_t>(l.original_size);
}

// The bytes a walk reads at once: the buffer, in whole program units.
std::uint32_t chunk(const dw_flash* f, const dw_flash_layout& l) {
    return min32(l.buffer_size & (0 - l.write_size), l.sector_size - f->at_);
}

std::uint32_t patch_piece(const dw_flash* f, const dw_flash_layout& l) {
    return min32(l.buffer_size, patch_size(l) - f->at_);
}

std::uint32_t slot_size(const dw_flash_layout& l) {
    return mark_slot(l.write_size);
}

std::uint32_t journal_slots(const dw_flash_layout& l) {
    return l.sector_size / slot_size(l);
}

std::uint32_t slot_address(const dw_flash_layout& l, std::uint32_t slot) {
    return l.scratch_address + slot * slot_size(l);
}

std::uint8_t* slot_bytes(dw_flash* f, const dw_flash_layout& l) {
    return slot_size(l) <= sizeof f->small_ ? f->small_ : l.buffer;
}

std::uint32_t copy_address(const dw_flash_layout& l, std::uint32_t slot) {
    return l.scratch_address + l.sector_size * (1 + slot % (l.scratch_sectors - 1));
}

std::uint32_t image_sector(const dw_flash* f, const dw_flash_layout& l) {
    return l.image_address + f->sector_;
}

// Sets up a walk over the whole sector at `source`, hashing it, programming
// it to `target` (or NONE), laying the patch over it with OVERLAY in
// `flags` (the flags other than the walk's own are kept).
void walk_over(dw_flash* f, const dw_flash_layout& l, std::uint32_t source, std::uint32_t target,
               std::uint8_t flags) {
    f->source_ = source;
    f->target_ = target;
    f->limit_ = l.sector_size;
    f->flags_ = static_cast<std::uint8_t>(
        (f->flags_ & (SEEN_OLD | FINAL | COPIED | UPDATE | IMAGE_SIDE)) | flags);
}

void rewind(dw_flash* f, const dw_flash_layout& l) {
    f->record_[DATA] = PATCH_HEADER_SIZE;
    f->record_[TARGET] = 0;
    f->record_[LEFT] = 0;
    f->record_[NEXT_ADD] = original_size(l);
}

// The cursor never passes the patch's end (take_head and skip_before keep it
// within it).
bool more_records(const dw_flash* f, const dw_flash_layout& l) {
    return patch_size(l) - f->record_[DATA] >= RECORD_HEAD_SIZE;
}

// A record's head, read into small_ (checked when the patch was first read;
// a patch changed since cannot make a read leave the patch or the chunk).
void take_head(dw_flash* f, const dw_flash_layout& l) {
    std::uint32_t* c = f->record_;
    const std::uint8_t* head = f->small_;
    const std::uint32_t length = head[5];
    c[DATA] += RECORD_HEAD_SIZE;
    c[LEFT] = min32(length, patch_size(l) - c[DATA]);
    if (head[0] == COMMAND_ADD) {
        c[TARGET] = c[NEXT_ADD];
        c[NEXT_ADD] += length;
    } else {
        c[TARGET] = le32(head + 1);
    }
}

// Passes over a record that begins before the walk's chunk: only a patch
// changed since it was checked has one.
void skip_before(dw_flash* f) {
    std::uint32_t* c = f->record_;
    if (c[TARGET] < f->sector_ + f->at_) {
        c[DATA] += c[LEFT];
        c[LEFT] = 0;
    }
}

std::uint32_t chunk_end(const dw_flash* f, const dw_flash_layout& l) {
    return f->sector_ + f->at_ + chunk(f, l);
}

std::uint32_t piece(const dw_flash* f, const dw_flash_layout& l) {
    const std::uint32_t n = min32(f->record_[LEFT], chunk_end(f, l) - f->record_[TARGET]);
    return min32(n, sizeof f->small_);
}

// Lays the piece of patch data in small_ over the chunk in the buffer,
// noting whether the bytes it replaces were as the patch has them.
void lay_piece(dw_flash* f, const dw_flash_layout& l) {
    std::uint32_t* c = f->record_;
    const std::uint32_t n = piece(f, l);
    std::uint8_t* at = l.buffer + (c[TARGET] - f->sector_ - f->at_);
    const bool added = c[TARGET] >= original_size(l);
    const std::uint8_t same = added ? 0 : EQ_REPLACE;
    for (std::uint32_t i = 0; i < n; ++i) {
        f->flags_ |= at[i] == f->small_[i] ? same : std::uint8_t{DIFFERS};
        at[i] = f->small_[i];
    }
    c[DATA] += n;
    c[TARGET] += n;
    c[LEFT] -= n;
}

// Feeds the reader the piece of patch in the buffer, counting the result's
// size; false on a broken rule (the reader then fails at its finish too).
bool read_records(dw_flash* f, const dw_flash_layout& l) {
    dw_reader& reader = f->u_.reader_;
    dw_in_buffer in = {l.buffer, patch_piece(f, l), 0};
    while (true) {
        switch (dw_reader_next(&reader, &in)) {
            case DW_READ_MORE:
                return true;
            case DW_READ_ADD:
                f->result_size += reader.length;  // wraps at most once: checked at the end
                break;
            case DW_READ_ERROR:
                return false;
            default:
                break;
        }
    }
}

// The journal's slot `at_`, read into small_ (a mark's bytes; the rest of a
// larger slot is 0xFF in every mark, and a program cut short leaves it so):
// free, or the last used so far, a live mark (its sector and check kept)
// or not.
void read_slot(dw_flash* f, const dw_flash_layout& l) {
    std::uint32_t word[MARK_SIZE / 4];
    std::memcpy(word, f->small_, MARK_SIZE);
    if ((word[0] & word[1] & word[2] & word[3]) == NONE) {
        return;
    }
    f->slot_ = f->at_ + 1;
    const std::uint32_t sector = word[MARK_SECTOR_AT / 4];
    const bool mark =
        word[0] == MARK_MAGIC && sector % l.sector_size == 0 && sector < l.image_capacity;
    f->live_ = mark ? sector : NONE;
    std::memcpy(f->check_, word + MARK_CHECK_AT / 4, MARK_CHECK_SIZE);
}

// A mark's check: SHA-256 over the patch's id, the sector (as this device
// holds a number: the check is made and checked by the same device) and
// the sector's content.
void begin_check(dw_flash* f) {
    dw_sha256_init(&f->hash_);
    dw_sha256_update(&f->hash_, f->u_.after_.id_, PATCH_ID_SIZE);
    dw_sha256_update(&f->hash_, &f->sector_, sizeof f->sector_);
}

bool check_matches(dw_flash* f) {
    dw_sha256_final(&f->hash_, f->small_);
    return std::memcmp(f->small_, f->check_, MARK_CHECK_SIZE) == 0;
}

// The mark of sector_ in slot_bytes: a complete slot to program.
void make_mark(dw_flash* f, const dw_flash_layout& l) {
    std::uint8_t* slot = slot_bytes(f, l);
    std::memset(slot, 0xFF, slot_size(l));
    std::memcpy(slot, &MARK_MAGIC, sizeof MARK_MAGIC);
    std::memcpy(slot + MARK_SECTOR_AT, &f->sector_, sizeof f->sector_);
    std::memcpy(slot + MARK_CHECK_AT, f->check_, MARK_CHECK_SIZE);
}

// The prediction's verdict on the sector just walked: false when the image
// is neither the original, nor the updated one, nor an update cut short
// (in sector order: updated sectors, then sectors still to update).
bool origin_fits(dw_flash* f) {
    const bool same = (f->flags_ & EQ_REPLACE) != 0;
    const bool other = (f->flags_ & DIFFERS) != 0;
    if (same && (other || (f->flags_ & SEEN_OLD) != 0)) {
        return false;
    }
    f->flags_ |= other ? SEEN_OLD : 0;
    return true;
}

dw_flash_op ask(dw_flash_request* r, dw_flash_op op, std::uint32_t address, std::uint32_t size,
                std::uint8_t* data) {
    *r = {op, address, size, data};
    return op;
}

dw_flash_op fail(dw_flash* f, dw_flash_request* r, std::uint8_t error, std::uint32_t position) {
    f->phase_ = FAILED;
    f->error = error;
    f->error_position = position;
    return ask(r, DW_FLASH_ERROR, 0, 0, nullptr);
}

}  // namespace

// Asks the caller for an operation, and goes on here at the next step.
// (resume_ takes the values of __COUNTER__, dense, so that the dispatch is
// one small table.)
#define DW_ASK_AT(n, kind, address, size, data)         \
    do {                                                \
        f->resume_ = (n);                               \
        return ask(r, kind, (address), (size), (data)); \
        case (n):;                                      \
    } while (0)
#define DW_ASK(kind, address, size, data) DW_ASK_AT(__COUNTER__ + 2, kind, address, size, data)

// Walks the sector set up by walk_over, and goes on here after it.
#define DW_WALK_AT(n)      \
    do {                   \
        f->return_ = (n);  \
        f->resume_ = WALK; \
        goto dispatch;     \
        case (n):;         \
    } while (0)
#define DW_WALK() DW_WALK_AT(__COUNTER__ + 2)

extern "C" {

void dw_flash_init(dw_flash* flash, const dw_flash_layout* layout) {
    *flash = dw_flash{};
    flash->layout_.p = layout;
    flash->live_ = NONE;
}

dw_flash_op dw_flash_step(dw_flash* f, dw_flash_request* r) {
    const dw_flash_layout l = *f->layout_.p;  // a copy: the state's stores cannot change it
    const std::uint32_t s = l.sector_size;
    if (f->phase_ != RUNNING) {
        return ask(r, f->phase_ == FINISHED ? DW_FLASH_DONE : DW_FLASH_ERROR, 0, 0, nullptr);
    }
dispatch:
    switch (f->resume_) {
        case 0:
            if (!usable(l)) {
                return fail(f, r, DW_ERROR_FLASH_LAYOUT, 0);
            }
            // 1. The patch, whole.
            dw_reader_init(&f->u_.reader_, l.original_size);
            dw_sha256_init(&f->hash_);
            f->result_size = original_size(l);
            for (f->at_ = 0; f->at_ < patch_size(l); f->at_ += patch_piece(f, l)) {
                DW_ASK(DW_FLASH_READ_PATCH, f->at_, patch_piece(f, l), l.buffer);
                dw_sha256_update(&f->hash_, l.buffer, patch_piece(f, l));
                if (!read_records(f, l)) {
                    break;
                }
            }
            if (dw_reader_finish(&f->u_.reader_) != DW_READ_END) {
                return fail(f, r, f->u_.reader_.error,
                            static_cast<std::uint32_t>(f->u_.reader_.error_position));
            }
            if (f->result_size < original_size(l) || f->result_size > l.image_capacity) {
                return fail(f, r, DW_ERROR_CAPACITY, 0);
            }
            dw_sha256_final(&f->hash_, f->small_);
            std::memcpy(f->u_.after_.id_, f->small_, PATCH_ID_SIZE);

            // 2. The journal.
            for (f->at_ = 0; f->at_ < journal_slots(l); ++f->at_) {
                DW_ASK(DW_FLASH_READ, slot_address(l, f->at_), MARK_SIZE, f->small_);
                read_slot(f, l);
            }
            if (f->live_ != NONE) {
                f->sector_ = f->live_;
            // A mark's check over its copy or (IMAGE_SIDE) over the image
            // sector, at the start and for each new mark, once written (a
            // copy not as programmed leaves the mark dead and the sector as
            // it was); the image sector is programmed from the copy unless
            // it holds it already (after a cut), and read back.
            check:
                begin_check(f);
                walk_over(f, l,
                          (f->flags_ & IMAGE_SIDE) != 0 ? image_sector(f, l)
                                                        : copy_address(l, f->slot_ - 1),
                          NONE, 0);
                DW_WALK();
                if (!check_matches(f)) {
                    if ((f->flags_ & IMAGE_SIDE) == 0) {
                        f->live_ = NONE;
                    } else {
                        if ((f->flags_ & COPIED) != 0) {
                            return fail(f, r, DW_ERROR_FLASH_VERIFY, f->sector_);
                        }
                    copy_back:
                        f->flags_ |= COPIED;
                        DW_ASK(DW_FLASH_ERASE, image_sector(f, l), s, nullptr);
                        walk_over(f, l, copy_address(l, f->slot_ - 1), image_sector(f, l), 0);
                        DW_WALK();
                        goto check;
                    }
                }
                if ((f->flags_ & UPDATE) != 0) {
                    goto checked;
                }
            }

        // Three sweeps over the result's sectors, each with the patch laid
        // over what it reads: 3. the prediction; 4. (UPDATE) the update;
        // 5. (FINAL) the final check.
        sweep:
            rewind(f, l);
            dw_sha256_init(&f->hash_);
            for (f->sector_ = 0; f->sector_ < f->result_size; f->sector_ += s) {
                std::memcpy(f->saved_, f->record_, sizeof f->saved_);
                walk_over(
                    f, l,
                    f->sector_ == f->live_ ? copy_address(l, f->slot_ - 1) : image_sector(f, l),
                    NONE, (f->flags_ & FINAL) != 0 ? 0 : OVERLAY);
                f->limit_ = min32(s, f->result_size - f->sector_);
                DW_WALK();
                if ((f->flags_ & UPDATE) == 0) {
                    if ((f->flags_ & FINAL) == 0 && f->sector_ != f->live_ && !origin_fits(f)) {
                        return fail(f, r, DW_ERROR_NOT_ORIGINAL, f->sector_);
                    }
                    continue;
                }
                if (f->sector_ != f->live_) {
                    if ((f->flags_ & DIFFERS) == 0) {
                        continue;  // it holds its new content: not erased again
                    }
                    std::memcpy(f->record_, f->saved_, sizeof f->record_);
                    if (f->slot_ == journal_slots(l)) {  // full, and no mark is live
                        DW_ASK(DW_FLASH_ERASE, l.scratch_address, s, nullptr);
                        f->slot_ = 0;
                    }
                    DW_ASK(DW_FLASH_ERASE, copy_address(l, f->slot_), s, nullptr);
                    begin_check(f);
                    walk_over(f, l, image_sector(f, l), copy_address(l, f->slot_), OVERLAY);
                    DW_WALK();
                    dw_sha256_final(&f->hash_, f->small_);
                    std::memcpy(f->check_, f->small_, MARK_CHECK_SIZE);
                    make_mark(f, l);
                    DW_ASK(DW_FLASH_WRITE, slot_address(l, f->slot_), slot_size(l),
                           slot_bytes(f, l));
                    ++f->slot_;
                    f->live_ = f->sector_;
                    goto check;
                }
                f->flags_ |= IMAGE_SIDE;  // resumed: the copy may be in the sector
                goto check;
            checked:
                if (f->live_ == NONE) {
                    return fail(f, r, DW_ERROR_FLASH_VERIFY, f->sector_);
                }
                if ((f->flags_ & IMAGE_SIDE) == 0) {
                    f->flags_ |= IMAGE_SIDE;
                    goto copy_back;  // the sector differs: it was walked above
                }
                std::memset(slot_bytes(f, l), 0, slot_size(l));  // the mark cleared
                DW_ASK(DW_FLASH_WRITE, slot_address(l, f->slot_ - 1), slot_size(l),
                       slot_bytes(f, l));
                f->live_ = NONE;
                f->flags_ &= static_cast<std::uint8_t>(~(COPIED | IMAGE_SIDE));
            }
            if ((f->flags_ & UPDATE) != 0) {
                f->flags_ = FINAL;
                goto sweep;
            }
            if ((f->flags_ & FINAL) != 0) {
                dw_sha256_final(&f->hash_, f->small_);
                if (std::memcmp(f->small_, f->u_.after_.digest_, DW_SHA256_SIZE) != 0) {
                    return fail(f, r, DW_ERROR_FLASH_VERIFY, 0);
                }
                f->phase_ = FINISHED;
                return ask(r, DW_FLASH_DONE, 0, 0, nullptr);
            }
            dw_sha256_final(&f->hash_, f->u_.after_.digest_);
            if (l.expected_sha256 != nullptr &&
                std::memcmp(f->u_.after_.digest_, l.expected_sha256, DW_SHA256_SIZE) != 0) {
                return fail(f, r, DW_ERROR_DIGEST, 0);
            }
            f->flags_ = UPDATE;
            goto sweep;

        // A walk over one sector, in chunks: read, the patch laid over,
        // hashed, programmed.
        case WALK:
            for (f->at_ = 0; f->at_ < s; f->at_ += chunk(f, l)) {
                DW_ASK(DW_FLASH_READ, f->source_ + f->at_, chunk(f, l), l.buffer);
                while ((f->flags_ & OVERLAY) != 0) {
                    if (f->record_[LEFT] == 0) {
                        if (!more_records(f, l)) {
                            break;
                        }
                        DW_ASK(DW_FLASH_READ_PATCH, f->record_[DATA], RECORD_HEAD_SIZE, f->small_);
                        take_head(f, l);
                        continue;
                    }
                    skip_before(f);
                    if (f->record_[LEFT] == 0) {
                        continue;
                    }
                    if (f->record_[TARGET] >= chunk_end(f, l)) {
                        break;
                    }
                    DW_ASK(DW_FLASH_READ_PATCH, f->record_[DATA], piece(f, l), f->small_);
                    lay_piece(f, l);
                }
                if (f->limit_ > f->at_) {
                    dw_sha256_update(&f->hash_, l.buffer, min32(chunk(f, l), f->limit_ - f->at_));
                }
                if (f->target_ != NONE) {
                    DW_ASK(DW_FLASH_WRITE, f->target_ + f->at_, chunk(f, l), l.buffer);
                }
            }
            f->resume_ = f->return_;
            goto dispatch;
    }
    return fail(f, r, DW_ERROR_FLASH_VERIFY, 0);  // not reached: every resume_ is a case
}

}  // extern "C"
