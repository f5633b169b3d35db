// Calibrates and checks the rank-error bounds of KllSketch and ReqSketch.
//
// The error of a query is |sketch rank - true rank| for a value of the
// stream, at 255 evenly spread true ranks per stream. Both sketches flip the
// same fixed coins, so a stream order and length give one sketch; the
// randomness across trials comes from the streams: lengths drawn
// log-uniformly, random permutations, and the adversarial orders below.
//
// Usage: calibrate_rank_error table              (prints src/quantiles/rank_error_table.cpp)
//        calibrate_rank_error [STREAMS [FAMILY]] (coverage, default 200 streams a row;
//                                                 FAMILY is kll or req)
// The table and the check draw their streams from different seeds.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "quantiles/kll_sketch.hpp"
#include "quantiles/rank_error.hpp"
#include "req/req_sketch.hpp"

namespace {

using quillo::kll::KllSketch;
using quillo::quantiles::kRankErrorConfidences;
using quillo::quantiles::kRankErrorPoints;
using quillo::req::ReqSketch;

constexpr std::uint64_t kTableSeed = 0x72616e6b6572ULL;
constexpr std::uint64_t kCheckSeed = 0x636f7665726167ULL;
constexpr std::uint64_t kTableStreams = 300;
constexpr std::size_t kQueries = 255;
constexpr std::uint64_t kDuplicateValues = 64;
// The fixed coins make the error differ between neighbouring k, so the grids
// hold a k off the powers of two (KLL's default among them).
constexpr std::array<std::uint64_t, 8> kKllKs = {8, 16, 32, 64, 128, 200, 256, 512};
constexpr std::array<std::uint64_t, 7> kReqKs = {8, 16, 32, 64, 100, 128, 256};
constexpr std::array<double, 3> kReportConfidences = {0.68, 0.95, 0.99};
// Stream lengths are k * 2^u with u uniform in a range. A KLL sketch's error
// settles once it has a few levels; the calibration uses those lengths, the
// check both those and the short streams that are exact or nearly so.
struct LengthRange {
    const char* name;
    double low;
    double high;
};
constexpr LengthRange kLong = {"long", 6.0, 12.0};
constexpr LengthRange kShort = {"short", -1.0, 6.0};
constexpr LengthRange kAll = {"all", -1.0, 12.0};

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double uniform(std::uint64_t& rng) { return static_cast<double>(splitmix64(rng) >> 11) * 0x1.0p-53; }

enum class Order { random, sorted, reversed, zigzag, organ_pipe, duplicates };
constexpr std::array<Order, 6> kOrders = {Order::random, Order::sorted,     Order::reversed,
                                          Order::zigzag, Order::organ_pipe, Order::duplicates};

const char* order_name(Order order) {
    switch (order) {
        case Order::random: return "random";
        case Order::sorted: return "sorted";
        case Order::reversed: return "reversed";
        case Order::zigzag: return "zig-zag";
        case Order::organ_pipe: return "organ pipe";
        case Order::duplicates: return "64 values, random";
    }
    return "";
}

// A stream with the values to query and their true (inclusive) ranks.
struct Stream {
    std::vector<double> values;
    std::vector<double> queries;
    std::vector<double> truths;
};

// The values 0 .. n-1 in the given order: ranks are known without a sort.
std::vector<double> permutation(Order order, std::uint64_t n, std::uint64_t& rng) {
    std::vector<double> v(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        switch (order) {
            case Order::reversed: v[i] = static_cast<double>(n - 1 - i); break;
            // Lowest, highest, second lowest, second highest, ...
            case Order::zigzag: v[i] = static_cast<double>(i % 2 == 0 ? i / 2 : n - 1 - i / 2); break;
            // Even values rising, then odd values falling.
            case Order::organ_pipe: {
                const std::uint64_t evens = (n + 1) / 2;
                v[i] = static_cast<double>(i < evens ? 2 * i : 2 * (n - 1 - i) + 1);
                break;
            }
            default: v[i] = static_cast<double>(i);
        }
    }
    if (order == Order::random) {
        for (std::uint64_t i = n - 1; i > 0; --i) std::swap(v[i], v[splitmix64(rng) % (i + 1)]);
    }
    return v;
}

Stream make_stream(Order order, std::uint64_t n, std::uint64_t& rng) {
    Stream s;
    if (order == Order::duplicates) {
        std::vector<std::uint64_t> counts(kDuplicateValues);
        s.values.resize(n);
        for (double& x : s.values) {
            const std::uint64_t value = splitmix64(rng) % kDuplicateValues;
            ++counts[value];
            x = static_cast<double>(value);
        }
        // Every value but the largest, whose rank is 1 in any sketch.
        std::uint64_t below = 0;
        for (std::uint64_t value = 0; value + 1 < kDuplicateValues; ++value) {
            below += counts[value];
            s.queries.push_back(static_cast<double>(value));
            s.truths.push_back(static_cast<double>(below) / static_cast<double>(n));
        }
        return s;
    }
    s.values = permutation(order, n, rng);
    for (std::size_t j = 1; j <= kQueries; ++j) {
        const auto value = static_cast<std::uint64_t>(static_cast<double>(j) / (kQueries + 1) * static_cast<double>(n));
        s.queries.push_back(static_cast<double>(value));
        s.truths.push_back(static_cast<double>(value + 1) / static_cast<double>(n));
    }
    return s;
}

std::uint64_t draw_length(std::uint64_t k, const LengthRange& range, std::uint64_t& rng) {
    const double u = range.low + (range.high - range.low) * uniform(rng);
    return std::max<std::uint64_t>(2, static_cast<std::uint64_t>(static_cast<double>(k) * std::exp2(u)));
}

// The three sketch kinds the tool drives, each able to say what it scales
// its bound by.
enum class Kind { kll, req_hra, req_lra };

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::kll: return "KllSketch";
        case Kind::req_hra: return "ReqSketch HRA";
        case Kind::req_lra: return "ReqSketch LRA";
    }
    return "";
}

