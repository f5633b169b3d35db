#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"
#include "sampling/reservoir.hpp"
#include "sampling/stream_sampler.hpp"
#include "sampling/weighted_reservoir.hpp"

namespace quillo::py {
namespace {

using sampling::ReservoirSamplerA;
using sampling::ReservoirSamplerR;
using sampling::StreamSampler;
using sampling::WeightedReservoirSampler;

constexpr const char* kAddManyDoc = "Add every str of a column (nulls skipped).";
constexpr const char* kToBytesDoc = "Serialize the sampler to bytes.";
constexpr const char* kFromBytesDoc = "Deserialize the sampler from bytes.";
constexpr const char* kReduceDoc = "Support pickling via the from_bytes reconstructor.";

template <class Sampler>
Description describe_reservoir(const Sampler& sampler) {
    return Description().exact("capacity", sampler.capacity()).exact("items_seen", sampler.items_seen());
}

Description describe(const WeightedReservoirSampler& sampler) {
    return Description().exact("capacity", sampler.capacity()).approx("total_weight", sampler.total_weight());
}

Description describe(const StreamSampler& sampler) {
    return Description()
        .exact("capacity", sampler.capacity())
        .exact("batch_size", sampler.batch_size())
        .exact("items_seen", sampler.items_seen());
}

template <class Sampler>
PyTypeObject* build_reservoir_sampler(const char* name, const char* doc) {
    return Class<Sampler>(name, doc)
        .thread_bound()
        .template constructor<&new_state<Sampler, std::uint64_t>, "capacity">()
        .template repr<&describe_reservoir<Sampler>>()
        .template method<"add", &Sampler::add, "item">("Add an item to the reservoir.")
        .template method<"add_many", &bulk::strings<&Sampler::add>, "items">(kAddManyDoc)
        .template method<"sample", &Sampler::sample>("Get the current sample.")
        .template method<"items_seen", &Sampler::items_seen>("Get the number of items seen so far.")
        .template method<"capacity", &Sampler::capacity>("Get the capacity of the reservoir.")
        .template method<"is_full", &Sampler::is_full>("Check if the reservoir is full.")
        .template method<"clear", &Sampler::clear>("Clear the reservoir and reset counters.")
        .template method<"merge", &Sampler::merge, "other">("Merge another reservoir sampler into this one.")
        .template bytes<&Sampler::to_bytes, &Sampler::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

}  // namespace

PyTypeObject* build_reservoir_sampler_r() {
    return build_reservoir_sampler<ReservoirSamplerR>("ReservoirSamplerR", "Python binding for Reservoir Sampler R.");
}

PyTypeObject* build_reservoir_sampler_a() {
    return build_reservoir_sampler<ReservoirSamplerA>("ReservoirSamplerA", "Python binding for Reservoir Sampler A.");
}

PyTypeObject* build_weighted_reservoir_sampler() {
    using S = WeightedReservoirSampler;
    return Class<S>("WeightedReservoirSampler", "Python binding for Weighted Reservoir Sampler.")
        .thread_bound()
        .constructor<&new_state<S, std::uint64_t>, "capacity">()
        .repr<&describe>()
        .method<"add_weighted", &S::add_weighted, "item", "weight">("Add an item with weight.")
        .method<"add_weighted_many", &bulk::strings_with_doubles<&S::add_weighted, bulk::Refusal::possible>, "items",
                "weights">("Add every item and weight of two columns (rows with a null skipped).")
        .method<"add", &S::add, "item">("Add an item with weight 1.0.")
        .method<"add_many", &bulk::strings<&S::add>, "items">(kAddManyDoc)
        .method<"sample", &S::sample>("Get the current sample (items only).")
        .method<"sample_with_weights", &S::sample_with_weights>("Get the current sample with weights.")
        .method<"total_weight", &S::total_weight>("Get the total weight processed.")
        .method<"capacity", &S::capacity>("Get the capacity of the reservoir.")
        .method<"clear", &S::clear>("Clear the reservoir.")
        .bytes<&S::to_bytes, &S::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

PyTypeObject* build_stream_sampler() {
    return Class<StreamSampler>("StreamSampler", "Python binding for Stream Sampler.")
        .thread_bound()
        .constructor<&new_state<StreamSampler, std::uint64_t, std::uint64_t>, "capacity", "batch_size">()
        .repr<&describe>()
        .method<"push_batch", &StreamSampler::push_batch, "items">("Add items to the stream buffer.")
        .method<"flush", &StreamSampler::flush>("Flush remaining items in buffer.")
        .method<"sample", &StreamSampler::sample>("Get the current sample.")
        .method<"stats", &StreamSampler::stats>("Get statistics about the stream processing.")
        .bytes<&StreamSampler::to_bytes, &StreamSampler::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

}  // namespace quillo::py
