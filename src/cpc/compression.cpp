#include "cpc/compression.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string>

#include "common/error.hpp"
#include "cpc/generated_tables.hpp"

namespace quillo::cpc {

namespace {

constexpr unsigned kColumnBits = 6;
constexpr std::uint32_t kColumnMask = 63;
constexpr unsigned kPeekBits = 12;
constexpr std::size_t kDecodingEntries = std::size_t{1} << kPeekBits;
constexpr unsigned kCodeLengthShift = 12;
constexpr std::uint16_t kCodeValueMask = 0xFFF;
constexpr unsigned kUnaryBlock = 16;
constexpr unsigned kWindowPadding = 11;
constexpr unsigned kPairPaddingBase = 10;
constexpr unsigned kPermutedColumns = 56;
constexpr unsigned kCyclicPhases = 16;
constexpr unsigned kPinnedShift = 8;

// Column deltas 0 to 64.
constexpr std::array<std::uint16_t, 65> kColumnCodes = {
    0x1000 | 0,    0x2000 | 1,    0x3000 | 3,    0x4000 | 7,    0x5000 | 15,   0x7000 | 31,   0x8000 | 95,
    0x8000 | 223,  0xA000 | 63,   0xA000 | 575,  0xB000 | 319,  0xC000 | 1343, 0xC000 | 3391, 0xC000 | 831,
    0xC000 | 2879, 0xC000 | 1855, 0xC000 | 3903, 0xC000 | 191,  0xC000 | 2239, 0xC000 | 1215, 0xC000 | 3263,
    0xC000 | 703,  0xC000 | 2751, 0xC000 | 1727, 0xC000 | 3775, 0xC000 | 447,  0xC000 | 2495, 0xC000 | 1471,
    0xC000 | 3519, 0xC000 | 959,  0xC000 | 3007, 0xC000 | 1983, 0xC000 | 4031, 0xC000 | 127,  0xC000 | 2175,
    0xC000 | 1151, 0xC000 | 3199, 0xC000 | 639,  0xC000 | 2687, 0xC000 | 1663, 0xC000 | 3711, 0xC000 | 383,
    0xC000 | 2431, 0xC000 | 1407, 0xC000 | 3455, 0xC000 | 895,  0xC000 | 2943, 0xC000 | 1919, 0xC000 | 3967,
    0xC000 | 255,  0xC000 | 2303, 0xC000 | 1279, 0xC000 | 3327, 0xC000 | 767,  0xC000 | 2815, 0xC000 | 1791,
    0xC000 | 3839, 0xC000 | 511,  0xC000 | 2559, 0xC000 | 1535, 0xC000 | 3583, 0xC000 | 1023, 0xC000 | 3071,
    0xC000 | 2047, 0xC000 | 4095,
};

// Per cyclic phase, the columns moved to the end of the permutation; the
// others keep ascending order in front of them.
constexpr std::array<std::array<std::uint8_t, 4>, kCyclicPhases> kPermutationTails = {{
    {34, 14, 4, 0xFF},
    {35, 15, 4, 0xFF},
    {37, 16, 5, 0xFF},
    {39, 17, 5, 0xFF},
    {41, 18, 6, 0xFF},
    {43, 19, 6, 0xFF},
    {45, 20, 7, 0},
    {47, 21, 7, 0},
    {50, 22, 8, 0},
    {52, 23, 9, 1},
    {25, 9, 1, 0xFF},
    {26, 10, 1, 0xFF},
    {27, 11, 2, 0xFF},
    {29, 11, 2, 0xFF},
    {30, 12, 3, 0xFF},
    {32, 13, 3, 0xFF},
}};
constexpr std::uint8_t kNoTailEntry = 0xFF;

using Permutation = std::array<std::uint8_t, kPermutedColumns>;
using DecodingTable = std::array<std::uint16_t, kDecodingEntries>;

Permutation make_permutation(unsigned phase) {
    const auto& tail = kPermutationTails[phase];
    auto in_tail = [&](unsigned v) { return std::find(tail.begin(), tail.end(), v) != tail.end(); };
    Permutation permutation{};
    std::size_t at = 0;
    for (unsigned v = 0; v < kPermutedColumns; ++v) {
        if (!in_tail(v)) permutation[at++] = static_cast<std::uint8_t>(v);
    }
    for (std::uint8_t v : tail) {
        if (v != kNoTailEntry) permutation[at++] = v;
    }
    if (at != kPermutedColumns) panic("column permutation of phase " + std::to_string(phase) + " is incomplete");
    return permutation;
}

unsigned code_length(std::uint16_t code) { return code >> kCodeLengthShift; }
std::uint16_t code_value(std::uint16_t code) { return code & kCodeValueMask; }

// Entry i: the symbol whose code is a suffix of i (LSB first) and its length,
// as symbol | length << 8; 0 where no code matches.
DecodingTable make_decoding_table(std::span<const std::uint16_t> codes) {
    DecodingTable table{};
    for (std::size_t symbol = 0; symbol < codes.size(); ++symbol) {
        const unsigned length = code_length(codes[symbol]);
        const unsigned value = code_value(codes[symbol]);
        if (length == 0 || length > kPeekBits || (value >> length) != 0) panic("malformed code table entry");
        for (std::size_t high = 0; high < (kDecodingEntries >> length); ++high) {
            std::uint16_t& entry = table[(high << length) | value];
            if (entry != 0) panic("code table is not prefix-free");
            entry = static_cast<std::uint16_t>(symbol | (length << 8));
        }
    }
    return table;
}

struct DecodingTables {
    DecodingTable columns;
    std::array<DecodingTable, kPhaseCount> bytes;
    std::array<Permutation, kCyclicPhases> permutations;
    std::array<Permutation, kCyclicPhases> inverse_permutations;
};

DecodingTables build_decoding_tables() {
    DecodingTables tables;
    tables.columns = make_decoding_table(kColumnCodes);
    for (std::size_t phase = 0; phase < kPhaseCount; ++phase)
        tables.bytes[phase] = make_decoding_table(kByteCodes[phase]);
    for (unsigned phase = 0; phase < kCyclicPhases; ++phase) {
        const Permutation forward = make_permutation(phase);
        Permutation inverse{};
        for (unsigned i = 0; i < kPermutedColumns; ++i) inverse[forward[i]] = static_cast<std::uint8_t>(i);
        for (unsigned i = 0; i < kPermutedColumns; ++i) {
            if (forward[inverse[i]] != i) panic("column permutation is not invertible");
        }
        tables.permutations[phase] = forward;
        tables.inverse_permutations[phase] = inverse;
    }
    return tables;
}

// Built once on first use; the initialisation of a function-local static is
// thread-safe.
const DecodingTables& decoding_tables() {
    static const DecodingTables tables = build_decoding_tables();
    return tables;
}

class BitWriter {
public:
    explicit BitWriter(std::size_t reserve_words) { words_.reserve(reserve_words); }

