#pragma once
// Bulk methods: one loop per column shape that calls a class's per-item core
// function over every row, so `x.update_many(column)` leaves exactly the
// state the per-item loop leaves. Columns hold their rows in memory no Python
// code can change, so the GIL is released while the loop runs; the
// instance's access flag, taken by the frame, keeps other threads out
// meanwhile.
//
// Declared like any method: `.method<"update_many", &bulk::strings<&S::update>, "items">(doc)`.
#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "common/error.hpp"
#include "python/columns.hpp"
#include "python/frame.hpp"

namespace quillo::py::bulk {

template <auto Fn>
using Self = std::remove_cvref_t<typename FnTraits<decltype(Fn)>::Self>;

// Whether a core function may refuse a row. Columns for such functions run
// on a copy of the state that replaces it only when every row is taken.
enum class Refusal { none, possible };

// Runs `body(position)`; a core failure is reported with the position of the
// row it failed on.
template <class Body>
void naming_position(std::string_view name, Body&& body) {
    std::size_t position = 0;
    try {
        body(position);
    } catch (const Error& error) {
        throw Error(error.kind(), std::string(name) + "[" + std::to_string(position) + "]: " + error.message());
    }
}

template <Refusal R, class S, class Body>
void run_rows(S& self, Body&& body) {
    if constexpr (R == Refusal::none) {
        body(self);
    } else {
        S scratch = self;
        body(scratch);
        self = std::move(scratch);
    }
}

[[noreturn]] void raise_length_mismatch(std::string_view first, std::size_t first_size, std::string_view second,
                                        std::size_t second_size);

template <class A, class B>
void check_same_length(const A& a, const B& b) {
    if (a.size() != b.size()) raise_length_mismatch(a.name(), a.size(), b.name(), b.size());
}

// fn(item) for every item.
template <auto Fn>
void strings(Self<Fn>& self, const StringColumn& items) {
    WithoutGil unlocked;
    items.for_each([&self](std::size_t, std::string_view item) { std::invoke(Fn, self, item); });
}

// fn(value) for every value.
template <auto Fn, Refusal R = Refusal::none>
void doubles(Self<Fn>& self, const DoubleColumn& values) {
    WithoutGil unlocked;
    run_rows<R>(self, [&values](Self<Fn>& target) {
        naming_position(values.name(), [&](std::size_t& position) {
            values.for_each([&](std::size_t i, double v) {
                position = i;
                std::invoke(Fn, target, v);
            });
        });
    });
}

// fn(span) over runs of the values: a core batch function that leaves the
// state its per-item function leaves, value by value.
template <auto Fn>
void double_runs(Self<Fn>& self, const DoubleColumn& values) {
    WithoutGil unlocked;
    values.for_each_run([&self](std::span<const double> run) { std::invoke(Fn, self, run); });
}

// fn(item, value) for every row where both are present.
template <auto Fn, Refusal R = Refusal::none>
void strings_with_doubles(Self<Fn>& self, const StringColumn& items, const DoubleColumn& values) {
    check_same_length(items, values);
    WithoutGil unlocked;
    const DenseDoubles dense = values.dense();
    run_rows<R>(self, [&](Self<Fn>& target) {
        naming_position(values.name(), [&](std::size_t& position) {
            items.for_each([&](std::size_t i, std::string_view item) {
                if (dense.null[i]) return;
                position = i;
                std::invoke(Fn, target, item, dense.values[i]);
            });
        });
    });
}

// fn(item, count) for every row, the count 1 when no counts are given.
template <auto Fn, class T>
void strings_with_counts(Self<Fn>& self, const StringColumn& items, const std::optional<IntegerColumn<T>>& counts) {
    if (counts) check_same_length(items, *counts);
    WithoutGil unlocked;
    if (!counts) {
        items.for_each([&self](std::size_t, std::string_view item) { std::invoke(Fn, self, item, T{1}); });
        return;
    }
    items.for_each([&](std::size_t i, std::string_view item) {
        if (!counts->is_null(i)) std::invoke(Fn, self, item, (*counts)[i]);
    });
}

// fn(item, row) for every row; a row of the wrong length refuses the column.
template <auto Fn>
void strings_with_rows(Self<Fn>& self, const StringColumn& items, const RowsColumn& rows) {
    check_same_length(items, rows);
    WithoutGil unlocked;
    run_rows<Refusal::possible>(self, [&](Self<Fn>& target) {
        naming_position(rows.name(), [&](std::size_t& position) {
            items.for_each([&](std::size_t i, std::string_view item) {
                position = i;
                std::invoke(Fn, target, item, rows[i]);
            });
        });
    });
}

inline constexpr std::size_t kBlockLength = 64;

// fn(block) over blocks of items: a core block function that leaves the
// state its per-item function leaves, item by item.
template <auto Fn>
void string_blocks(Self<Fn>& self, const StringColumn& items) {
    WithoutGil unlocked;
    std::array<std::string_view, kBlockLength> block;
    std::size_t held = 0;
    auto flush = [&] {
        std::invoke(Fn, self, std::span<const std::string_view>(block.data(), held));
        held = 0;
    };
    items.for_each([&](std::size_t, std::string_view item) {
        block[held++] = item;
        if (held == kBlockLength) flush();
    });
    if (held > 0) flush();
}

// fn(block, answers) over blocks of items, in a list by position; null rows
// give None.
template <auto Fn>
std::vector<std::optional<bool>> query_string_blocks(const Self<Fn>& self, const StringColumn& items) {
    std::vector<std::optional<bool>> results(items.size());
    WithoutGil unlocked;
    std::array<std::string_view, kBlockLength> block;
    std::array<std::size_t, kBlockLength> rows;
    std::array<bool, kBlockLength> answers;
    std::size_t held = 0;
    auto flush = [&] {
        std::invoke(Fn, self, std::span<const std::string_view>(block.data(), held),
                    std::span<bool>(answers.data(), held));
        for (std::size_t j = 0; j < held; ++j) results[rows[j]] = answers[j];
        held = 0;
    };
    items.for_each([&](std::size_t i, std::string_view item) {
        block[held] = item;
        rows[held++] = i;
        if (held == kBlockLength) flush();
    });
    if (held > 0) flush();
    return results;
}

// fn(item) for every item, in a list by position; null rows give None.
template <auto Fn>
auto query_strings(const Self<Fn>& self, const StringColumn& items) {
    using Result = std::invoke_result_t<decltype(Fn), const Self<Fn>&, std::string_view>;
    std::vector<std::optional<Result>> results(items.size());
    WithoutGil unlocked;
    items.for_each([&](std::size_t i, std::string_view item) { results[i] = std::invoke(Fn, self, item); });
    return results;
}

}  // namespace quillo::py::bulk
