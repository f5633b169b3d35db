#pragma once
// The "SK" preamble shared by the HLL, theta and CPC images, a cursor over the
// bytes being decoded, and the texts of every decoding failure in the module.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_order.hpp"
#include "common/error.hpp"

namespace quillo::codec {

enum class Family : std::uint8_t { hll = 1, theta = 2, kll = 3, bloom = 4, count_min = 5, cpc = 6 };

inline constexpr std::uint8_t kEmptyFlag = 4;
inline constexpr std::size_t kPreambleSize = 8;

std::string_view family_name(Family family);

// The decoding failures, each thrown as an Error whose message is the
// failure's fixed text.
[[noreturn]] void invalid_preamble(std::string_view text);
[[noreturn]] void family_mismatch(unsigned expected, unsigned found);
[[noreturn]] void version_mismatch(unsigned expected, unsigned found);
[[noreturn]] void insufficient_data(std::size_t needed, std::size_t have);
[[noreturn]] void corrupt_data(std::string_view text);

using Bytes = std::vector<std::uint8_t>;

// Reads fixed-width little-endian fields; running out of input is the
// insufficient-data failure with needed 0 and have 0, and leaves the position
// unchanged.
class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t remaining() const { return data_.size() - pos_; }

    std::uint8_t read_u8() { return *take(1).data(); }
    std::uint32_t read_u32() { return load<std::uint32_t>(); }
    std::uint64_t read_u64() { return load<std::uint64_t>(); }
    double read_f64() { return load<double>(); }
    std::span<const std::uint8_t> read_bytes(std::size_t n) { return take(n); }
    void skip(std::size_t n) { take(n); }

private:
    std::span<const std::uint8_t> take(std::size_t n) {
        if (remaining() < n) insufficient_data(0, 0);
        auto run = data_.subspan(pos_, n);
        pos_ += n;
        return run;
    }

    template <class T>
    T load() {
        T value;
        std::memcpy(&value, take(sizeof(T)).data(), sizeof(T));  // little-endian host
        return value;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// Appends fixed-width little-endian fields.
class Output {
public:
    void u8(std::uint8_t v) { bytes_.push_back(v); }
    void u32(std::uint32_t v) { store(v); }
    void u64(std::uint64_t v) { store(v); }
    void f64(double v) { store(v); }
    void bytes(std::span<const std::uint8_t> run) { bytes_.insert(bytes_.end(), run.begin(), run.end()); }
    // A run of fixed-width fields in one copy rather than one append per field.
    template <class T>
    void run(std::span<const T> fields) {
        const auto* raw = reinterpret_cast<const std::uint8_t*>(fields.data());
        bytes_.insert(bytes_.end(), raw, raw + fields.size_bytes());  // little-endian host
    }
    void reserve(std::size_t n) { bytes_.reserve(n); }
    Bytes take() { return std::move(bytes_); }

private:
    template <class T>
    void store(T v) {
        std::uint8_t raw[sizeof(T)];
        std::memcpy(raw, &v, sizeof(T));
        bytes_.insert(bytes_.end(), raw, raw + sizeof(T));
    }

    Bytes bytes_;
};

struct Preamble {
    Family family;
    std::uint8_t version;
    std::uint8_t flags;
};

// Writes "SK", family, version and flags; the caller adds the three
// family-specific bytes.
void write_preamble(Output& out, Family family, std::uint8_t version, std::uint8_t flags);

// Reads and checks magic, family, version and flags (the version is not checked).
Preamble read_preamble(Cursor& cursor, Family expected);

}  // namespace quillo::codec
