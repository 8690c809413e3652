// The in-place flash applier against the power-cut model of flash_sim.h:
// patches × geometries × a cut at every cut point (before each program and
// erase, and inside each of their units), each followed by a new start that
// runs to the end, some after a second cut: the image is the updated one,
// and no sector was erased beyond the bound. The scratch area starts with a
// live, complete mark of another patch. Refusals erase and program nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "flash_sim.h"
#include "test_support.h"

// The cut points the table takes besides the first of each kind: every
// FLASH_CUT_STRIDE-th (every one in the exhaustive run).
#ifndef FLASH_CUT_STRIDE
#define FLASH_CUT_STRIDE 23
#endif

namespace {

struct Geometry {
    std::uint32_t sector, write, scratch_sectors, buffer;
};
const Geometry GEOMETRIES[] = {{256, 1, 2, 64},    {256, 4, 3, 32},    {256, 16, 2, 16},
                               {4096, 1, 2, 4096}, {4096, 4, 3, 4096}, {4096, 16, 2, 1024}};

std::uint32_t round_up(std::size_t n, std::uint32_t s) {
    return static_cast<std::uint32_t>((n + s - 1) / s * s);
}

// A flash holding an image at address 0 and the scratch area after its
// capacity, and the layout of an update of it.
struct Device {
    Geometry g;
    Bytes memory;
    Bytes patch;
    Bytes expected;  // the expected digest, if any
    Bytes buffer;
    std::vector<std::uint32_t> erases;    // per sector, over all runs
    std::uint32_t programs = 0;           // over all runs
    std::uint32_t first_image_erase = 0;  // the last run's (flash_sim.h)
    int error = 0;                        // the last run's
    dw_flash_layout layout{};

    Device(const Geometry& geometry, const Bytes& image, std::uint32_t capacity, Bytes p)
        : g(geometry), patch(std::move(p)), buffer(geometry.buffer) {
        memory.assign(capacity + g.scratch_sectors * g.sector, 0xFF);
        std::copy(image.begin(), image.end(), memory.begin());
        erases.assign(memory.size() / g.sector, 0);
        layout = {g.sector,     g.write,      0,       capacity,      capacity, g.scratch_sectors,
                  image.size(), patch.size(), nullptr, buffer.data(), g.buffer};
    }
    // Runs an update from a new start: the final op, or -1 after a cut.
    int run(std::uint32_t cut_at, std::uint32_t* units = nullptr, int scatter = 0,
            std::uint32_t seed = 1, std::vector<std::uint8_t>* kinds = nullptr) {
        flash_sim sim{memory.data(),
                      static_cast<std::uint32_t>(memory.size()),
                      g.sector,
                      g.write,
                      patch.data(),
                      static_cast<std::uint32_t>(patch.size()),
                      erases.data(),
                      0,
                      0,
                      cut_at,
                      scatter,
                      layout.image_capacity,
                      UINT32_MAX,
                      seed,
                      kinds == nullptr ? nullptr : kinds->data(),
                      kinds == nullptr ? 0 : static_cast<std::uint32_t>(kinds->size())};
        layout.expected_sha256 = expected.empty() ? nullptr : expected.data();
        layout.buffer = buffer.data();
        dw_flash flash;
        dw_flash_init(&flash, &layout);
        const int op = flash_sim_run(&sim, &flash);
        if (units != nullptr) {
            *units = sim.units;
        }
        programs += sim.programs;
        first_image_erase = sim.first_image_erase;
        error = flash.error;
        return op;
    }
    Bytes scratch() const { return Bytes(memory.begin() + layout.image_capacity, memory.end()); }
};

Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
    Bytes b(n);
    for (auto& x : b) {
        x = static_cast<std::uint8_t>(rng());
    }
    return b;
}

void flip(Bytes& b, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to && i < b.size(); ++i) {
        b[i] ^= 0xA5;
    }
}

struct FlashCase {
    const char* name;
    void (*change)(Bytes& updated, std::uint32_t sector, std::mt19937_64& rng);
};
const FlashCase CASES[] = {
    {"scattered replaces",
     [](Bytes& u, std::uint32_t s, std::mt19937_64&) {
         for (const std::size_t at :
              {std::size_t{3}, std::size_t{s} + 100, 2 * std::size_t{s} + 7}) {
             flip(u, at, at + 1 + at % 5);
         }
     }},
    {"a run across a sector edge",
     [](Bytes& u, std::uint32_t s, std::mt19937_64&) { flip(u, s - 20, s + 20); }},
    {"a whole sector", [](Bytes& u, std::uint32_t s, std::mt19937_64&) { flip(u, s, 2 * s); }},
    {"add records growing the image",
     [](Bytes& u, std::uint32_t s, std::mt19937_64& rng) {
         flip(u, 5, 6);
         const Bytes more = random_bytes(rng, s + 50);
         u.insert(u.end(), more.begin(), more.end());
     }},
    {"the last sector",
     [](Bytes& u, std::uint32_t, std::mt19937_64&) { flip(u, u.size() - 1, u.size()); }},
    {"an identical image", [](Bytes&, std::uint32_t, std::mt19937_64&) {}},
};

