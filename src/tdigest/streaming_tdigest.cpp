#include "tdigest/streaming_tdigest.hpp"

#include <algorithm>
#include <cmath>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "quantiles/compactor_support.hpp"

namespace quillo::tdigest {
namespace {

constexpr std::uint64_t kBytesPerSlot = 8;
constexpr std::size_t kValueBytes = 8;

bool any_nan(const std::vector<double>& values) {
    return std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); });
}

}  // namespace

StreamingTDigest::StreamingTDigest(std::uint64_t compression, std::uint64_t buffer_size)
    : inner_(compression), buffer_size_(buffer_size) {
    buffer_.reserve(buffer_size);
}

StreamingTDigest::StreamingTDigest(TDigest inner, std::vector<double> buffer, std::uint64_t buffer_size)
    : inner_(std::move(inner)), buffer_(std::move(buffer)), buffer_size_(buffer_size) {}

StreamingTDigest StreamingTDigest::create(std::optional<std::uint64_t> compression,
                                          std::optional<std::uint64_t> buffer_size) {
    return StreamingTDigest(compression.value_or(kDefaultCompression), buffer_size.value_or(kDefaultBufferSize));
}

// A NaN would make every later flush of its batch fail, so it never enters
// the buffer.
void StreamingTDigest::add(double value) {
    if (std::isnan(value)) fail("StreamingTDigest cannot add NaN");
    buffer_.push_back(value);
    if (buffer_.size() >= buffer_size_) flush();
}

void StreamingTDigest::flush() {
    if (buffer_.empty()) return;
    inner_.add_batch(buffer_);
    buffer_.clear();
}

std::optional<double> StreamingTDigest::quantile(double q) {
    flush();
    return inner_.quantile(q);
}

std::optional<double> StreamingTDigest::median() {
    flush();
    return inner_.median();
}

std::optional<double> StreamingTDigest::p95() {
    flush();
    return inner_.p95();
}

std::optional<double> StreamingTDigest::p99() {
    flush();
    return inner_.p99();
}

Stats StreamingTDigest::statistics() {
    flush();
    const std::uint64_t memory =
        saturating_add(inner_.memory_usage(), saturating_mul(buffer_.capacity(), kBytesPerSlot));
    Stats stats;
    stats.add("count", inner_.count())
        .add("compression", inner_.compression())
        .add("min_value", inner_.min())
        .add("max_value", inner_.max())
        .add("memory_usage", memory);
    return stats;
}

std::vector<std::uint8_t> StreamingTDigest::to_bytes() const {
    encoding::Writer w;
    inner_.write(w);
    w.sequence(buffer_, [](encoding::Writer& out, double v) { out.f64(v); });
    w.u64(buffer_size_);
    return w.take();
}

StreamingTDigest StreamingTDigest::from_bytes(std::span<const std::uint8_t> data) {
    StreamingTDigest decoded = encoding::decode("StreamingTDigest", data, [](encoding::Reader& r) {
        TDigest inner = TDigest::read(r);
        std::vector<double> buffer = r.sequence<double>(kValueBytes, [](encoding::Reader& in) { return in.f64(); });
        return StreamingTDigest(std::move(inner), std::move(buffer), r.u64());
    });
    decoded.inner_.check_decoded("StreamingTDigest");
    if (any_nan(decoded.buffer_)) codec::corrupt_data("StreamingTDigest decode failed: buffer holds NaN");
    return decoded;
}

std::size_t StreamingTDigest::heap_bytes() const { return inner_.heap_bytes() + heap_bytes_of(buffer_); }

}  // namespace quillo::tdigest
