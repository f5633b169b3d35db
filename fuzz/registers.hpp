#pragma once
// The operations of the register sketches among the distinct counters (HLL,
// both HLL++ forms, CPC), which share one interface: updates, merges with the
// decoded copy and with fresh sketches of the same, the smallest and a middle
// precision (a class may refuse some), and a fresh sketch of `FreshLgK`
// taking the copy.
#include <array>
#include <cstdint>

#include "drive.hpp"

namespace quillo::fuzz {

template <class Sketch, std::uint8_t FreshLgK, int UpdateRounds = 1>
void exercise_registers(Sketch& s, const Sketch& copy, const Feed& feed) {
    (void)s.estimate();
    for (int round = 0; round < UpdateRounds; ++round) {
        for (const auto& item : feed.items) s.update(item);
    }
    tolerate([&] { s.merge(copy); });
    for (std::uint8_t lg_k : std::array<std::uint8_t, 3>{s.lg_k(), 4, 10}) {
        tolerate([&] { s.merge(Sketch::create(lg_k)); });
    }
    tolerate([&] {
        Sketch fresh = Sketch::create(FreshLgK);
        fresh.merge(copy);
        (void)fresh.estimate();
    });
    (void)s.estimate();
}

}  // namespace quillo::fuzz
