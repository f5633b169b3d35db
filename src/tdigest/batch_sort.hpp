#pragma once
// The ascending order of a batch, as a stable sort with `<` gives it for
// values without NaN (the two zeros are equal and keep their order), in time
// linear in the batch: a least-significant-digit radix sort.
#include <vector>

namespace quillo::tdigest {

void sort_batch(std::vector<double>& values);

}  // namespace quillo::tdigest