// One query's outcome: its true rank, its error, and the sketch's scale and
// bounds at kReportConfidences.
struct Query {
    double truth;
    double error;
    double scale;
    std::array<double, kReportConfidences.size()> bounds;
};

template <class Sketch>
void measure(const Sketch& sketch, const Stream& s, double scale, std::vector<Query>& out) {
    const std::vector<double> ranks = sketch.ranks(s.queries);
    std::array<double, kReportConfidences.size()> bounds;
    for (std::size_t i = 0; i < bounds.size(); ++i) bounds[i] = sketch.rank_error(kReportConfidences[i]);
    for (std::size_t j = 0; j < ranks.size(); ++j) {
        out.push_back({s.truths[j], std::fabs(ranks[j] - s.truths[j]), scale, bounds});
    }
}

void run_stream(Kind kind, std::uint64_t k, const Stream& s, std::vector<Query>& out) {
    if (kind == Kind::kll) {
        KllSketch sketch(k);
        sketch.update_batch(s.values);
        measure(sketch, s, static_cast<double>(k), out);
        return;
    }
    ReqSketch sketch(k, kind == Kind::req_lra);
    for (double x : s.values) sketch.update(x);
    // An uncompacted sketch is exact and calibrates nothing.
    const double spread = sketch.rank_spread();
    if (spread > 0.0) measure(sketch, s, 1.0 / spread, out);
}

std::vector<Query> run_cell(Kind kind, std::uint64_t k, Order order, const LengthRange& range, std::uint64_t streams,
                            std::uint64_t& rng) {
    std::vector<Query> out;
    for (std::uint64_t t = 0; t < streams; ++t) {
        const Stream s = make_stream(order, draw_length(k, range, rng), rng);
        run_stream(kind, k, s, out);
    }
    return out;
}

double quantile_of(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, index == 0 ? 0 : index - 1)];
}

// The rank quarter a query falls in: the bound must hold in each, the
// accurate end of a REQ sketch included.
std::size_t quarter(double truth) { return std::min<std::size_t>(3, static_cast<std::size_t>(truth * 4.0)); }

using Quantiles = std::array<double, kRankErrorPoints>;

// The largest confidence quantile of scaled error over the rank quarters.
Quantiles worst_quarter_quantiles(const std::vector<Query>& queries) {
    std::array<std::vector<double>, 4> scaled;
    for (const Query& q : queries) scaled[quarter(q.truth)].push_back(q.error * q.scale);
    Quantiles worst{};
    for (const auto& errors : scaled) {
        for (std::size_t i = 0; i < kRankErrorPoints; ++i) {
            worst[i] = std::max(worst[i], quantile_of(errors, kRankErrorConfidences[i]));
        }
    }
    return worst;
}

void take_max(Quantiles& into, const Quantiles& from) {
    for (std::size_t i = 0; i < kRankErrorPoints; ++i) into[i] = std::max(into[i], from[i]);
}

