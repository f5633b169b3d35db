#include "encoding/encoding.hpp"

#include "codec/codec.hpp"

namespace quillo::encoding {

namespace {

bool valid_utf8(std::span<const std::uint8_t> s) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t min;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

std::uint64_t Reader::varint(unsigned width) {
    const unsigned max_bytes = (width + 6) / 7;
    std::uint64_t value = 0;
    for (unsigned i = 0; i < max_bytes; ++i) {
        std::uint8_t byte = u8();
        unsigned shift = 7 * i;
        if (i + 1 == max_bytes) {
            // The last permitted byte may only carry the bits left in the width.
            if (byte >> (width - shift) != 0) throw DecodeFailure{kBadVarint};
            return value | (static_cast<std::uint64_t>(byte) << shift);
        }
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return value;
    }
    throw DecodeFailure{kBadVarint};
}

std::string Reader::string() {
    std::size_t n = length(1);
    auto bytes = take(n);
    if (!valid_utf8(bytes)) throw DecodeFailure{kBadUtf8};
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void decode_failed(std::string_view name, const char* text) {
    codec::corrupt_data(std::string(name) + " decode failed: " + text);
}

}  // namespace quillo::encoding