    void put(std::uint64_t value, unsigned length) {
        buffer_ |= value << bits_;
        bits_ += length;
        if (bits_ >= 32) flush_word();
    }

    void put_code(std::uint16_t code) { put(code_value(code), code_length(code)); }

    std::vector<std::uint32_t> finish(unsigned padding) {
        bits_ += padding;
        while (bits_ >= 32) flush_word();
        if (bits_ > 0) words_.push_back(static_cast<std::uint32_t>(buffer_));
        return std::move(words_);
    }

private:
    void flush_word() {
        words_.push_back(static_cast<std::uint32_t>(buffer_));
        buffer_ >>= 32;
        bits_ -= 32;
    }

    std::vector<std::uint32_t> words_;
    std::uint64_t buffer_ = 0;
    unsigned bits_ = 0;
};

[[noreturn]] void stream_ended() { panic("compressed stream ended early"); }

// Bits missing at the end of the stream read as zeros in a peek, but
// consuming them is an error, so a damaged stream can never be read past.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint32_t> words) : words_(words) {}

    unsigned peek12() {
        refill(kPeekBits);
        return static_cast<unsigned>(buffer_ & (kDecodingEntries - 1));
    }

    void consume(unsigned n) {
        if (n > bits_) stream_ended();
        buffer_ >>= n;
        bits_ -= n;
    }

