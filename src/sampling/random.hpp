#pragma once
// The per-thread random generator of the samplers: ChaCha with 12 rounds,
// keyed from the operating system's entropy and re-keyed after every 64 KiB
// of output and in the child after a fork, so that neither a long stream nor
// a forked worker repeats another's draws.
#include <array>
#include <cstdint>

namespace quillo::sampling {

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

// One ChaCha12 block: the 64-bit block counter fills words 12 and 13, the
// 64-bit stream number words 14 and 15, low half first.
ChaChaBlock chacha12_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream);

class ThreadRng {
public:
    constexpr ThreadRng() = default;

    std::uint64_t next_u64() {
        if (next_word_ == kWordsPerBlock) refill();
        const std::uint64_t low = block_[next_word_];
        const std::uint64_t high = block_[next_word_ + 1];
        next_word_ += 2;
        return low | (high << 32);
    }

    // In [0, 1), from the top 53 bits of one draw.
    double unit_float() { return static_cast<double>(next_u64() >> 11) * 0x1p-53; }

    // Uniform in [0, n) by widening multiplication with rejection.
    std::uint64_t uniform_index(std::uint64_t n);

private:
    static constexpr unsigned kWordsPerBlock = 16;

    void refill();
    void rekey();

    ChaChaKey key_{};
    std::uint64_t stream_ = 0;
    std::uint64_t counter_ = 0;
    ChaChaBlock block_{};
    unsigned next_word_ = kWordsPerBlock;
    bool keyed_ = false;
};

// The calling thread's generator.
ThreadRng& thread_rng();

}  // namespace quillo::sampling
