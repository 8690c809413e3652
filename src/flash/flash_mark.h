// The in-place flash applier's marks: what it keeps in the scratch area so
// that a power cut at any instant can be completed on the next start.
//
// Scratch area (scratch_sectors sectors from scratch_address):
//   sector 0           the journal: slots of MARK_SLOT(write_size) bytes
//   sectors 1 .. n-1   copies: the new content of an image sector, in turn
//
// Slot (the first MARK_SIZE bytes; the rest of a larger slot stays 0xFF):
//   offset  size  field
//        0     4  magic   MARK_MAGIC
//        4     4  sector  the image offset of the sector copied
//        8     8  check   the first 8 bytes of SHA-256(patch id ‖ sector ‖ copy)
// The numbers are in the device's own byte order: a mark is written and read
// by the same device. A slot is free when its first MARK_SIZE bytes are all
// 0xFF (the rest of a larger slot is 0xFF in every mark).
//
// A slot all 0xFF is free; slots are used in order. The mark of slot s is
// for the copy in scratch sector 1 + s mod (n - 1). It is written after its
// copy is complete, and cleared to zero bytes once the image sector holds
// the copy, so only the journal's last used slot can be a live mark; the
// check (over the patch's digest, the sector and the copy's every byte)
// tells a complete mark of this update from a cut-short one, a cleared one,
// one of another patch and erase debris. The journal is erased only when it
// is full and no mark is live.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t MARK_SIZE = 16;
inline constexpr std::uint32_t MARK_MAGIC = 0x314D5744;  // "DWM1" on a little-endian device
inline constexpr std::uint32_t MARK_SECTOR_AT = 4;
inline constexpr std::uint32_t MARK_CHECK_AT = 8;
inline constexpr std::uint32_t MARK_CHECK_SIZE = 8;
// The patch's digest as marks carry it (its first bytes).
inline constexpr std::uint32_t PATCH_ID_SIZE = 16;

// A slot: one mark, or one program unit if that is larger.
inline constexpr std::uint32_t mark_slot(std::uint32_t write_size) {
    return write_size > MARK_SIZE ? write_size : MARK_SIZE;
}
