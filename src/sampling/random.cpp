#include "sampling/random.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>

#include "common/error.hpp"

namespace quillo::sampling {

namespace {

constexpr std::uint64_t kBlocksPerKey = 1024;
constexpr int kDoubleRounds = 6;
// "expand 32-byte k"
constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

__extension__ using Wide = unsigned __int128;

// Bumped in the child of every fork: parent and child must not share a stream.
std::atomic<std::uint64_t> fork_generation{0};

void on_fork_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

void quarter_round(ChaChaBlock& x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

void fill_from_os(void* target, std::size_t size) {
    auto* out = static_cast<unsigned char*>(target);
    while (size > 0) {
        const ssize_t got = getrandom(out, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            panic("the operating system's entropy source failed");
        }
        out += got;
        size -= static_cast<std::size_t>(got);
    }
}

thread_local ThreadRng generator;

}  // namespace

ChaChaBlock chacha12_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream) {
    ChaChaBlock input;
    std::copy(kSigma.begin(), kSigma.end(), input.begin());
    std::copy(key.begin(), key.end(), input.begin() + 4);
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);
    ChaChaBlock x = input;
    for (int i = 0; i < kDoubleRounds; ++i) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < x.size(); ++i) x[i] += input[i];
    return x;
}

std::uint64_t ThreadRng::uniform_index(std::uint64_t n) {
    if (n == 0) panic("uniform_index of an empty range");
    const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const Wide product = static_cast<Wide>(next_u64()) * n;
        if (static_cast<std::uint64_t>(product) <= zone) return static_cast<std::uint64_t>(product >> 64);
    }
}

void ThreadRng::refill() {
    if (!keyed_ || counter_ == kBlocksPerKey || fork_generation_ != fork_generation.load(std::memory_order_relaxed)) {
        rekey();
    }
    block_ = chacha12_block(key_, counter_++, stream_);
    next_word_ = 0;
}

void ThreadRng::rekey() {
    [[maybe_unused]] static const int registered = pthread_atfork(nullptr, nullptr, &on_fork_child);
    fork_generation_ = fork_generation.load(std::memory_order_relaxed);
    fill_from_os(key_.data(), sizeof(key_));
    fill_from_os(&stream_, sizeof(stream_));
    counter_ = 0;
    keyed_ = true;
}

ThreadRng& thread_rng() { return generator; }

}  // namespace quillo::sampling
