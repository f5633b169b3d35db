#pragma once
// A t-digest behind an input buffer: single values are collected and merged
// as one batch when the buffer fills, so the digest is rebuilt once per
// batch. Every query flushes first.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/stats.hpp"
#include "tdigest/tdigest.hpp"

namespace quillo::tdigest {

inline constexpr std::uint64_t kDefaultBufferSize = 1000;

class StreamingTDigest {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    StreamingTDigest(std::uint64_t compression, std::uint64_t buffer_size);

    static StreamingTDigest create(std::optional<std::uint64_t> compression, std::optional<std::uint64_t> buffer_size);

    void add(double value);
    void flush();
    std::optional<double> quantile(double q);
    std::optional<double> median();
    std::optional<double> p95();
    std::optional<double> p99();
    Stats statistics();
    std::uint64_t compression() const { return inner_.compression(); }
    std::uint64_t buffer_size() const { return buffer_size_; }
    // Values added so far, buffered or not.
    std::uint64_t count() const { return inner_.count() + buffer_.size(); }

    std::vector<std::uint8_t> to_bytes() const;
    static StreamingTDigest from_bytes(std::span<const std::uint8_t> data);

private:
    StreamingTDigest(TDigest inner, std::vector<double> buffer, std::uint64_t buffer_size);

    TDigest inner_;
    std::vector<double> buffer_;
    std::uint64_t buffer_size_;
};

}  // namespace quillo::tdigest
