// The KLL image: a 16-byte header of its own, then (unless empty) the level
// offsets, the retained values level by level, and the exact extremes.
// Decoding restores the stored levels as they are, so an image read back
// writes the same bytes, in time proportional to the image.
#include <algorithm>
#include <bit>
#include <limits>
#include <string>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "quantiles/kll_sketch.hpp"

namespace quillo::kll {
namespace {

constexpr std::uint8_t kPreambleInts = 2;
constexpr std::uint8_t kSerialVersion = 1;
constexpr std::uint8_t kFamily = 15;
constexpr std::uint8_t kEmptyFlag = 4;
constexpr std::size_t kHeaderSize = 16;
constexpr std::uint64_t kNarrowKLimit = 255;
constexpr std::size_t kMinLevels = 2;
constexpr std::uint64_t kAbsentExtremeBits = 0x7FF8000000000000ULL;
constexpr std::uint64_t kCountBlock = std::uint64_t{1} << 32;

struct Header {
    std::uint8_t narrow_k;
    std::uint8_t num_levels;
    std::uint8_t flags;
    std::uint32_t n32;
    std::uint32_t k32;
};

Header read_header(std::span<const std::uint8_t> data) {
    if (data.size() < kHeaderSize) codec::insufficient_data(kHeaderSize, data.size());
    codec::Cursor cursor(data);
    cursor.skip(1);  // preamble size: fixed by the version
    const std::uint8_t version = cursor.read_u8();
    if (version != kSerialVersion) codec::version_mismatch(kSerialVersion, version);
    const std::uint8_t family = cursor.read_u8();
    if (family != kFamily) codec::family_mismatch(kFamily, family);
    Header header{};
    header.narrow_k = cursor.read_u8();
    header.num_levels = cursor.read_u8();
    header.flags = cursor.read_u8();
    cursor.skip(2);
    header.n32 = cursor.read_u32();
    header.k32 = cursor.read_u32();
    const std::uint64_t expected = std::min<std::uint64_t>(header.k32, kNarrowKLimit);
    if (header.narrow_k != expected) {
        codec::corrupt_data("k_u8=" + std::to_string(header.narrow_k) +
                            " does not match k=" + std::to_string(header.k32));
    }
    return header;
}

// The count congruent to the stored low 32 bits that lies nearest to the
// weight the levels retain (ties go to the smaller count).
std::uint64_t restore_count(std::uint32_t n32, std::uint64_t weight) {
    constexpr std::uint64_t kHalfBlock = kCountBlock / 2;
    std::uint64_t count = (weight & ~(kCountBlock - 1)) | n32;
    if (count > weight) {
        if (count - weight >= kHalfBlock && count >= kCountBlock) count -= kCountBlock;
    } else if (weight - count > kHalfBlock && count <= std::numeric_limits<std::uint64_t>::max() - kCountBlock) {
        count += kCountBlock;
    }
    return count;
}

}  // namespace

struct KllImage {
    static std::vector<std::uint8_t> encode(const KllSketch& sketch);
    static KllSketch decode(std::span<const std::uint8_t> data);
    static KllSketch restore(std::span<const std::uint8_t> data, const Header& header, std::uint64_t k);
};

std::vector<std::uint8_t> KllImage::encode(const KllSketch& sketch) {
    codec::Output out;
    const std::size_t retained = sketch.retained();
    out.reserve(kHeaderSize + 4 * (sketch.levels_.size() + 1) + 8 * (retained + 2));
    out.u8(kPreambleInts);
    out.u8(kSerialVersion);
    out.u8(kFamily);
    out.u8(static_cast<std::uint8_t>(std::min(sketch.k_, kNarrowKLimit)));
    out.u8(static_cast<std::uint8_t>(sketch.levels_.size()));
    out.u8(sketch.n_ == 0 ? kEmptyFlag : 0);
    out.u8(0);
    out.u8(0);
    out.u32(static_cast<std::uint32_t>(sketch.n_));
    out.u32(static_cast<std::uint32_t>(sketch.k_));
    if (sketch.n_ == 0) return out.take();
    std::uint32_t offset = 0;
    for (const auto& level : sketch.levels_) {
        out.u32(offset);
        offset += static_cast<std::uint32_t>(level.values.size());
    }
    out.u32(offset);
    for (const auto& level : sketch.levels_) {
        out.run(std::span<const double>(level.values));
    }
    const double absent = std::bit_cast<double>(kAbsentExtremeBits);
    out.f64(sketch.min_value_.value_or(absent));
    out.f64(sketch.max_value_.value_or(absent));
    return out.take();
}

KllSketch KllImage::decode(std::span<const std::uint8_t> data) {
    const Header header = read_header(data);
    const std::uint64_t k = std::max<std::uint64_t>(header.k32, kMinK);
    if (header.flags & kEmptyFlag) return KllSketch(k);
    if (header.n32 != 0) return restore(data, header, k);
    // A zero low count marks an empty image, unless the levels hold a
    // sketch of an exact multiple of 2^32 values.
    try {
        return restore(data, header, k);
    } catch (const Error&) {
        return KllSketch(k);
    }
}

KllSketch KllImage::restore(std::span<const std::uint8_t> data, const Header& header, std::uint64_t k) {
    const std::size_t num_levels = header.num_levels;
    const std::size_t offsets_end = kHeaderSize + 4 * (num_levels + 1);
    if (data.size() < offsets_end) codec::insufficient_data(offsets_end, data.size());
    codec::Cursor cursor(data.subspan(kHeaderSize));
    std::vector<std::uint32_t> offsets(num_levels + 1);
    for (auto& offset : offsets) offset = cursor.read_u32();
    if (num_levels < kMinLevels) codec::corrupt_data("KllSketch image has fewer than 2 levels");
    if (offsets[0] != 0) codec::corrupt_data("KllSketch image level offsets must start at 0");
    if (!std::is_sorted(offsets.begin(), offsets.end())) codec::corrupt_data("KllSketch image level offsets decrease");

    const std::uint64_t total = offsets.back();
    const std::uint64_t values_end = offsets_end + 8 * total;
    if (data.size() < values_end) codec::insufficient_data(values_end, data.size());
    const std::uint64_t image_end = values_end + 16;
    if (data.size() < image_end) codec::insufficient_data(image_end, data.size());

    std::uint64_t weight = 0;
    for (std::size_t i = 0; i < num_levels; ++i) {
        const std::uint64_t count = offsets[i + 1] - offsets[i];
        std::uint64_t level_total;
        if (count != 0 && (i >= 64 || __builtin_mul_overflow(count, std::uint64_t{1} << i, &level_total) ||
                           __builtin_add_overflow(weight, level_total, &weight))) {
            codec::corrupt_data("KllSketch image holds more weight than a 64-bit count");
        }
    }
    const std::uint64_t n = restore_count(header.n32, weight);
    if (n == 0) return KllSketch(k);

    KllSketch sketch(k);
    while (sketch.levels_.size() < num_levels) sketch.add_level();
    for (std::size_t i = 0; i < num_levels; ++i) {
        auto& level = sketch.levels_[i];
        for (std::uint32_t j = offsets[i]; j < offsets[i + 1]; ++j) level.append(cursor.read_f64());
    }
    sketch.min_value_ = cursor.read_f64();
    sketch.max_value_ = cursor.read_f64();
    sketch.n_ = n;
    return sketch;
}

std::vector<std::uint8_t> KllSketch::to_bytes() const { return KllImage::encode(*this); }

KllSketch KllSketch::from_bytes(std::span<const std::uint8_t> data) { return KllImage::decode(data); }

}  // namespace quillo::kll
