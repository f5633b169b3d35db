// Checks of the shared core pieces that the Python surface reaches only
// partly: the general encoding's varint limits and failure texts, and the
// message float formatter.
#include <doctest/doctest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "common/error.hpp"
#include "common/format.hpp"
#include "encoding/encoding.hpp"

namespace {

using quillo::encoding::Bytes;
using quillo::encoding::Reader;
using quillo::encoding::Writer;

std::string decode_error(const Bytes& data, const std::function<void(Reader&)>& read) {
    try {
        quillo::encoding::decode("Thing", data, [&](Reader& r) {
            read(r);
            return 0;
        });
    } catch (const quillo::Error& e) {
        return e.message();
    }
    return "";
}

std::string failure(const char* text) { return std::string("corrupt data: Thing decode failed: ") + text; }

TEST_CASE("varints are minimal LEB128 and round trip") {
    Writer w;
    w.u64(0);
    w.u64(127);
    w.u64(128);
    w.u64(std::numeric_limits<std::uint64_t>::max());
    w.i64(-1);
    w.i64(std::numeric_limits<std::int64_t>::min());
    w.i32(-2);
    w.u16(65535);
    Bytes b = w.take();
    CHECK(b[0] == 0);
    CHECK(b[1] == 127);
    CHECK(b[2] == 0x80);
    CHECK(b[3] == 1);
    Reader r(b);
    CHECK(r.u64() == 0);
    CHECK(r.u64() == 127);
    CHECK(r.u64() == 128);
    CHECK(r.u64() == std::numeric_limits<std::uint64_t>::max());
    CHECK(r.i64() == -1);
    CHECK(r.i64() == std::numeric_limits<std::int64_t>::min());
    CHECK(r.i32() == -2);
    CHECK(r.u16() == 65535);
    CHECK(r.remaining() == 0);
}

TEST_CASE("varints too wide for their type are refused, the widest valid ones read") {
    const std::string bad = failure(quillo::encoding::kBadVarint);
    Bytes ten_bytes_two(9, 0xFF);
    ten_bytes_two.push_back(2);
    CHECK(decode_error(ten_bytes_two, [](Reader& rd) { rd.u64(); }) == bad);
    Bytes ten_bytes_one(9, 0xFF);
    ten_bytes_one.push_back(1);
    CHECK(decode_error(ten_bytes_one, [](Reader& rd) { rd.u64(); }) == "");
    CHECK(decode_error({0xFF, 0xFF, 0xFF, 0xFF, 0x10}, [](Reader& rd) { rd.u32(); }) == bad);
    CHECK(decode_error({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, [](Reader& rd) { rd.u32(); }) == "");
    CHECK(decode_error({0xFF, 0xFF, 0x04}, [](Reader& rd) { rd.u16(); }) == bad);
    // An unterminated varint runs into the end of the input.
    CHECK(decode_error({0x80, 0x80}, [](Reader& rd) { rd.u64(); }) == failure(quillo::encoding::kEndOfBuffer));
}

TEST_CASE("decode failures name their cause") {
    using namespace quillo::encoding;
    CHECK(decode_error({2}, [](Reader& r) { r.boolean(); }) == failure(kBadBool));
    CHECK(decode_error({2}, [](Reader& r) { r.option(); }) == failure(kBadOption));
    CHECK(decode_error({2, 0xC3, 0x28}, [](Reader& r) { r.string(); }) == failure(kBadUtf8));
    CHECK(decode_error({3, 0xED, 0xA0, 0x80}, [](Reader& r) { r.string(); }) == failure(kBadUtf8));  // a surrogate
    CHECK(decode_error({0x80, 0x80, 0x80, 0x80, 0x10}, [](Reader& r) { r.variant(); }) == failure(kBadEnum));
    CHECK(decode_error({0x7F, 1, 2}, [](Reader& r) { r.length(1); }) == failure(kEndOfBuffer));
    CHECK(decode_error({}, [](Reader& r) { r.f64(); }) == failure(kEndOfBuffer));
    CHECK(decode_error({0}, [](Reader&) { Reader::reject(); }) == failure(kRejected));
}

TEST_CASE("format_float writes the shortest round-trip digits in plain decimal notation") {
    using quillo::format_float;
    SUBCASE("integers, fractions and signs") {
        CHECK(format_float(1.0) == "1");
        CHECK(format_float(1.5) == "1.5");
        CHECK(format_float(-0.25) == "-0.25");
        CHECK(format_float(0.1) == "0.1");
        CHECK(format_float(123.456) == "123.456");
        CHECK(format_float(-0.001) == "-0.001");
    }
    SUBCASE("NaN, infinities and signed zeros") {
        CHECK(format_float(std::nan("")) == "NaN");
        CHECK(format_float(INFINITY) == "inf");
        CHECK(format_float(-INFINITY) == "-inf");
        CHECK(format_float(0.0) == "0");
        CHECK(format_float(-0.0) == "-0");
    }
    SUBCASE("no exponent for small or large values") {
        CHECK(format_float(0.0000001) == "0.0000001");
        CHECK(format_float(1.25e-5) == "0.0000125");
        CHECK(format_float(1e21) == "1000000000000000000000");
        CHECK(format_float(1e300) == "1" + std::string(300, '0'));
        // 1e23 is not its binary expansion.
        CHECK(format_float(1e23) == "1" + std::string(23, '0'));
        CHECK(format_float(std::numeric_limits<double>::max()) == "17976931348623157" + std::string(292, '0'));
        CHECK(format_float(5e-324) == "0." + std::string(323, '0') + "5");
    }
}

}  // namespace
