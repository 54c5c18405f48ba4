// Length checks at the entry of the source kernels.
#include "sources/kernel.hpp"

#include "lib/failure.hpp"

namespace corvane {

void check_chunk_lengths(const ChunkPair& chunk, OutputNames names) {
    const std::size_t n = chunk.x.size();
    const bool h = names == OutputNames::HField;
    assert_equal(chunk.y.size(), n, "length of `y` does not match");
    assert_equal(chunk.z.size(), n, "length of `z` does not match");
    assert_equal(chunk.fx.size(), n, h ? "length of `hx` does not match" : "length of `ax` does not match");
    assert_equal(chunk.fy.size(), n, h ? "length of `hy` does not match" : "length of `ay` does not match");
    assert_equal(chunk.fz.size(), n, h ? "length of `hz` does not match" : "length of `az` does not match");
}

}  // namespace corvane