// The image sectors an update must erase: those whose bytes differ.
std::vector<bool> sectors_to_update(const Bytes& before, const Bytes& after, std::uint32_t s,
                                    std::uint32_t capacity) {
    std::vector<bool> need(capacity / s, false);
    for (std::size_t i = 0; i < after.size(); ++i) {
        const std::uint8_t was = i < before.size() ? before[i] : 0xFF;
        need[i / s] = need[i / s] || was != after[i];
    }
    return need;
}

TEST(Flash, EveryCutIsCompletedByTheNextStart) {
    const std::uint32_t stride = cut_stride(FLASH_CUT_STRIDE);
    std::mt19937_64 rng(25);
    for (const Geometry& g : GEOMETRIES) {
        const std::size_t size = g.sector == 256 ? 6 * g.sector - 37 : 2 * g.sector + 123;
        const Bytes original = random_bytes(rng, size);
        // The scratch area as an update of another patch left it, cut
        // after its first mark: a live, complete marked copy.
        Bytes other_updated = original;
        flip(other_updated, 0, g.sector + 1);
        const std::uint32_t capacity = round_up(size + g.sector + 50, g.sector) + g.sector;
        Device other(g, original, capacity, run_scan(other_updated, original).patch);
        ASSERT_EQ(other.run(UINT32_MAX), DW_FLASH_DONE);
        Device stale(g, original, capacity, other.patch);
        ASSERT_EQ(stale.run(other.first_image_erase), -1);
        const Bytes stale_scratch = stale.scratch();

        for (const FlashCase& c : CASES) {
            SCOPED_TRACE(testing::Message() << c.name << ", sector " << g.sector << ", write "
                                            << g.write << ", scratch " << g.scratch_sectors);
            Bytes updated = original;
            c.change(updated, g.sector, rng);
            const Bytes patch = run_scan(updated, original).patch;
            Device initial(g, original, capacity, patch);
            std::copy(stale_scratch.begin(), stale_scratch.end(),
                      initial.memory.begin() + capacity);
            const std::vector<bool> need = sectors_to_update(original, updated, g.sector, capacity);
            const auto touched =
                static_cast<std::uint32_t>(std::count(need.begin(), need.end(), true));
            const std::uint32_t slots = g.sector / std::max<std::uint32_t>(16, g.write);
            const std::uint32_t scratch_bound = touched + (touched + slots - 1) / slots;
            auto check = [&](const Device& d, std::uint32_t cuts) {
                EXPECT_TRUE(std::equal(updated.begin(), updated.end(), d.memory.begin()));
                std::uint32_t scratch_erases = 0;
                for (std::size_t k = 0; k < d.erases.size(); ++k) {
                    if (k < need.size()) {
                        EXPECT_LE(d.erases[k], need[k] ? 1 + cuts : 0) << "image sector " << k;
                    } else {
                        scratch_erases += d.erases[k];
                    }
                }
                EXPECT_LE(scratch_erases, scratch_bound + 2 * cuts);
            };

            // Without a cut: each sector to update erased once, and a second
            // start finds the update done, writing nothing.
            Device whole = initial;
            std::uint32_t points = 0;
            ASSERT_EQ(whole.run(UINT32_MAX, &points), DW_FLASH_DONE) << whole.error;
            check(whole, 0);
            for (std::size_t k = 0; k < need.size(); ++k) {
                EXPECT_EQ(whole.erases[k], need[k] ? 1u : 0u);
            }
            const std::uint32_t programs = whole.programs;
            ASSERT_EQ(whole.run(UINT32_MAX), DW_FLASH_DONE);
            EXPECT_EQ(whole.programs, programs);

            // The kind of each cut point, from an uncut run like `whole`.
            std::vector<std::uint8_t> kinds(points);
            Device traced = initial;
            ASSERT_EQ(traced.run(UINT32_MAX, nullptr, 0, 1, &kinds), DW_FLASH_DONE);
            // A cut at every point at the stride, and at the first point of
            // each kind, then a new start to the end (every seventh after a
            // second cut, anywhere, its erase scattering).
            bool seen[FLASH_CUT_KINDS] = {};
            for (std::uint32_t at = 0; at < points; ++at) {
                if (at % stride != 0 && seen[kinds[at]]) {
                    continue;
                }
                seen[kinds[at]] = true;
                Device d = initial;
                ASSERT_EQ(d.run(at), -1) << "cut at " << at;
                std::uint32_t cuts = 1;
                if (at % 7 == 3) {
                    const int op = d.run(static_cast<std::uint32_t>(rng() % points), nullptr, 1,
                                         static_cast<std::uint32_t>(rng()) | 1);
                    ASSERT_TRUE(op == -1 || op == DW_FLASH_DONE) << op << " after cut at " << at;
                    cuts += op == -1;
                }
                ASSERT_EQ(d.run(UINT32_MAX), DW_FLASH_DONE) << "cut at " << at << ": " << d.error;
                check(d, cuts);
                if (testing::Test::HasFailure()) {
                    FAIL() << "cut at " << at;
                }
            }
        }
    }
}