void print_constants(const char* name, const Quantiles& constants) {
    std::printf("const RankErrorConstants %s = {\n    ", name);
    for (std::size_t i = 0; i < kRankErrorPoints; ++i) std::printf("%s%.4f", i ? ", " : "", constants[i]);
    std::printf("};\n");
}

// KLL: the quantiles of error * k per k (worst over orders and quarters),
// an exponent fitted to how the median confidence's quantile falls with k,
// and the constants that cover every k with it. REQ: the quantiles of error
// / rank_spread, worst over k, modes, orders and quarters.
void print_table() {
    std::uint64_t rng = kTableSeed;
    std::vector<Quantiles> kll_by_k;
    for (std::uint64_t k : kKllKs) {
        Quantiles worst{};
        for (Order order : kOrders) {
            take_max(worst, worst_quarter_quantiles(run_cell(Kind::kll, k, order, kLong, kTableStreams, rng)));
        }
        kll_by_k.push_back(worst);
    }
    // Least squares of log(q * k) on log k at the middle confidence.
    constexpr std::size_t kFitPoint = 4;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t j = 0; j < kKllKs.size(); ++j) {
        const double x = std::log(static_cast<double>(kKllKs[j]));
        const double y = std::log(kll_by_k[j][kFitPoint]);
        sx += x, sy += y, sxx += x * x, sxy += x * y;
    }
    const auto m = static_cast<double>(kKllKs.size());
    const double exponent = 1.0 - (m * sxy - sx * sy) / (m * sxx - sx * sx);
    Quantiles kll{};
    for (std::size_t j = 0; j < kKllKs.size(); ++j) {
        Quantiles scaled = kll_by_k[j];
        for (double& c : scaled) c *= std::pow(static_cast<double>(kKllKs[j]), exponent - 1.0);
        take_max(kll, scaled);
    }
    Quantiles req{};
    for (Kind kind : {Kind::req_hra, Kind::req_lra}) {
        for (std::uint64_t k : kReqKs) {
            for (Order order : kOrders) {
                take_max(req, worst_quarter_quantiles(run_cell(kind, k, order, kAll, kTableStreams, rng)));
            }
        }
    }
    std::printf("// Generated by tools/calibrate_rank_error.sh table (%llu streams a setting); do not edit.\n",
                static_cast<unsigned long long>(kTableStreams));
    std::printf("#include \"quantiles/rank_error.hpp\"\n\nnamespace quillo::quantiles {\n\n");
    std::printf("const double kKllRankErrorExponent = %.4f;\n", exponent);
    print_constants("kKllRankErrorConstants", kll);
    print_constants("kReqRankErrorConstants", req);
    std::printf("\n}  // namespace quillo::quantiles\n");
}

// ---- the check ----

double coverage(const std::vector<Query>& queries, std::size_t confidence, std::size_t only_quarter = 4) {
    std::uint64_t covered = 0, total = 0;
    for (const Query& q : queries) {
        if (only_quarter < 4 && quarter(q.truth) != only_quarter) continue;
        ++total;
        covered += q.error <= q.bounds[confidence];
    }
    return total == 0 ? 100.0 : 100.0 * static_cast<double>(covered) / static_cast<double>(total);
}

struct Coverage {
    std::array<double, kReportConfidences.size()> shares;
    double lowest_quarter;  // at 95%
};

// Share of queries within the bound at each reported confidence, then the
// lowest share of a rank quarter at 95%.
Coverage check_row(Kind kind, std::uint64_t k, Order order, const LengthRange& range, std::uint64_t streams,
                   std::uint64_t& rng) {
    const std::vector<Query> queries = run_cell(kind, k, order, range, streams, rng);
    Coverage c{};
    for (std::size_t i = 0; i < kReportConfidences.size(); ++i) c.shares[i] = coverage(queries, i);
    c.lowest_quarter = 100.0;
    for (std::size_t q = 0; q < 4; ++q) c.lowest_quarter = std::min(c.lowest_quarter, coverage(queries, 1, q));
    std::printf("| %-13s | %4llu | %-17s | %-5s |", kind_name(kind), static_cast<unsigned long long>(k),
                order_name(order), range.name);
    for (double share : c.shares) std::printf(" %5.1f |", share);
    std::printf(" %5.1f |\n", c.lowest_quarter);
    std::fflush(stdout);
    return c;
}

// Per class and k: random order, then the lowest over every order (and the
// lowest rank quarter at 95%), the calibrated lengths only.
struct SummaryRow {
    Kind kind;
    std::uint64_t k;
    Coverage random;
    Coverage lowest;
};

