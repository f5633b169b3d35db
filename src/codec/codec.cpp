#include "codec/codec.hpp"

namespace quillo::codec {

namespace {
constexpr std::uint8_t kMagic[2] = {0x53, 0x4B};
constexpr std::uint8_t kFirstFamily = 1;
constexpr std::uint8_t kLastFamily = 6;
}  // namespace

std::string_view family_name(Family family) {
    switch (family) {
        case Family::hll: return "Hll";
        case Family::theta: return "Theta";
        case Family::kll: return "Kll";
        case Family::bloom: return "Bloom";
        case Family::count_min: return "CountMin";
        case Family::cpc: return "Cpc";
    }
    return "?";
}

void invalid_preamble(std::string_view text) { fail("invalid preamble: " + std::string(text)); }

void family_mismatch(unsigned expected, unsigned found) {
    fail("family mismatch: expected " + std::to_string(expected) + ", found " + std::to_string(found));
}

void version_mismatch(unsigned expected, unsigned found) {
    fail("version mismatch: expected " + std::to_string(expected) + ", found " + std::to_string(found));
}

void insufficient_data(std::size_t needed, std::size_t have) {
    fail("insufficient data: needed " + std::to_string(needed) + " bytes, have " + std::to_string(have));
}

void corrupt_data(std::string_view text) { fail("corrupt data: " + std::string(text)); }

void write_preamble(Output& out, Family family, std::uint8_t version, std::uint8_t flags) {
    out.u8(kMagic[0]);
    out.u8(kMagic[1]);
    out.u8(static_cast<std::uint8_t>(family));
    out.u8(version);
    out.u8(flags);
}

Preamble read_preamble(Cursor& cursor, Family expected) {
    auto magic = cursor.read_bytes(2);
    if (magic[0] != kMagic[0] || magic[1] != kMagic[1]) invalid_preamble("bad magic bytes");
    std::uint8_t family = cursor.read_u8();
    if (family < kFirstFamily || family > kLastFamily) {
        corrupt_data("unknown sketch family byte: " + std::to_string(family));
    }
    std::uint8_t version = cursor.read_u8();
    std::uint8_t flags = cursor.read_u8();
    auto found = static_cast<Family>(family);
    if (found != expected) {
        corrupt_data("wrong sketch family: expected " + std::string(family_name(expected)) + ", found " +
                     std::string(family_name(found)));
    }
    return {found, version, flags};
}

}  // namespace quillo::codec
