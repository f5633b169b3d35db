#pragma once
// The open-addressing slot table of the theta and tuple sketches: a
// power-of-two number of 64-bit slots where 0 marks an empty slot. The probe
// stride is odd, so a probe sequence visits every slot of the table.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace quillo::theta {

// The threshold of a sketch that has not sampled yet: every hash is below it.
inline constexpr std::uint64_t kExactTheta = ~std::uint64_t{0};
// The stride reads the seven hash bits above the index, so the index must
// leave them inside the 64-bit hash.
inline constexpr unsigned kMaxLgSize = 60;
inline constexpr std::uint64_t kDefaultK = 4096;

// log2 of `k` rounded up; 0 for k below 2.
inline unsigned ceil_lg(std::uint64_t k) { return k < 2 ? 0 : static_cast<unsigned>(std::bit_width(k - 1)); }

// floor(15/16 of 2^lg): the most entries a sketch table holds between rebuilds.
inline std::uint64_t load_limit(unsigned lg) { return (std::uint64_t{15} << lg) >> 4; }

// Index of the slot holding `h`, or of the first empty slot on its probe
// sequence. The table must have an empty slot or hold `h`.
inline std::uint64_t probe(const std::uint64_t* slots, unsigned lg, std::uint64_t h) {
    const std::uint64_t mask = (std::uint64_t{1} << lg) - 1;
    const std::uint64_t stride = 1 + 2 * ((h >> lg) & 127);
    std::uint64_t i = h & mask;
    while (slots[i] != 0 && slots[i] != h) i = (i + stride) & mask;
    return i;
}

// The sampling estimate: exact while nothing was cut, else count over theta
// read as a fraction of 2^64. theta is the smallest hash that was cut away,
// not a retained one, so every retained hash counts: with theta the (k+1)-th
// smallest of n hashes, k / theta is unbiased for n.
inline double sample_estimate(std::uint64_t count, std::uint64_t theta) {
    if (count == 0) return 0.0;
    if (theta == kExactTheta) return static_cast<double>(count);
    return static_cast<double>(count) / (static_cast<double>(theta) * 0x1p-64);
}

// A zero-filled array of 2^lg trivially copyable values. Its zero pages come
// untouched from the allocator, so a large table that is mostly empty costs
// little memory. Throws std::bad_alloc when the array cannot be had.
template <class T>
class ZeroedArray {
public:
    explicit ZeroedArray(unsigned lg) : size_(std::uint64_t{1} << lg) {
        if (lg > kMaxLgSize || !(data_ = Owned(static_cast<T*>(std::calloc(size_, sizeof(T)))))) throw std::bad_alloc();
    }

    std::uint64_t size() const { return size_; }
    std::size_t heap_bytes() const { return size_ * sizeof(T); }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    T& operator[](std::uint64_t i) { return data_[i]; }
    const T& operator[](std::uint64_t i) const { return data_[i]; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    using Owned = std::unique_ptr<T[], Free>;

    std::uint64_t size_;
    Owned data_;
};

}  // namespace quillo::theta