SummaryRow check_setting(Kind kind, std::uint64_t k, const LengthRange& range, std::uint64_t streams,
                         std::uint64_t& rng) {
    SummaryRow row{kind, k, {}, {}};
    row.lowest.shares.fill(100.0);
    row.lowest.lowest_quarter = 100.0;
    for (Order order : kOrders) {
        const Coverage c = check_row(kind, k, order, range, streams, rng);
        if (order == Order::random) row.random = c;
        for (std::size_t i = 0; i < c.shares.size(); ++i) {
            row.lowest.shares[i] = std::min(row.lowest.shares[i], c.shares[i]);
        }
        row.lowest.lowest_quarter = std::min(row.lowest.lowest_quarter, c.lowest_quarter);
    }
    return row;
}

void print_summary(const std::vector<SummaryRow>& rows) {
    std::printf(
        "\n| Class         |    k | random 68%% |  95%%  |  99%%  | any order 68%% |  95%%  |  99%%  |"
        " rank quarter 95%% |\n");
    std::printf(
        "|---------------|------|------------|-------|-------|---------------|-------|-------|"
        "------------------|\n");
    for (const SummaryRow& r : rows) {
        std::printf("| %-13s | %4llu | %10.1f | %5.1f | %5.1f | %13.1f | %5.1f | %5.1f | %16.1f |\n", kind_name(r.kind),
                    static_cast<unsigned long long>(r.k), r.random.shares[0], r.random.shares[1], r.random.shares[2],
                    r.lowest.shares[0], r.lowest.shares[1], r.lowest.shares[2], r.lowest.lowest_quarter);
    }
}

// How the error of a REQ sketch falls toward its accurate end: the 95%
// quantile of the error at ranks near it, over the bound at 95%.
void req_rank_profile(std::uint64_t streams, std::uint64_t& rng) {
    constexpr std::uint64_t k = 32;
    constexpr std::array<double, 6> kDistances = {0.5, 0.1, 0.01, 0.001, 0.0001, 0.00001};
    std::printf("\nReqSketch k=%llu HRA, random order, n = k * 2^u (u in 6..12): error / rank_error(0.95) at ranks\n",
                static_cast<unsigned long long>(k));
    std::array<std::vector<double>, kDistances.size()> ratios;
    for (std::uint64_t t = 0; t < streams; ++t) {
        const std::uint64_t n = draw_length(k, kLong, rng);
        const std::vector<double> values = permutation(Order::random, n, rng);
        ReqSketch sketch(k, false);
        for (double x : values) sketch.update(x);
        const double bound = sketch.rank_error(0.95);
        for (std::size_t i = 0; i < kDistances.size(); ++i) {
            const double value = std::floor((1.0 - kDistances[i]) * static_cast<double>(n));
            const double truth = (value + 1.0) / static_cast<double>(n);
            ratios[i].push_back(std::fabs(sketch.rank(value) - truth) / bound);
        }
    }
    for (std::size_t i = 0; i < kDistances.size(); ++i) {
        std::printf("  1 - %-8g 95%% quantile %.2f, largest %.2f\n", kDistances[i], quantile_of(ratios[i], 0.95),
                    quantile_of(ratios[i], 1.0));
    }
}

void check(std::uint64_t streams, const std::string& only) {
    std::uint64_t rng = kCheckSeed;
    std::printf(
        "| Class         |    k | Order             | n     |  68%%  |  95%%  |  99%%  | 95%% worst quarter |\n");
    std::printf("|---------------|------|-------------------|-------|-------|-------|-------|-------------------|\n");
    std::vector<SummaryRow> summary;
    if (only.empty() || only == "kll") {
        for (std::uint64_t k : kKllKs) {
            summary.push_back(check_setting(Kind::kll, k, kLong, streams, rng));
            check_row(Kind::kll, k, Order::random, kShort, streams, rng);
        }
    }
    if (only.empty() || only == "req") {
        for (Kind kind : {Kind::req_hra, Kind::req_lra}) {
            for (std::uint64_t k : kReqKs) summary.push_back(check_setting(kind, k, kAll, streams, rng));
        }
    }
    print_summary(summary);
    if (only.empty() || only == "req") req_rank_profile(streams * 5, rng);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "table") {
        print_table();
        return 0;
    }
    std::uint64_t streams = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
    if (streams == 0) streams = 1;
    check(streams, argc > 2 ? argv[2] : "");
}
