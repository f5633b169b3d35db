// Checks of the shared core pieces that the Python surface reaches only
// partly: the general encoding's varint limits and failure texts, and the
// message float formatter. Prints "N passed, M failed" and exits non-zero on
// any failure.
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/format.hpp"
#include "encoding/encoding.hpp"

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

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

void varints() {
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
    check(b[0] == 0 && b[1] == 127 && b[2] == 0x80 && b[3] == 1, "minimal LEB128");
    Reader r(b);
    check(r.u64() == 0 && r.u64() == 127 && r.u64() == 128, "small varints round trip");
    check(r.u64() == std::numeric_limits<std::uint64_t>::max(), "u64 max round trips");
    check(r.i64() == -1 && r.i64() == std::numeric_limits<std::int64_t>::min(), "zigzag i64");
    check(r.i32() == -2 && r.u16() == 65535 && r.remaining() == 0, "zigzag i32, u16");

    const char* bad = quillo::encoding::kBadVarint;
    Bytes ten_bytes_two(9, 0xFF);
    ten_bytes_two.push_back(2);
    check(decode_error(ten_bytes_two, [](Reader& rd) { rd.u64(); }) == failure(bad), "u64 tenth byte 2");
    Bytes ten_bytes_one(9, 0xFF);
    ten_bytes_one.push_back(1);
    check(decode_error(ten_bytes_one, [](Reader& rd) { rd.u64(); }).empty(), "u64 tenth byte 1");
    check(decode_error({0xFF, 0xFF, 0xFF, 0xFF, 0x10}, [](Reader& rd) { rd.u32(); }) == failure(bad), "u32 wide");
    check(decode_error({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, [](Reader& rd) { rd.u32(); }).empty(), "u32 max");
    check(decode_error({0xFF, 0xFF, 0x04}, [](Reader& rd) { rd.u16(); }) == failure(bad), "u16 wide");
    check(decode_error({0x80, 0x80}, [](Reader& rd) { rd.u64(); }) == failure(quillo::encoding::kEndOfBuffer),
          "unterminated varint at the end");
}

void other_failures() {
    using namespace quillo::encoding;
    check(decode_error({2}, [](Reader& r) { r.boolean(); }) == failure(kBadBool), "bool 2");
    check(decode_error({2}, [](Reader& r) { r.option(); }) == failure(kBadOption), "option 2");
    check(decode_error({2, 0xC3, 0x28}, [](Reader& r) { r.string(); }) == failure(kBadUtf8), "bad utf-8");
    check(decode_error({3, 0xED, 0xA0, 0x80}, [](Reader& r) { r.string(); }) == failure(kBadUtf8), "surrogate");
    check(decode_error({0x80, 0x80, 0x80, 0x80, 0x10}, [](Reader& r) { r.variant(); }) == failure(kBadEnum),
          "enum index above u32");
    check(decode_error({0x7F, 1, 2}, [](Reader& r) { r.length(1); }) == failure(kEndOfBuffer),
          "count larger than the input");
    check(decode_error({}, [](Reader& r) { r.f64(); }) == failure(kEndOfBuffer), "empty input");
    check(decode_error({0}, [](Reader&) { Reader::reject(); }) == failure(kRejected), "rejected value");
}

void floats() {
    using quillo::format_float;
    check(format_float(1.0) == "1", "1.0 prints as 1");
    check(format_float(1.5) == "1.5", "1.5");
    check(format_float(0.0000001) == "0.0000001", "no exponent for small values");
    check(format_float(1e21) == "1000000000000000000000", "no exponent for large values");
    check(format_float(-0.25) == "-0.25", "negative");
    check(format_float(std::nan("")) == "NaN", "NaN");
    check(format_float(INFINITY) == "inf" && format_float(-INFINITY) == "-inf", "infinities");
    check(format_float(0.1) == "0.1", "shortest round trip");
    check(format_float(0.0) == "0" && format_float(-0.0) == "-0", "zeros");
    check(format_float(123.456) == "123.456" && format_float(-0.001) == "-0.001", "point inside and before");
    check(format_float(1e300) == "1" + std::string(300, '0'), "large values keep their shortest digits");
    check(format_float(1e23) == "1" + std::string(23, '0'), "1e23 is not its binary expansion");
    check(format_float(std::numeric_limits<double>::max()) == "17976931348623157" + std::string(292, '0'),
          "largest double");
    check(format_float(5e-324) == "0." + std::string(323, '0') + "5", "smallest subnormal");
    check(format_float(1.25e-5) == "0.0000125", "small value with several digits");
}

}  // namespace

int main() {
    varints();
    other_failures();
    floats();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
