#pragma once
// Uniform samples of at most `capacity` strings from a stream of unknown
// length. Sampler R draws an index for every item past the fill point;
// sampler A draws how many items to skip before the next replacement, so
// skipped items cost no draw at all.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/encoding.hpp"

namespace quillo::sampling {

// The fields both samplers share, in their image order. The reservoir is a
// uniform sample of the items seen; once it no longer holds them all, its
// size stays fixed (at the capacity, or below after a union with a smaller
// sample) and new items only replace entries.
class Reservoir {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    explicit Reservoir(std::uint64_t capacity) : capacity_(capacity) {}

    const std::vector<std::string>& sample() const { return items_; }
    std::uint64_t items_seen() const { return items_seen_; }
    std::uint64_t capacity() const { return capacity_; }
    bool is_full() const { return items_.size() == capacity_; }

protected:
    // Counts one more item and tells whether it was appended: it is while the
    // reservoir holds every item seen and has room.
    bool count_and_fill(std::string_view item);
    bool holds_everything() const { return items_seen_ == items_.size(); }
    // Makes this a uniform sample of the union of both streams, each side's
    // reservoir standing for its `items_seen` items. The sample keeps this
    // capacity unless a side that dropped items kept fewer.
    void take_union(const Reservoir& other);
    void reset();
    void write_fields(encoding::Writer& w) const;
    void read_fields(encoding::Reader& r);

    std::vector<std::string> items_;
    std::uint64_t capacity_;
    std::uint64_t items_seen_ = 0;
};

class ReservoirSamplerR : public Reservoir {
public:
    using Reservoir::Reservoir;

    void add(std::string_view item);
    void merge(const ReservoirSamplerR& other);
    void clear() { reset(); }

    std::vector<std::uint8_t> to_bytes() const;
    static ReservoirSamplerR from_bytes(std::span<const std::uint8_t> data);
};

class ReservoirSamplerA : public Reservoir {
public:
    explicit ReservoirSamplerA(std::uint64_t capacity);

    void add(std::string_view item);
    void merge(const ReservoirSamplerA& other);
    void clear();
    std::uint64_t pending_skip() const { return skip_; }

    std::vector<std::uint8_t> to_bytes() const;
    static ReservoirSamplerA from_bytes(std::span<const std::uint8_t> data);

    // The image fields, for owners that embed a sampler in their own image.
    void write(encoding::Writer& w) const;
    static ReservoirSamplerA read(encoding::Reader& r);

private:
    void reset_skip();

    std::uint64_t skip_ = 0;
};

// The number of items to skip after item `seen` before the next replacement
// in a full reservoir of `slots` entries, drawn so that every item ends up in
// the sample with probability slots / items seen: P(skip >= s) is the
// product over i = 1..s of (1 - slots / (seen + i)).
std::uint64_t next_skip(std::uint64_t seen, std::uint64_t slots);

}  // namespace quillo::sampling
