#pragma once
// Images store integers and floats little-endian, copied straight from and to
// memory; a big-endian host would write and read other bytes, so it is refused.
#include <bit>

static_assert(std::endian::native == std::endian::little,
              "quillo images are little-endian and are copied byte for byte: build on a little-endian host");
