#pragma once
// A batching front end to sampler A: pushed strings wait in a first-in
// first-out buffer and are handed to the sampler `batch_size` at a time.
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "common/stats.hpp"
#include "sampling/reservoir.hpp"

namespace quillo::sampling {

class StreamSampler {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    // Fails unless batch_size > 0.
    StreamSampler(std::uint64_t capacity, std::uint64_t batch_size);

    void push_batch(std::vector<std::string> items);
    void flush();

    const std::vector<std::string>& sample() const { return sampler_.sample(); }
    Stats stats() const;
    std::uint64_t capacity() const { return sampler_.capacity(); }
    std::uint64_t batch_size() const { return batch_size_; }
    // Items pushed so far, sampled or still buffered.
    std::uint64_t items_seen() const { return sampler_.items_seen() + buffer_.size(); }

    std::vector<std::uint8_t> to_bytes() const;
    static StreamSampler from_bytes(std::span<const std::uint8_t> data);

private:
    StreamSampler(ReservoirSamplerA sampler, std::uint64_t batch_size);

    void hand_over(std::size_t count);

    ReservoirSamplerA sampler_;
    std::uint64_t batch_size_;
    std::deque<std::string> buffer_;
};

}  // namespace quillo::sampling
