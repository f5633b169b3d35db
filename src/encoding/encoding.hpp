#pragma once
// The general self-delimiting encoding of a state record: LEB128 varints,
// zigzag signed integers, little-endian floats, length-prefixed strings and
// sequences, option and bool bytes, enumeration indices; fields in
// declaration order with nothing before or after them.
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_order.hpp"

namespace quillo::encoding {

using Bytes = std::vector<std::uint8_t>;

class Writer {
public:
    void u8(std::uint8_t v) { out_.push_back(v); }
    void i8(std::int8_t v) { out_.push_back(static_cast<std::uint8_t>(v)); }
    void u16(std::uint16_t v) { varint(v); }
    void u32(std::uint32_t v) { varint(v); }
    void u64(std::uint64_t v) { varint(v); }
    void size(std::size_t v) { varint(v); }
    void i16(std::int16_t v) { varint(zigzag(v)); }
    void i32(std::int32_t v) { varint(zigzag(v)); }
    void i64(std::int64_t v) { varint(zigzag(v)); }
    void f32(float v) { raw(v); }
    void f64(double v) { raw(v); }
    void boolean(bool v) { out_.push_back(v ? 1 : 0); }
    void string(std::string_view s) {
        size(s.size());
        out_.insert(out_.end(), s.begin(), s.end());
    }
    void variant(std::uint32_t index) { varint(index); }
    void raw_bytes(std::span<const std::uint8_t> run) { out_.insert(out_.end(), run.begin(), run.end()); }

    // Count, then each element written by `each(writer, element)`.
    template <class Range, class Each>
    void sequence(const Range& range, Each each) {
        size(std::size(range));
        for (const auto& element : range) each(*this, element);
    }

    template <class T, class Each>
    void option(const std::optional<T>& value, Each each) {
        if (!value) {
            u8(0);
            return;
        }
        u8(1);
        each(*this, *value);
    }

    Bytes take() { return std::move(out_); }

private:
    static std::uint64_t zigzag(std::int64_t n) {
        return (static_cast<std::uint64_t>(n) << 1) ^ static_cast<std::uint64_t>(n >> 63);
    }

    void varint(std::uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<std::uint8_t>(v) | 0x80);
            v >>= 7;
        }
        out_.push_back(static_cast<std::uint8_t>(v));
    }

    template <class T>
    void raw(T v) {
        std::uint8_t bytes[sizeof(T)];
        std::memcpy(bytes, &v, sizeof(T));  // little-endian host
        out_.insert(out_.end(), bytes, bytes + sizeof(T));
    }

    Bytes out_;
};

// A failure of the general decoder, carrying one of its fixed texts.
struct DecodeFailure {
    const char* text;
};

inline constexpr const char* kEndOfBuffer = "Hit the end of buffer, expected more data";
inline constexpr const char* kBadVarint =
    "Found a varint that didn't terminate. Is the usize too big for this platform?";
inline constexpr const char* kBadBool = "Found a bool that wasn't 0 or 1";
inline constexpr const char* kBadUtf8 = "Tried to parse invalid utf-8";
inline constexpr const char* kBadOption = "Found an Option discriminant that wasn't 0 or 1";
inline constexpr const char* kBadEnum = "Found an enum discriminant that was > u32::max_value()";
inline constexpr const char* kRejected = "Serde Deserialization Error";

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t remaining() const { return data_.size() - pos_; }

    std::uint8_t u8() { return take(1)[0]; }
    std::int8_t i8() { return static_cast<std::int8_t>(u8()); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(varint(16)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(varint(32)); }
    std::uint64_t u64() { return varint(64); }
    std::size_t size() { return varint(64); }
    std::int16_t i16() { return static_cast<std::int16_t>(unzigzag(varint(16))); }
    std::int32_t i32() { return static_cast<std::int32_t>(unzigzag(varint(32))); }
    std::int64_t i64() { return unzigzag(varint(64)); }
    float f32() { return raw<float>(); }
    double f64() { return raw<double>(); }

    bool boolean() {
        std::uint8_t b = u8();
        if (b > 1) throw DecodeFailure{kBadBool};
        return b == 1;
    }

    // Reads an option's discriminant: true when a value follows.
    bool option() {
        std::uint8_t b = u8();
        if (b > 1) throw DecodeFailure{kBadOption};
        return b == 1;
    }

    std::uint32_t variant() {
        std::uint64_t index = varint(64);
        if (index > std::numeric_limits<std::uint32_t>::max()) throw DecodeFailure{kBadEnum};
        return static_cast<std::uint32_t>(index);
    }

    std::string string();
    std::span<const std::uint8_t> raw_bytes(std::size_t n) { return take(n); }

    // A sequence's element count. Every element takes at least
    // `min_element_bytes` bytes, so a count the remaining input cannot hold
    // fails here as the end of the buffer, before anything is allocated.
    std::size_t length(std::size_t min_element_bytes) {
        std::size_t n = size();
        if (min_element_bytes > 0 && n > remaining() / min_element_bytes) throw DecodeFailure{kEndOfBuffer};
        return n;
    }

    template <class T, class Each>
    std::vector<T> sequence(std::size_t min_element_bytes, Each each) {
        std::size_t n = length(min_element_bytes);
        std::vector<T> out;
        out.reserve(n);
        for (std::size_t i = 0; i < n; ++i) out.push_back(each(*this));
        return out;
    }

    template <class T, class Each>
    std::optional<T> option(Each each) {
        if (!option()) return std::nullopt;
        return each(*this);
    }

    // A value that the record's own rules reject.
    [[noreturn]] static void reject() { throw DecodeFailure{kRejected}; }

private:
    std::span<const std::uint8_t> take(std::size_t n) {
        if (remaining() < n) throw DecodeFailure{kEndOfBuffer};
        auto run = data_.subspan(pos_, n);
        pos_ += n;
        return run;
    }

    static std::int64_t unzigzag(std::uint64_t v) {
        return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
    }

    std::uint64_t varint(unsigned width);

    template <class T>
    T raw() {
        T value;
        std::memcpy(&value, take(sizeof(T)).data(), sizeof(T));
        return value;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// Decodes a state record with `read(reader)`; a failure of the general decoder
// becomes the corrupt-data error "corrupt data: <name> decode failed: <text>".
// Bytes after the record are ignored.
[[noreturn]] void decode_failed(std::string_view name, const char* text);

template <class Read>
auto decode(std::string_view name, std::span<const std::uint8_t> data, Read read) {
    Reader reader(data);
    try {
        return read(reader);
    } catch (const DecodeFailure& failure) {
        decode_failed(name, failure.text);
    }
}

}  // namespace quillo::encoding