// Refused before anything is erased or programmed.
TEST(Flash, RefusalsEraseAndProgramNothing) {
    std::mt19937_64 rng(26);
    const Geometry g{256, 4, 2, 64};
    const Bytes original = random_bytes(rng, 5 * g.sector);
    Bytes updated = original;
    flip(updated, g.sector, 2 * g.sector);
    flip(updated, 4 * g.sector + 3, 4 * g.sector + 9);
    const Bytes patch = run_scan(updated, original).patch;
    Bytes grown = original;
    const Bytes more = random_bytes(rng, 300);
    grown.insert(grown.end(), more.begin(), more.end());
    Bytes half_new = original;  // another version: half of a sector's records' bytes new
    std::copy(updated.begin() + g.sector, updated.begin() + g.sector + g.sector / 2,
              half_new.begin() + g.sector);
    Bytes unlike = original;  // every byte differs from the original and the updated image
    for (auto& b : unlike) {
        b ^= 0x3C;
    }
    Bytes later_sector_first = original;  // the last sector updated, the first not
    flip(later_sector_first, 4 * g.sector + 3, 4 * g.sector + 9);
    const Bytes other_original = random_bytes(rng, 5 * g.sector);
    Bytes other_updated = other_original;
    flip(other_updated, 0, 3 * g.sector);

    struct Refusal {
        const char* name;
        Bytes image;
        Bytes patch;
        std::uint32_t capacity;
        Bytes expected;
        std::uint32_t scratch_sectors;
        dw_error error;
    };
    const Refusal rows[] = {
        {"a wrong image", half_new, patch, 6 * g.sector, {}, 2, DW_ERROR_NOT_ORIGINAL},
        // Bytes that differ everywhere a record replaces them show an
        // original: only the digest tells this image from it.
        {"a wrong image, told by the digest", unlike, patch, 6 * g.sector, sha256_of(updated), 2,
         DW_ERROR_DIGEST},
        {"an update's later sector done, an earlier not",
         later_sector_first,
         patch,
         6 * g.sector,
         {},
         2,
         DW_ERROR_NOT_ORIGINAL},
        {"a patch for another image",
         original,
         run_scan(other_updated, other_original).patch,
         6 * g.sector,
         {},
         2,
         DW_ERROR_NOT_ORIGINAL},
        {"capacity too small",
         original,
         run_scan(grown, original).patch,
         6 * g.sector,
         {},
         2,
         DW_ERROR_CAPACITY},
        {"the digest of another result", original, patch, 6 * g.sector, sha256_of(original), 2,
         DW_ERROR_DIGEST},
        {"a scratch area of one sector",
         original,
         patch,
         6 * g.sector,
         {},
         1,
         DW_ERROR_FLASH_LAYOUT},
        {"a patch cut short",
         original,
         Bytes(patch.begin(), patch.end() - 1),
         6 * g.sector,
         {},
         2,
         DW_ERROR_TRUNCATED},
    };
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.name);
        Geometry rg = g;
        rg.scratch_sectors = row.scratch_sectors;
        Device d(rg, row.image, row.capacity, row.patch);
        d.expected = row.expected;
        const Bytes before = d.memory;
        EXPECT_EQ(d.run(UINT32_MAX), DW_FLASH_ERROR);
        EXPECT_EQ(d.error, row.error);
        EXPECT_EQ(d.programs, 0u);
        EXPECT_EQ(std::count(d.erases.begin(), d.erases.end(), 0u),
                  static_cast<std::ptrdiff_t>(d.erases.size()));
        EXPECT_EQ(d.memory, before);
    }
    // And the right digest is taken.
    Device d(g, original, 6 * g.sector, patch);
    d.expected = sha256_of(updated);
    EXPECT_EQ(d.run(UINT32_MAX), DW_FLASH_DONE);
}

}  // namespace
