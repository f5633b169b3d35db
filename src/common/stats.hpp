#pragma once
// An ordered record of named values, as `statistics()` and similar queries
// return it; the binding layer turns it into a dict filled key by key.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quillo {

// An absent optional value becomes None.
using StatValue = std::variant<std::int64_t, std::uint64_t, double, bool, std::string, std::optional<double>>;

class Stats {
public:
    Stats& add(std::string key, StatValue value) {
        entries_.emplace_back(std::move(key), std::move(value));
        return *this;
    }
    const std::vector<std::pair<std::string, StatValue>>& entries() const { return entries_; }

private:
    std::vector<std::pair<std::string, StatValue>> entries_;
};

}  // namespace quillo
