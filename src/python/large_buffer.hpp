#pragma once
// Vectors for the transient copies a column makes of its input (the bytes of
// a list of str, their row index). Such a copy of a few million rows spans
// hundreds of MB of fresh memory, and faulting it in 4 KiB page by page costs
// several times the copy itself; blocks of 2 MiB and more are therefore asked
// to sit on huge pages, where the system offers them on request.
#include <sys/mman.h>

#include <cstddef>
#include <new>
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

}  // namespace quillo::py