    std::uint64_t read(unsigned n) {
        refill(n);
        if (n > bits_) stream_ended();
        const std::uint64_t value = buffer_ & ((std::uint64_t{1} << n) - 1);
        consume(n);
        return value;
    }

    // The symbol of the next code in `table`.
    unsigned decode(const DecodingTable& table) {
        const std::uint16_t entry = table[peek12()];
        const unsigned length = entry >> 8;
        if (length == 0) panic("invalid code in compressed stream");
        consume(length);
        return entry & 0xFF;
    }

    // The number of zero bits before the next one bit (which is consumed);
    // fails once the count exceeds `limit`.
    std::uint64_t unary(std::uint64_t limit) {
        std::uint64_t zeros = 0;
        for (;;) {
            refill(kPeekBits);
            if (bits_ == 0) stream_ended();
            const std::uint64_t available = buffer_ & ((std::uint64_t{1} << bits_) - 1);
            const unsigned run = available == 0 ? bits_ : static_cast<unsigned>(std::countr_zero(available));
            zeros += run;
            if (zeros > limit) panic("row delta is too large in compressed stream");
            if (available != 0) {
                consume(run + 1);
                return zeros;
            }
            consume(run);
        }
    }

private:
    void refill(unsigned want) {
        while (bits_ < want && next_ < words_.size()) {
            buffer_ |= std::uint64_t{words_[next_++]} << bits_;
            bits_ += 32;
        }
    }

    std::span<const std::uint32_t> words_;
    std::size_t next_ = 0;
    std::uint64_t buffer_ = 0;
    unsigned bits_ = 0;
};

unsigned base_bits(std::uint64_t pair_count, std::uint64_t k) {
    const std::uint64_t q = ((k + pair_count) - pair_count) / pair_count;
    return q >= 1 ? static_cast<unsigned>(std::bit_width(q) - 1) : 0;
}

unsigned pair_padding(unsigned base) { return base < kPairPaddingBase ? kPairPaddingBase - base : 0; }

std::uint32_t row_of(std::uint32_t pair) { return pair >> kColumnBits; }
std::uint32_t column_of(std::uint32_t pair) { return pair & kColumnMask; }
std::uint32_t make_pair(std::uint32_t row, std::uint32_t column) { return (row << kColumnBits) | column; }

std::vector<std::uint32_t> encode_pairs(std::span<const std::uint32_t> pairs, std::uint64_t k) {
    const std::uint64_t n = pairs.size();
    const unsigned base = base_bits(n, k);
    BitWriter writer((pair_padding(base) + (k >> base) + (base + 13) * n + 31) / 32);
    std::uint32_t predicted_row = 0;
    std::uint32_t predicted_column = 0;
    for (std::uint32_t pair : pairs) {
        const std::uint32_t row = row_of(pair);
        const std::uint32_t column = column_of(pair);
        if (row != predicted_row) predicted_column = 0;
        if (row < predicted_row) panic("assertion failed: row_index >= predicted_row_index");
        if (column < predicted_column) panic("assertion failed: col_index >= predicted_col_index");
        writer.put_code(kColumnCodes[column - predicted_column]);
        std::uint64_t high = (row - predicted_row) >> base;
        for (; high >= kUnaryBlock; high -= kUnaryBlock) writer.put(0, kUnaryBlock);
        writer.put(std::uint64_t{1} << high, static_cast<unsigned>(high) + 1);
        writer.put((row - predicted_row) & ((std::uint64_t{1} << base) - 1), base);
        predicted_row = row;
        predicted_column = column + 1;
    }
    return writer.finish(pair_padding(base));
}

std::vector<std::uint32_t> decode_pairs(std::span<const std::uint32_t> words, std::uint32_t count, std::uint64_t k) {
    if (count == 0) return {};
    const DecodingTables& tables = decoding_tables();
    const unsigned base = base_bits(count, k);
    BitReader reader(words);
    std::vector<std::uint32_t> pairs;
    pairs.reserve(count);
    std::uint64_t row = 0;
    std::uint64_t column = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned column_delta = reader.decode(tables.columns);
        const std::uint64_t high = reader.unary(k >> base);
        const std::uint64_t row_delta = (high << base) | reader.read(base);
        if (row_delta != 0) column = 0;
        row += row_delta;
        column += column_delta;
        if (row >= k || column > kColumnMask) panic("pair out of range in compressed stream");
        pairs.push_back(make_pair(static_cast<std::uint32_t>(row), static_cast<std::uint32_t>(column)));
        ++column;
    }
    return pairs;
}

