#include "sampling/stream_sampler.hpp"

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "encoding/encoding.hpp"

namespace quillo::sampling {

namespace {

constexpr const char* kName = "StreamSampler";
constexpr const char* kZeroBatch = "batch_size must be greater than 0";
constexpr std::size_t kMinStringBytes = 1;

}  // namespace

StreamSampler::StreamSampler(std::uint64_t capacity, std::uint64_t batch_size)
    : StreamSampler(ReservoirSamplerA(capacity), batch_size) {
    if (batch_size == 0) fail(kZeroBatch);
}

StreamSampler::StreamSampler(ReservoirSamplerA sampler, std::uint64_t batch_size)
    : sampler_(std::move(sampler)), batch_size_(batch_size) {}

void StreamSampler::hand_over(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        sampler_.add(buffer_.front());
        buffer_.pop_front();
    }
}

void StreamSampler::push_batch(std::vector<std::string> items) {
    for (std::string& item : items) buffer_.push_back(std::move(item));
    while (buffer_.size() >= batch_size_) hand_over(batch_size_);
}

void StreamSampler::flush() { hand_over(buffer_.size()); }

Stats StreamSampler::stats() const {
    Stats stats;
    stats.add("items_processed", sampler_.items_seen())
        .add("sample_size", static_cast<std::uint64_t>(sampler_.sample().size()))
        .add("capacity", sampler_.capacity())
        .add("buffer_size", static_cast<std::uint64_t>(buffer_.size()));
    return stats;
}

std::vector<std::uint8_t> StreamSampler::to_bytes() const {
    encoding::Writer w;
    sampler_.write(w);
    w.u64(batch_size_);
    w.sequence(buffer_, [](encoding::Writer& out, const std::string& s) { out.string(s); });
    return w.take();
}

StreamSampler StreamSampler::from_bytes(std::span<const std::uint8_t> data) {
    return encoding::decode(kName, data, [](encoding::Reader& r) {
        ReservoirSamplerA sampler = ReservoirSamplerA::read(r);
        const std::uint64_t batch_size = r.u64();
        // A zero batch would never leave the hand-over loop.
        if (batch_size == 0) codec::corrupt_data(std::string(kName) + " decode failed: " + kZeroBatch);
        StreamSampler stream(std::move(sampler), batch_size);
        const std::size_t buffered = r.length(kMinStringBytes);
        for (std::size_t i = 0; i < buffered; ++i) stream.buffer_.push_back(r.string());
        return stream;
    });
}

std::size_t StreamSampler::heap_bytes() const { return sampler_.heap_bytes() + heap_bytes_of(buffer_); }

}  // namespace quillo::sampling
