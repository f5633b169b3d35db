#pragma once
// Heap bytes owned by the standard containers a summary is made of, for
// memory accounting: what a container allocated for its elements (by
// capacity, not size) plus what its elements own in turn. Node containers
// count each node with its links and the allocator's header; the figures are
// close estimates, not the allocator's exact bookkeeping.
//
// `heap_bytes_of(x)` handles strings, vectors, deques, maps, optionals,
// variants, pairs, trivially copyable values (nothing on the heap) and any
// class with a `heap_bytes()` member. `heap_bytes_of(v, inner)` takes the heap
// bytes of each element of a vector from `inner`, for elements that are plain
// structs.
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace quillo {

namespace memory_detail {

// The allocator's header in front of every block.
inline constexpr std::size_t kBlockHeader = sizeof(void*);
// A balanced-tree node's colour, parent and child links.
inline constexpr std::size_t kTreeLinks = 4 * sizeof(void*);
// A hash node's next link and cached hash.
inline constexpr std::size_t kHashLinks = 2 * sizeof(void*);
// The block size of a deque.
inline constexpr std::size_t kDequeBlock = 512;

template <class T>
struct HeapBytes {
    static std::size_t of(const T& value) {
        if constexpr (requires { value.heap_bytes(); }) {
            return value.heap_bytes();
        } else {
            static_assert(std::is_trivially_copyable_v<T>, "no heap accounting for this type");
            return 0;
        }
    }
};

}  // namespace memory_detail

template <class T>
std::size_t heap_bytes_of(const T& value) {
    return memory_detail::HeapBytes<std::remove_cv_t<T>>::of(value);
}

// A block holding one T, with what the T owns in turn.
template <class T>
std::size_t heap_block_bytes(const T& value) {
    return memory_detail::kBlockHeader + sizeof(T) + heap_bytes_of(value);
}

namespace memory_detail {

template <class T, class A>
std::size_t vector_storage(const std::vector<T, A>& v) {
    return v.capacity() == 0 ? 0 : kBlockHeader + v.capacity() * sizeof(T);
}

}  // namespace memory_detail

// The storage of a vector plus what `inner` says each element owns.
template <class T, class A, class Inner>
std::size_t heap_bytes_of(const std::vector<T, A>& v, Inner inner) {
    std::size_t total = memory_detail::vector_storage(v);
    for (const T& element : v) total += inner(element);
    return total;
}

namespace memory_detail {

// Whether a value never owns heap memory, so a container need not visit it.
template <class T>
inline constexpr bool owns_no_heap = std::is_trivially_copyable_v<T>;
template <class A, class B>
inline constexpr bool owns_no_heap<std::pair<A, B>> = owns_no_heap<std::remove_cv_t<A>> && owns_no_heap<B>;

template <class Element>
std::size_t owned_by_elements(const auto& container) {
    if constexpr (owns_no_heap<Element>) {
        return 0;
    } else {
        std::size_t total = 0;
        for (const auto& element : container) total += heap_bytes_of(element);
        return total;
    }
}

template <>
struct HeapBytes<std::string> {
    static std::size_t of(const std::string& s) {
        // A short string lives inside the object itself.
        const char* self = reinterpret_cast<const char*>(&s);
        const bool inside =
            !std::less<const char*>{}(s.data(), self) && std::less<const char*>{}(s.data(), self + sizeof s);
        return inside ? 0 : kBlockHeader + s.capacity() + 1;
    }
};

template <class T, class A>
struct HeapBytes<std::vector<T, A>> {
    static std::size_t of(const std::vector<T, A>& v) { return vector_storage(v) + owned_by_elements<T>(v); }
};

template <class A>
struct HeapBytes<std::vector<bool, A>> {
    static std::size_t of(const std::vector<bool, A>& v) {
        return v.capacity() == 0 ? 0 : kBlockHeader + v.capacity() / 8;
    }
};

template <class T, class A>
struct HeapBytes<std::deque<T, A>> {
    static std::size_t of(const std::deque<T, A>& d) {
        const std::size_t per_block = sizeof(T) < kDequeBlock ? kDequeBlock / sizeof(T) : 1;
        const std::size_t blocks = d.size() / per_block + 1;
        return blocks * (kBlockHeader + per_block * sizeof(T) + sizeof(void*)) + owned_by_elements<T>(d);
    }
};

template <class K, class V, class C, class A>
struct HeapBytes<std::map<K, V, C, A>> {
    static std::size_t of(const std::map<K, V, C, A>& m) {
        using Entry = typename std::map<K, V, C, A>::value_type;
        return m.size() * (kBlockHeader + kTreeLinks + sizeof(Entry)) + owned_by_elements<Entry>(m);
    }
};

template <class K, class V, class H, class E, class A>
struct HeapBytes<std::unordered_map<K, V, H, E, A>> {
    static std::size_t of(const std::unordered_map<K, V, H, E, A>& m) {
        using Entry = typename std::unordered_map<K, V, H, E, A>::value_type;
        return kBlockHeader + m.bucket_count() * sizeof(void*) +
               m.size() * (kBlockHeader + kHashLinks + sizeof(Entry)) + owned_by_elements<Entry>(m);
    }
};

template <class A, class B>
struct HeapBytes<std::pair<A, B>> {
    static std::size_t of(const std::pair<A, B>& p) { return heap_bytes_of(p.first) + heap_bytes_of(p.second); }
};

template <class T>
struct HeapBytes<std::optional<T>> {
    static std::size_t of(const std::optional<T>& o) { return o ? heap_bytes_of(*o) : 0; }
};

template <class... T>
struct HeapBytes<std::variant<T...>> {
    static std::size_t of(const std::variant<T...>& v) {
        return std::visit([](const auto& alternative) { return heap_bytes_of(alternative); }, v);
    }
};

}  // namespace memory_detail

}  // namespace quillo
