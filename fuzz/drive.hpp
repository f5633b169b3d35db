#pragma once
// The drive every decoder fuzz target shares. An input either is refused with
// the class's own error, or decodes to a state that
//   - writes an image that decodes again, to a state whose image repeats,
//   - survives every operation of the class: updates, merges with a fresh state
//     and with another decoded copy (both ways), and every query,
//   - and still round-trips after those operations.
// Anything else (a sanitizer report, an internal failure, an exception other
// than the core's error, a refused own image) aborts and is a finding.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace quillo::fuzz {

[[noreturn]] inline void finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

// Runs `op`, for which a refusal (the core's value error) is an ordinary outcome.
template <class F>
void tolerate(F op) {
    try {
        op();
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::internal) finding(e.what());
    }
}

// The hex digits of the input's first bytes: an item the fuzzer steers. Items
// are UTF-8 text, as the binding hands them over.
inline std::string steered_item(std::span<const std::uint8_t> data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string item;
    for (std::uint8_t byte : data.first(std::min<std::size_t>(data.size(), 12))) {
        item += kDigits[byte >> 4];
        item += kDigits[byte & 15];
    }
    return item;
}

// Items and values the operations feed: the edges, and the steered item.
// `weights` are the positive ones: a weight or rank out of range is a caller's
// fault that some classes report with the internal-failure error.
struct Feed {
    std::vector<std::string> items;
    std::vector<double> values;
    std::vector<double> weights;

    explicit Feed(std::span<const std::uint8_t> data)
        : items{"", "a", "item-1", "item-2", std::string(300, 'x'), steered_item(data)},
          values{0.0,
                 -1.5,
                 1e300,
                 -1e-300,
                 7.25,
                 std::numeric_limits<double>::infinity(),
                 -std::numeric_limits<double>::infinity(),
                 std::numeric_limits<double>::quiet_NaN()},
          weights{1e-300, 0.5, 7.25, 1e300, std::numeric_limits<double>::infinity()} {}
};

inline const std::vector<double> kRanks = {0.0, 1e-9, 0.25, 0.5, 0.99, 1.0};

template <class Sketch>
std::optional<Sketch> decode(std::span<const std::uint8_t> image) {
    try {
        return Sketch::from_bytes(image);
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::internal) finding(e.what());
        return std::nullopt;
    }
}

// The image of a decoded state must decode again, and the image of that
// second state must decode to the same bytes. Only the first re-encoding may
// differ: an image flagged empty decodes as a fresh state, dropping what an
// empty state does not carry (an HLL sketch's out-of-order mark, a theta
// sketch's theta). `canonical` is false for a class whose decoder rebuilds a
// hash table by insertion, whose table order, and with it the image, may then
// differ each time; there every image must decode.
template <class Sketch>
void check_round_trip(const Sketch& s, bool canonical) {
    const std::optional<Sketch> again = decode<Sketch>(s.to_bytes());
    if (!again) finding("a decoded state wrote an image its decoder refuses");
    const std::vector<std::uint8_t> image = again->to_bytes();
    const std::optional<Sketch> third = decode<Sketch>(image);
    if (!third) finding("a re-encoded image is refused");
    if (canonical && third->to_bytes() != image) finding("decoding an image and encoding it again changed the bytes");
}

// `exercise(state, decoded_copy, feed)` runs every operation of the class.
template <class Sketch, class Exercise>
int drive(const std::uint8_t* data, std::size_t size, Exercise exercise, bool canonical = true) {
    const std::span<const std::uint8_t> input(data, size);
    std::optional<Sketch> state = decode<Sketch>(input);
    if (!state) return 0;
    check_round_trip(*state, canonical);
    const Sketch copy = *decode<Sketch>(input);
    const Feed feed(input);
    exercise(*state, copy, feed);
    check_round_trip(*state, canonical);
    return 0;
}

}  // namespace quillo::fuzz

// Each target defines the one libFuzzer entry point with this.
#define QUILLO_FUZZ_TARGET(Sketch, canonical, ...) \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        return quillo::fuzz::drive<Sketch>(data, size, __VA_ARGS__, canonical); \
    }
