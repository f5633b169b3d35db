#include "sampling/random.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
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

// Takes the words one by one so that they stay in registers.
inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b;
    d = std::rotl(d ^ a, 16);
    c += d;
    b = std::rotl(b ^ c, 12);
    a += b;
    d = std::rotl(d ^ a, 8);
    c += d;
    b = std::rotl(b ^ c, 7);
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

// The forking thread is the child's only thread: its generator must not go
// on with the parent's key and buffered words.
void on_fork_child() { generator = ThreadRng(); }

}  // namespace

ChaChaBlock chacha12_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream) {
    ChaChaBlock input;
    std::copy(kSigma.begin(), kSigma.end(), input.begin());
    std::copy(key.begin(), key.end(), input.begin() + 4);
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);
    auto [x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15] = input;
    for (int i = 0; i < kDoubleRounds; ++i) {
        quarter_round(x0, x4, x8, x12);
        quarter_round(x1, x5, x9, x13);
        quarter_round(x2, x6, x10, x14);
        quarter_round(x3, x7, x11, x15);
        quarter_round(x0, x5, x10, x15);
        quarter_round(x1, x6, x11, x12);
        quarter_round(x2, x7, x8, x13);
        quarter_round(x3, x4, x9, x14);
    }
    const ChaChaBlock mixed = {x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15};
    ChaChaBlock out;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = mixed[i] + input[i];
    return out;
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
    if (!keyed_ || counter_ == kBlocksPerKey) rekey();
    block_ = chacha12_block(key_, counter_++, stream_);
    next_word_ = 0;
}

void ThreadRng::rekey() {
    [[maybe_unused]] static const int registered = pthread_atfork(nullptr, nullptr, &on_fork_child);
    fill_from_os(key_.data(), sizeof(key_));
    fill_from_os(&stream_, sizeof(stream_));
    counter_ = 0;
    keyed_ = true;
}

ThreadRng& thread_rng() { return generator; }

}  // namespace quillo::sampling
