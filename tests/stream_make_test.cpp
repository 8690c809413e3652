// The public streaming maker: updated, original and output in pieces of
// every size must give, byte for byte, the reference scan's patch.
#include <deltawright/deltawright.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "test_support.h"

namespace {

// Makes the patch of (updated, original), handing each input over piece()
// bytes at a time and taking the output out_size bytes at a time.
Bytes make_in_pieces(const Bytes& updated, const Bytes& original,
                     const std::function<std::size_t()>& piece, std::size_t out_size) {
    dw_maker maker;
    dw_maker_init(&maker);
    const Bytes* inputs[] = {&updated, &original};
    std::size_t fed[] = {0, 0};
    dw_in_buffer in[] = {{updated.data(), 0, 0}, {original.data(), 0, 0}};
    Bytes block(out_size);
    dw_out_buffer out{block.data(), out_size, 0};
    Bytes patch;
    while (true) {
        const dw_make_status status = dw_make(&maker, &in[0], &in[1], &out);
        if (status == DW_MAKE_NEED_OUTPUT || status == DW_MAKE_DONE) {
            patch.insert(patch.end(), block.begin(), block.begin() + static_cast<long>(out.pos));
            out.pos = 0;
            if (status == DW_MAKE_DONE) {
                return patch;
            }
        } else if (status == DW_MAKE_NEED_UPDATED || status == DW_MAKE_NEED_ORIGINAL) {
            const int which = status == DW_MAKE_NEED_UPDATED ? 0 : 1;
            fed[which] += in[which].pos;
            const std::size_t n = std::min(piece(), inputs[which]->size() - fed[which]);
            in[which] = {inputs[which]->data() + fed[which], n, 0};
            if (n == 0) {
                (which == 0 ? dw_maker_end_updated : dw_maker_end_original)(&maker);
            }
        } else {
            ADD_FAILURE() << dw_error_text(maker.error);
            return {};
        }
    }
}

TEST(StreamMake, RandomPairsAtAnyPieceSizeGiveTheReferencePatch) {
    std::mt19937_64 rng(37);
    for (int iteration = 0; iteration < 1000; ++iteration) {
        SCOPED_TRACE(iteration);
        const auto [updated, original] = random_pair(rng);
        const Bytes want = reference_patch(updated, original);
        for (const std::size_t size :
             {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{255}, std::size_t{256},
              updated.size() + original.size() + 61}) {
            SCOPED_TRACE(size);
            EXPECT_EQ(make_in_pieces(
                          updated, original, [&] { return size; }, size),
                      want);
        }
        SCOPED_TRACE("random pieces");
        EXPECT_EQ(make_in_pieces(
                      updated, original, [&] { return 1 + pick(rng, 600); }, 1 + pick(rng, 600)),
                  want);
    }
}

}  // namespace
