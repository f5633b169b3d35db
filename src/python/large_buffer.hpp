#pragma once
// Buffers for the transient copies a column makes of its input (the bytes of
// a list of str, their row index). Such a copy of a few million rows spans
// hundreds of MB of fresh memory, and faulting it in 4 KiB page by page costs
// several times the copy itself; blocks of 2 MiB and more are therefore asked
// to sit on huge pages, where the system offers them on request.
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace quillo::py {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

template <class T>
struct LargeBufferAllocator {
    using value_type = T;

    LargeBufferAllocator() = default;
    template <class U>
    LargeBufferAllocator(const LargeBufferAllocator<U>&) {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePageBytes) return static_cast<T*>(::operator new(bytes));
        void* block = ::operator new(bytes, std::align_val_t{kHugePageBytes});
        // Advice only: where huge pages are off, the block keeps small ones.
        madvise(block, bytes / kHugePageBytes * kHugePageBytes, MADV_HUGEPAGE);
        return static_cast<T*>(block);
    }

    void deallocate(T* block, std::size_t n) {
        if (n * sizeof(T) < kHugePageBytes) {
            ::operator delete(block);
        } else {
            ::operator delete(block, std::align_val_t{kHugePageBytes});
        }
    }

    template <class U>
    bool operator==(const LargeBufferAllocator<U>&) const {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeBufferAllocator<T>>;

// Bytes appended at the end, on large pages. A vector with its own allocator
// would copy appended runs byte by byte; these are copied whole.
class LargeBytes {
public:
    LargeBytes() = default;
    LargeBytes(LargeBytes&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    LargeBytes& operator=(LargeBytes&&) = delete;
    ~LargeBytes() {
        if (data_ != nullptr) LargeBufferAllocator<char>().deallocate(data_, capacity_);
    }

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

    void reserve(std::size_t capacity) {
        if (capacity > capacity_) move_to(capacity);
    }
    void append(const char* bytes, std::size_t n) {
        if (n == 0) return;
        if (n > capacity_ - size_) move_to(std::max(2 * capacity_, size_ + n));
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
    }
    void push_back(char byte) { append(&byte, 1); }

private:
    void move_to(std::size_t capacity) {
        char* fresh = LargeBufferAllocator<char>().allocate(capacity);
        if (size_ > 0) std::memcpy(fresh, data_, size_);
        if (data_ != nullptr) LargeBufferAllocator<char>().deallocate(data_, capacity_);
        data_ = fresh;
        capacity_ = capacity;
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quillo::py