std::vector<std::uint32_t> encode_window(std::span<const std::uint8_t> window, unsigned phase) {
    BitWriter writer((12 * window.size() + kWindowPadding) / 32 + 1);
    for (std::uint8_t byte : window) writer.put_code(kByteCodes[phase][byte]);
    return writer.finish(kWindowPadding);
}

std::vector<std::uint8_t> decode_window(std::span<const std::uint32_t> words, std::uint64_t k, unsigned phase) {
    // Every row code is at least one bit long.
    if (words.size() * 32 < k) stream_ended();
    const DecodingTable& table = decoding_tables().bytes[phase];
    BitReader reader(words);
    std::vector<std::uint8_t> window(k);
    for (std::uint8_t& byte : window) byte = static_cast<std::uint8_t>(reader.decode(table));
    return window;
}

std::vector<std::uint32_t> hybrid_pairs(const CpcSketch& sketch) {
    std::vector<std::uint32_t> pairs = sketch.table().sorted_pairs();
    const auto window = sketch.window();
    for (std::uint32_t row = 0; row < window.size(); ++row) {
        for (unsigned bits = window[row]; bits != 0; bits &= bits - 1) {
            pairs.push_back(make_pair(row, static_cast<std::uint32_t>(std::countr_zero(bits))));
        }
    }
    std::sort(pairs.begin(), pairs.end());
    if (pairs.size() != sketch.coupon_count()) panic("hybrid pair count differs from the coupon count");
    return pairs;
}

std::vector<std::uint32_t> pinned_pairs(const CpcSketch& sketch) {
    std::vector<std::uint32_t> pairs = sketch.table().sorted_pairs();
    for (std::uint32_t& pair : pairs) {
        if (column_of(pair) < kPinnedShift) panic("pair column index is less than 8: " + std::to_string(pair));
        pair -= kPinnedShift;
    }
    return pairs;
}

