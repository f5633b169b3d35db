// Prints the ChaCha12 block for the key, block counter and stream number
// given in hexadecimal on the command line, one word per line.
#include <cstdio>
#include <cstdlib>

#include "sampling/random.hpp"

int main(int argc, char** argv) {
    if (argc != 11) return 2;
    quillo::sampling::ChaChaKey key;
    for (int i = 0; i < 8; ++i) key[i] = static_cast<std::uint32_t>(std::strtoul(argv[1 + i], nullptr, 16));
    const auto counter = std::strtoull(argv[9], nullptr, 16);
    const auto stream = std::strtoull(argv[10], nullptr, 16);
    for (std::uint32_t word : quillo::sampling::chacha12_block(key, counter, stream)) std::printf("%08x\n", word);
    return 0;
}
