#include "python/frame.hpp"
#include "sampling/reservoir.hpp"

namespace quillo::py {
namespace {

using sampling::ReservoirSamplerA;
using sampling::ReservoirSamplerR;

constexpr const char* kToBytesDoc = "Serialize the sampler to bytes.";
constexpr const char* kFromBytesDoc = "Deserialize the sampler from bytes.";
constexpr const char* kReduceDoc = "Support pickling via the from_bytes reconstructor.";

template <class Sampler>
Sampler make_reservoir_sampler(std::uint64_t capacity) {
    return Sampler(capacity);
}

template <class Sampler>
PyTypeObject* build_reservoir_sampler(const char* name, const char* doc) {
    return Class<Sampler>(name, doc)
        .thread_bound()
        .template constructor<&make_reservoir_sampler<Sampler>, "capacity">()
        .template method<"add", &Sampler::add, "item">("Add an item to the reservoir.")
        .template method<"sample", &Sampler::sample>("Get the current sample.")
        .template method<"items_seen", &Sampler::items_seen>("Get the number of items seen so far.")
        .template method<"capacity", &Sampler::capacity>("Get the capacity of the reservoir.")
        .template method<"is_full", &Sampler::is_full>("Check if the reservoir is full.")
        .template method<"clear", &Sampler::clear>("Clear the reservoir and reset counters.")
        .template method<"merge", &Sampler::merge, "other">("Merge another reservoir sampler into this one.")
        .template bytes<&Sampler::to_bytes, &Sampler::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

PyTypeObject* build_reservoir_sampler_r() {
    return build_reservoir_sampler<ReservoirSamplerR>("ReservoirSamplerR", "Python binding for Reservoir Sampler R.");
}

PyTypeObject* build_reservoir_sampler_a() {
    return build_reservoir_sampler<ReservoirSamplerA>("ReservoirSamplerA", "Python binding for Reservoir Sampler A.");
}

const Registration reservoir_sampler_r("ReservoirSamplerR", &build_reservoir_sampler_r);
const Registration reservoir_sampler_a("ReservoirSamplerA", &build_reservoir_sampler_a);

}  // namespace
}  // namespace quillo::py