std::vector<std::uint32_t> sliding_pairs(const CpcSketch& sketch, unsigned phase) {
    const Permutation& permutation = decoding_tables().permutations[phase];
    const unsigned rotation = kPermutedColumns - sketch.window_offset();
    std::vector<std::uint32_t> pairs = sketch.table().sorted_pairs();
    for (std::uint32_t& pair : pairs) {
        const std::uint32_t rotated = (column_of(pair) + rotation) & kColumnMask;
        if (rotated >= kPermutedColumns) panic("pair column index is invalid: " + std::to_string(pair));
        pair = make_pair(row_of(pair), permutation[rotated]);
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

void set_pair_stream(CompressedState& state, std::span<const std::uint32_t> pairs, std::uint64_t k) {
    if (pairs.empty()) return;
    state.pair_words = encode_pairs(pairs, k);
    state.pair_count = static_cast<std::uint32_t>(pairs.size());
}

}  // namespace

std::uint64_t min_pair_stream_bits(std::uint64_t pair_count, std::uint8_t lg_k) {
    if (pair_count == 0) return 0;
    return pair_count * (2 + base_bits(pair_count, std::uint64_t{1} << lg_k));
}

unsigned phase_for(std::uint64_t c, std::uint8_t lg_k) {
    const std::uint64_t k = std::uint64_t{1} << lg_k;
    if (1000 * c >= 2375 * k) return (c >> (lg_k - 4)) & 15;
    if (4 * c < 3 * k) return 16;
    if (10 * c < 11 * k) return 17;
    if (100 * c < 132 * k) return 18;
    if (3 * c < 5 * k) return 19;
    if (1000 * c < 1965 * k) return 20;
    if (1000 * c < 2275 * k) return 21;
    return 6;
}

CompressedState compress(const CpcSketch& sketch) {
    CompressedState state;
    const std::uint64_t k = std::uint64_t{1} << sketch.lg_k();
    const unsigned phase = phase_for(sketch.coupon_count(), sketch.lg_k());
    switch (sketch.flavor()) {
        case Flavor::empty: break;
        case Flavor::sparse: set_pair_stream(state, sketch.table().sorted_pairs(), k); break;
        case Flavor::hybrid: set_pair_stream(state, hybrid_pairs(sketch), k); break;
        case Flavor::pinned:
            state.window_words = encode_window(sketch.window(), phase);
            set_pair_stream(state, pinned_pairs(sketch), k);
            break;
        case Flavor::sliding:
            state.window_words = encode_window(sketch.window(), phase);
            set_pair_stream(state, sliding_pairs(sketch, phase), k);
            break;
    }
    return state;
}

DecompressedState decompress(std::uint8_t lg_k, std::uint32_t coupon_count, std::span<const std::uint32_t> pair_words,
                             std::uint32_t pair_count, std::span<const std::uint32_t> window_words) {
    DecompressedState state{{}, PairTable(lg_k)};
    const Flavor flavor = flavor_for(coupon_count, lg_k);
    if (flavor == Flavor::empty) return state;
    const std::uint64_t k = std::uint64_t{1} << lg_k;
    const unsigned phase = phase_for(coupon_count, lg_k);
    if (flavor == Flavor::pinned || flavor == Flavor::sliding) state.window = decode_window(window_words, k, phase);
    std::vector<std::uint32_t> pairs = decode_pairs(pair_words, pair_count, k);
    if (flavor == Flavor::hybrid) {
        state.window.assign(k, 0);
        for (std::uint32_t pair : pairs) {
            if (column_of(pair) < kWindowWidth) {
                state.window[row_of(pair)] |= static_cast<std::uint8_t>(1u << column_of(pair));
            } else {
                state.table.insert(pair);
            }
        }
        return state;
    }
    if (flavor == Flavor::pinned) {
        for (std::uint32_t& pair : pairs) {
            if (column_of(pair) >= kPermutedColumns) panic("pair column index is invalid: " + std::to_string(pair));
            pair += kPinnedShift;
        }
    } else if (flavor == Flavor::sliding) {
        const std::uint8_t offset = offset_for(coupon_count, lg_k);
        const Permutation& inverse = decoding_tables().inverse_permutations[phase];
        for (std::uint32_t& pair : pairs) {
            if (column_of(pair) >= kPermutedColumns) panic("pair column index is invalid: " + std::to_string(pair));
            pair = make_pair(row_of(pair), (inverse[column_of(pair)] + offset + kWindowWidth) & kColumnMask);
        }
    }
    for (std::uint32_t pair : pairs) state.table.insert(pair);
    return state;
}

}  // namespace quillo::cpc
