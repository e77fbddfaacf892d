// A 16-byte block held as two 64-bit words, for the XORs of the block modes.
#pragma once

#include <cstdint>
#include <cstring>

namespace orvane {

struct Block {
    std::uint64_t low_half;
    std::uint64_t high_half;

    static Block load(const std::uint8_t* bytes) {
        Block block;
        std::memcpy(&block, bytes, sizeof block);
        return block;
    }
    void store(std::uint8_t* bytes) const { std::memcpy(bytes, this, sizeof *this); }
    friend Block operator^(Block a, Block b) { return {a.low_half ^ b.low_half, a.high_half ^ b.high_half}; }
};

static_assert(sizeof(Block) == 16);

}  // namespace orvane
