#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"
#include "varopt/varopt_sketch.hpp"

namespace quillo::py {
namespace {

using varopt::VarOptSketch;

Description describe(const VarOptSketch& sketch) {
    return Description().exact("k", sketch.k()).exact("count", sketch.count());
}

}  // namespace

PyTypeObject* build_varopt_sketch() {
    return Class<VarOptSketch>("VarOptSketch", "Python binding for VarOpt sampling.")
        .constructor<&VarOptSketch::create, "k">()
        .repr<&describe>()
        .method<"update", &VarOptSketch::update, "item", "weight">("Update with item and weight.")
        .method<"update_many", &bulk::strings_with_doubles<&VarOptSketch::update, bulk::Refusal::possible>, "items",
                "weights">("Update with every item and weight of two columns (rows with a null skipped).")
        .method<"get_samples", &VarOptSketch::get_samples>("Get samples as list of (item, adjusted_weight) tuples.")
        .method<"get_num_samples", &VarOptSketch::get_num_samples>("Get number of samples.")
        .method<"get_total_weight", &VarOptSketch::get_total_weight>("Get total weight of all items seen.")
        .method<"count", &VarOptSketch::count>("Total items seen.")
        .bytes<&VarOptSketch::to_bytes, &VarOptSketch::from_bytes>("Serialize the sketch to bytes.",
                                                                   "Deserialize the sketch from bytes.",
                                                                   "Support pickling via the from_bytes reconstructor.")
        .build();
}

}  // namespace quillo::py
