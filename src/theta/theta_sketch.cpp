#include "theta/theta_sketch.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/memory.hpp"
#include "hash/hash.hpp"
#include "theta/sample_bounds.hpp"

namespace quillo::theta {

namespace {

constexpr std::uint8_t kSerialVersion = 1;
// Compact and ordered: the image holds only the hashes, sorted ascending.
constexpr std::uint8_t kCompactOrderedFlags = 0x18;
constexpr std::uint16_t kSeedHash = 0x93CC;
constexpr std::uint64_t kMinSetSlots = 16;

// The scratch set of the set operations. It is sized for every value it will
// receive at no more than half full, so it never has to grow.
class HashSet {
public:
    explicit HashSet(std::uint64_t expected) : lg_(ceil_lg(std::max(2 * expected, kMinSetSlots))), slots_(lg_) {}

    void insert(std::uint64_t h) {
        std::uint64_t& slot = slots_[probe(slots_.data(), lg_, h)];
        if (slot != 0) return;
        slot = h;
        ++count_;
    }

    bool contains(std::uint64_t h) const { return slots_[probe(slots_.data(), lg_, h)] == h; }

    std::vector<std::uint64_t> values() const {
        std::vector<std::uint64_t> out;
        out.reserve(count_);
        for (std::uint64_t h : slots_) {
            if (h != 0) out.push_back(h);
        }
        return out;
    }

private:
    std::uint64_t count_ = 0;
    unsigned lg_;
    ZeroedArray<std::uint64_t> slots_;
};

// Keeps the k smallest hashes; when there are more, theta drops to the
// (k+1)-th smallest if that is lower.
void cut_to(std::vector<std::uint64_t>& hashes, std::uint64_t k, std::uint64_t& theta) {
    if (hashes.size() <= k) return;
    std::nth_element(hashes.begin(), hashes.begin() + static_cast<std::ptrdiff_t>(k), hashes.end());
    theta = std::min(theta, hashes[k]);
    hashes.resize(k);
}

}  // namespace

ThetaSketch::ThetaSketch(unsigned lg_k, unsigned lg_size, std::uint64_t theta)
    : table_(lg_size),
      theta_(theta),
      lg_size_(static_cast<std::uint8_t>(lg_size)),
      lg_k_(static_cast<std::uint8_t>(lg_k)) {}

ThetaSketch ThetaSketch::create(std::uint64_t k) {
    const unsigned lg_k = ceil_lg(k);
    if (lg_k > kMaxLgK) fail("k must be at most 2^59, got " + std::to_string(k));
    try {
        return ThetaSketch(lg_k, lg_k + 1, kExactTheta);
    } catch (const std::bad_alloc&) {
        fail("k=" + std::to_string(k) + " needs a table of 2^" + std::to_string(lg_k + 1) +
             " slots, which cannot be allocated");
    }
}

ThetaSketch ThetaSketch::from_hashes(std::span<const std::uint64_t> hashes, std::uint64_t theta, std::uint64_t k) {
    const unsigned lg_k = ceil_lg(k);
    unsigned lg_size = lg_k + 1;
    while (hashes.size() > load_limit(lg_size)) ++lg_size;
    ThetaSketch sketch(lg_k, lg_size, theta);
    for (std::uint64_t h : hashes) {
        if (h == 0) continue;
        std::uint64_t& slot = sketch.table_[probe(sketch.table_.data(), lg_size, h)];
        if (slot == 0) {
            slot = h;
            ++sketch.count_;
        }
    }
    return sketch;
}

void ThetaSketch::update(std::string_view item) { update_hash(hash::item_hash128(item).high); }

void ThetaSketch::update_hash(std::uint64_t h) {
    if (h == 0) h = 1;  // 0 marks an empty slot
    if (h >= theta_) return;
    std::uint64_t& slot = table_[probe(table_.data(), lg_size_, h)];
    if (slot == h) return;
    slot = h;
    if (++count_ > load_limit(lg_size_)) rebuild();
}

void ThetaSketch::insert_new(std::uint64_t h) {
    table_[probe(table_.data(), lg_size_, h)] = h;
    ++count_;
}

// Linear in the table size: a selection finds the cut, no sort.
void ThetaSketch::rebuild() {
    std::vector<std::uint64_t> kept = hashes();
    const std::uint64_t nominal = k();
    std::nth_element(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(nominal), kept.end());
    theta_ = kept[nominal];
    std::fill(table_.begin(), table_.end(), 0);
    count_ = 0;
    for (std::uint64_t i = 0; i < nominal; ++i) {
        if (kept[i] != 0 && kept[i] < theta_) insert_new(kept[i]);
    }
}

double ThetaSketch::estimate() const { return sample_estimate(count_, theta_); }

double ThetaSketch::lower_bound(double confidence) const { return sample_interval(count_, theta_, confidence).lower; }

double ThetaSketch::upper_bound(double confidence) const { return sample_interval(count_, theta_, confidence).upper; }

std::vector<std::uint64_t> ThetaSketch::hashes() const {
    std::vector<std::uint64_t> out;
    out.reserve(count_);
    for (std::uint64_t h : table_) {
        if (h != 0) out.push_back(h);
    }
    return out;
}

ThetaSketch ThetaSketch::union_with(const ThetaSketch& other) const {
    std::uint64_t theta = std::min(theta_, other.theta_);
    HashSet set(count_ + other.count_);
    for (const ThetaSketch* source : {this, &other}) {
        for (std::uint64_t h : source->table_) {
            if (h != 0 && h < theta) set.insert(h);
        }
    }
    std::vector<std::uint64_t> kept = set.values();
    cut_to(kept, k(), theta);
    return from_hashes(kept, theta, k());
}

ThetaSketch ThetaSketch::intersect(const ThetaSketch& other) const {
    std::uint64_t theta = std::min(theta_, other.theta_);
    // The larger operand goes into the scratch set, the smaller one is walked.
    const ThetaSketch& larger = count_ > other.count_ ? *this : other;
    const ThetaSketch& smaller = count_ > other.count_ ? other : *this;
    HashSet set(larger.count_);
    for (std::uint64_t h : larger.table_) {
        if (h != 0) set.insert(h);
    }
    std::vector<std::uint64_t> kept;
    for (std::uint64_t h : smaller.table_) {
        if (h != 0 && h < theta && set.contains(h)) kept.push_back(h);
    }
    const std::uint64_t nominal = std::min(k(), other.k());
    cut_to(kept, nominal, theta);
    return from_hashes(kept, theta, nominal);
}

ThetaSketch ThetaSketch::difference(const ThetaSketch& other) const {
    std::uint64_t theta = std::min(theta_, other.theta_);
    HashSet set(other.count_);
    for (std::uint64_t h : other.table_) {
        if (h != 0) set.insert(h);
    }
    std::vector<std::uint64_t> kept;
    for (std::uint64_t h : table_) {
        if (h != 0 && h < theta && !set.contains(h)) kept.push_back(h);
    }
    cut_to(kept, k(), theta);
    return from_hashes(kept, theta, k());
}

std::vector<std::uint8_t> ThetaSketch::to_bytes() const {
    std::vector<std::uint64_t> sorted = hashes();
    std::sort(sorted.begin(), sorted.end());
    codec::Output out;
    out.reserve(codec::kPreambleSize + 16 + 8 * sorted.size());
    const std::uint8_t flags = kCompactOrderedFlags | (count_ == 0 ? codec::kEmptyFlag : 0);
    codec::write_preamble(out, codec::Family::theta, kSerialVersion, flags);
    out.u8(lg_k_);
    out.u8(static_cast<std::uint8_t>(kSeedHash & 0xFF));
    out.u8(static_cast<std::uint8_t>(kSeedHash >> 8));
    out.u32(static_cast<std::uint32_t>(count_));
    out.u32(0);
    out.u64(theta_);
    out.run(std::span<const std::uint64_t>(sorted));
    return out.take();
}

ThetaSketch ThetaSketch::from_bytes(std::span<const std::uint8_t> data) {
    codec::Cursor cursor(data);
    const codec::Preamble preamble = codec::read_preamble(cursor, codec::Family::theta);
    const std::uint8_t lg_k = cursor.read_u8();
    cursor.skip(2);  // the seed hash is not checked
    const std::uint32_t count = cursor.read_u32();
    cursor.skip(4);
    const std::uint64_t theta = cursor.read_u64();
    if (lg_k > kMaxLgK) {
        codec::corrupt_data("lg_k=" + std::to_string(lg_k) + " exceeds maximum of " + std::to_string(kMaxLgK));
    }
    try {
        if ((preamble.flags & codec::kEmptyFlag) && count == 0) return ThetaSketch(lg_k, lg_k + 1u, kExactTheta);
        const std::size_t needed = 8 * std::size_t{count};
        if (cursor.remaining() < needed) codec::insufficient_data(needed, cursor.remaining());
        // No sketch admits hashes at theta 0; their estimate would divide by it.
        if (theta == 0 && count > 0) codec::corrupt_data("theta is 0 but the image holds hashes");
        std::vector<std::uint64_t> hashes(count);
        // memcpy must not see the null pointers of empty runs.
        if (count > 0) std::memcpy(hashes.data(), cursor.read_bytes(needed).data(), needed);  // little-endian host
        return from_hashes(hashes, theta, std::uint64_t{1} << lg_k);
    } catch (const std::bad_alloc&) {
        codec::corrupt_data("lg_k=" + std::to_string(lg_k) + " needs a table that cannot be allocated");
    }
}

std::size_t ThetaSketch::heap_bytes() const { return table_.heap_bytes(); }

}  // namespace quillo::theta
