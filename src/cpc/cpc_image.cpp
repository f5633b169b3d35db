#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "cpc/compression.hpp"
#include "cpc/cpc_sketch.hpp"

namespace quillo::cpc {

namespace {

constexpr std::uint8_t kSerialVersion = 2;
constexpr std::uint32_t kColumnMask = 63;
constexpr std::uint64_t kColumns = 64;

void write_words(codec::Output& out, const std::vector<std::uint32_t>& words) {
    out.u32(static_cast<std::uint32_t>(words.size()));
    out.run(std::span<const std::uint32_t>(words));
}

std::vector<std::uint32_t> read_words(codec::Cursor& cursor, std::uint32_t count) {
    const auto raw = cursor.read_bytes(std::size_t{count} * sizeof(std::uint32_t));
    std::vector<std::uint32_t> words(count);
    if (count != 0) std::memcpy(words.data(), raw.data(), raw.size());  // little-endian host
    return words;
}

struct Image {
    std::uint8_t lg_k;
    std::uint32_t coupon_count;
    std::uint8_t first_live_column;
    std::uint8_t window_offset;
    bool merged;
    double novelty_mass;
    double hip_estimate;
    std::vector<std::uint32_t> pair_words;
    std::uint32_t pair_count;
    std::vector<std::uint32_t> window_words;
};

Image read_image(std::span<const std::uint8_t> data) {
    codec::Cursor cursor(data);
    codec::read_preamble(cursor, codec::Family::cpc);
    Image image;
    image.lg_k = cursor.read_u8();
    image.coupon_count = cursor.read_u32();
    image.first_live_column = cursor.read_u8();
    image.window_offset = cursor.read_u8();
    image.merged = cursor.read_u8() != 0;
    image.novelty_mass = cursor.read_f64();
    image.hip_estimate = cursor.read_f64();
    const std::uint32_t pair_word_count = cursor.read_u32();
    image.pair_count = cursor.read_u32();
    image.pair_words = read_words(cursor, pair_word_count);
    image.window_words = read_words(cursor, cursor.read_u32());
    return image;
}

[[noreturn]] void reject(const std::string& text) { codec::corrupt_data("CpcSketch image " + text); }

// The running estimate adds k / novelty_mass for every new coupon, so the mass
// must stay within what the matrix can hold: at most k (nothing set) and at
// least 2^-64 for every bit still unset. Outside that range later updates would
// drive the estimate negative, infinite or NaN.
void check_estimator_fields(const Image& image, std::uint64_t k) {
    if (!std::isfinite(image.hip_estimate) || image.hip_estimate < 0.0) reject("has an impossible running estimate");
    const double least_mass = least_novelty_mass(k, image.coupon_count);
    if (!(image.novelty_mass >= least_mass && image.novelty_mass <= static_cast<double>(k))) {
        reject("has an impossible novelty mass");
    }
}

// Checks every field that decompression sizes, shifts or indexes with, so a
// damaged image fails here rather than deep inside the decoder.
void check_fields(const Image& image) {
    if (image.lg_k < kMinLgK || image.lg_k > kMaxLgK) {
        reject("has lg_k " + std::to_string(image.lg_k) + " outside 4..=26");
    }
    const std::uint64_t k = std::uint64_t{1} << image.lg_k;
    if (image.coupon_count > kColumns * k) reject("has more coupons than matrix bits");
    const Flavor flavor = flavor_for(image.coupon_count, image.lg_k);
    const bool windowed = flavor == Flavor::pinned || flavor == Flavor::sliding;
    if (image.window_offset != offset_for(image.coupon_count, image.lg_k)) {
        reject("has window offset " + std::to_string(image.window_offset) + " inconsistent with its coupon count");
    }
    if (image.first_live_column > image.window_offset) reject("has first live column beyond the window offset");
    check_estimator_fields(image, k);
    if (min_pair_stream_bits(image.pair_count, image.lg_k) > 32 * image.pair_words.size()) {
        reject("has more pairs than its stream holds");
    }
    if (windowed == image.window_words.empty()) reject("window stream does not match its coupon count");
    const bool all_pairs = flavor == Flavor::sparse || flavor == Flavor::hybrid;
    if ((all_pairs || flavor == Flavor::empty) && image.pair_count != image.coupon_count) {
        reject("pair count differs from its coupon count");
    }
}

std::uint64_t popcount(std::span<const std::uint8_t> window) {
    std::uint64_t count = 0;
    for (std::uint8_t byte : window) count += static_cast<std::uint64_t>(std::popcount(byte));
    return count;
}

// The number of matrix bits the decoded window and table describe.
std::uint64_t described_coupons(const DecompressedState& state, std::uint8_t offset, std::uint64_t k) {
    std::uint64_t count = popcount(state.window) + offset * (state.window.empty() ? 0 : k);
    for (std::uint32_t pair : state.table.slots()) {
        if (pair == kEmptySlot) continue;
        const std::uint32_t column = pair & kColumnMask;
        if (state.window.empty() || column >= offset + 8u) {
            ++count;
        } else if (column < offset) {
            --count;
        } else {
            reject("has a surprising pair inside the window");
        }
    }
    return count;
}

DecompressedState decompress_checked(const Image& image) {
    try {
        return decompress(image.lg_k, image.coupon_count, image.pair_words, image.pair_count, image.window_words);
    } catch (const Error& error) {
        if (error.kind() != Error::Kind::internal) throw;
        codec::corrupt_data("CpcSketch image stream is damaged: " + error.message());
    }
}

}  // namespace

std::vector<std::uint8_t> CpcSketch::to_bytes() const {
    const CompressedState compressed = compress(*this);
    codec::Output out;
    out.reserve(45 + 4 * (compressed.pair_words.size() + compressed.window_words.size()));
    codec::write_preamble(out, codec::Family::cpc, kSerialVersion, 0);
    out.u8(lg_k_);
    out.u32(coupon_count_);
    out.u8(first_live_column_);
    out.u8(window_offset_);
    out.u8(merged_ ? 1 : 0);
    out.f64(novelty_mass_);
    out.f64(hip_estimate_);
    out.u32(static_cast<std::uint32_t>(compressed.pair_words.size()));
    out.u32(compressed.pair_count);
    out.run(std::span<const std::uint32_t>(compressed.pair_words));
    write_words(out, compressed.window_words);
    return out.take();
}

CpcSketch CpcSketch::from_bytes(std::span<const std::uint8_t> data) {
    const Image image = read_image(data);
    check_fields(image);
    DecompressedState state = decompress_checked(image);
    const std::uint64_t k = std::uint64_t{1} << image.lg_k;
    if (described_coupons(state, image.window_offset, k) != image.coupon_count) {
        reject("streams disagree with its coupon count");
    }
    CpcSketch sketch(image.lg_k);
    sketch.window_ = std::move(state.window);
    sketch.table_.emplace(std::move(state.table));
    sketch.novelty_mass_ = image.novelty_mass;
    sketch.hip_estimate_ = image.hip_estimate;
    sketch.coupon_count_ = image.coupon_count;
    sketch.merged_ = image.merged;
    sketch.first_live_column_ = image.first_live_column;
    sketch.window_offset_ = image.window_offset;
    return sketch;
}

}  // namespace quillo::cpc
