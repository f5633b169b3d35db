#pragma once
// A derived, read-only view of a summary's state, built by the first query
// after a change and reused until the next change. Queries run under shared
// access, possibly on several threads at once and without the interpreter
// lock, so the first builder publishes the view atomically under a mutex;
// later readers only load the pointer. Mutations run under exclusive access,
// so no reader can hold the view while `reset` frees it.
//
// Copies start without a view (they build their own); moves take the view
// along with the state it was built from.
#include <atomic>
#include <memory>
#include <mutex>

#include "common/memory.hpp"

namespace quillo::quantiles {

template <class View>
class LazyView {
public:
    LazyView() = default;
    LazyView(const LazyView&) noexcept {}
    LazyView(LazyView&& other) noexcept : view_(other.view_.exchange(nullptr, std::memory_order_acq_rel)) {}
    LazyView& operator=(const LazyView& other) noexcept {
        if (this != &other) reset();
        return *this;
    }
    LazyView& operator=(LazyView&& other) noexcept {
        if (this != &other) {
            reset();
            view_.store(other.view_.exchange(nullptr, std::memory_order_acq_rel), std::memory_order_release);
        }
        return *this;
    }
    ~LazyView() { reset(); }

    // The current view, built by `build()` if there is none.
    template <class Build>
    const View& get(Build build) const {
        if (const View* view = view_.load(std::memory_order_acquire)) return *view;
        std::lock_guard lock(mutex_);
        if (const View* view = view_.load(std::memory_order_acquire)) return *view;
        auto fresh = std::make_unique<const View>(build());
        view_.store(fresh.get(), std::memory_order_release);
        return *fresh.release();
    }

    // What the view holds while one is built: it can outweigh the summary.
    std::size_t heap_bytes() const {
        const View* view = view_.load(std::memory_order_acquire);
        return view == nullptr ? 0 : heap_block_bytes(*view);
    }

    // Forgets the view; called by every mutation.
    void reset() noexcept { delete view_.exchange(nullptr, std::memory_order_acq_rel); }

private:
    mutable std::mutex mutex_;
    mutable std::atomic<const View*> view_{nullptr};
};

}  // namespace quillo::quantiles
