#pragma once
// Columns: a whole input of strings or numbers converted once into spans the
// core can loop over without touching a Python object. One converter per
// input kind serves every class:
//   strings  lists and tuples of str, any other iterable of str (numpy object
//            and variable-width string arrays among them), numpy fixed-width
//            `U` arrays, Arrow string, large_string and string_view arrays
//   numbers  any buffer (numpy arrays of any integer or float dtype, any
//            stride, either byte order; array.array; memoryview), Arrow
//            integer and float arrays, any iterable of numbers
// Arrow nulls are skipped. Positions in messages count every row, nulls too.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "python/arrow.hpp"
#include "python/frame.hpp"
#include "python/large_buffer.hpp"

namespace quillo::py {

// Raises the pending Python exception again with "name[index]: " before its
// message.
[[noreturn]] void raise_again_at(std::string_view name, std::size_t index);

// An owned reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* o) : o_(o) {}
    Ref(Ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(o_, other.o_);
        return *this;
    }
    Ref(const Ref&) = delete;
    ~Ref() { Py_XDECREF(o_); }
    PyObject* get() const { return o_; }

private:
    PyObject* o_ = nullptr;
};

// An exported buffer, released when dropped.
class Buffer {
public:
    // Fails with a Python error when `o` does not export a strided buffer.
    explicit Buffer(PyObject* o);
    Buffer(Buffer&&) noexcept = default;
    ~Buffer();
    const Py_buffer& view() const { return *view_; }

private:
    std::unique_ptr<Py_buffer> view_;
};

// Releases the GIL for the length of a scope when `release` is set.
class WithoutGil {
public:
    explicit WithoutGil(bool release = true) : saved_(release ? PyEval_SaveThread() : nullptr) {}
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    ~WithoutGil() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
    }

private:
    PyThreadState* saved_;
};

// ---------------------------------------------------------------- strings

// A run of rows of one layout; `first` is the position of its first row in
// the whole column.
struct StringChunk {
    enum class Layout { copied, offsets32, offsets64, arrow_views };
    Layout layout;
    std::size_t first;
    std::size_t length;
    const char* text = nullptr;                // copied: row i runs from the end of row i - 1
    const std::size_t* ends = nullptr;         //   (or the start) to ends[i]
    const arrow::ArrowArray* array = nullptr;  // the Arrow layouts
};

// The 16-byte string view of the Arrow format: the length, then either the
// bytes themselves (up to 12) or a prefix, a buffer index and an offset.
struct ArrowStringView {
    std::int32_t length;
    std::int32_t prefix_or_inline[3];
};
inline constexpr std::int32_t kInlineViewLength = 12;
// validity, views, then the variadic data buffers, then their sizes.
inline constexpr std::int64_t kViewFixedBuffers = 3;

class StringColumn {
public:
    StringColumn(PyObject* o, std::string_view name);
    StringColumn(StringColumn&&) noexcept = default;

    std::string_view name() const { return name_; }
    std::size_t size() const { return size_; }

    // f(position, item) for every row that is not null, in order.
    template <class F>
    void for_each(F&& f) const {
        for (const StringChunk& chunk : chunks_) {
            switch (chunk.layout) {
                case StringChunk::Layout::copied: for_each_copied(chunk, f); break;
                case StringChunk::Layout::offsets32: for_each_offset<std::int32_t>(chunk, f); break;
                case StringChunk::Layout::offsets64: for_each_offset<std::int64_t>(chunk, f); break;
                case StringChunk::Layout::arrow_views: for_each_view(chunk, f); break;
            }
        }
    }

private:
    template <class F>
    static void for_each_copied(const StringChunk& chunk, F& f) {
        std::size_t start = 0;
        for (std::size_t i = 0; i < chunk.length; ++i) {
            f(chunk.first + i, std::string_view(chunk.text + start, chunk.ends[i] - start));
            start = chunk.ends[i];
        }
    }

    template <class Offset, class F>
    static void for_each_offset(const StringChunk& chunk, F& f) {
        const arrow::ArrowArray& a = *chunk.array;
        const auto* offsets = static_cast<const Offset*>(a.buffers[1]) + a.offset;
        const auto* data = static_cast<const char*>(a.buffers[2]);
        const bool all_valid = a.buffers[0] == nullptr;
        for (std::size_t i = 0; i < chunk.length; ++i) {
            if (!all_valid && !arrow::is_valid(a, static_cast<std::int64_t>(i))) continue;
            f(chunk.first + i,
              std::string_view(data + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])));
        }
    }

    template <class F>
    static void for_each_view(const StringChunk& chunk, F& f) {
        const arrow::ArrowArray& a = *chunk.array;
        const auto* views = static_cast<const ArrowStringView*>(a.buffers[1]) + a.offset;
        const bool all_valid = a.buffers[0] == nullptr;
        for (std::size_t i = 0; i < chunk.length; ++i) {
            if (!all_valid && !arrow::is_valid(a, static_cast<std::int64_t>(i))) continue;
            f(chunk.first + i, view_text(a, views[i]));
        }
    }

    static std::string_view view_text(const arrow::ArrowArray& a, const ArrowStringView& v) {
        const auto length = static_cast<std::size_t>(v.length);
        if (v.length <= kInlineViewLength) return {reinterpret_cast<const char*>(v.prefix_or_inline), length};
        const auto* data = static_cast<const char*>(a.buffers[kViewFixedBuffers - 1 + v.prefix_or_inline[1]]);
        return {data + v.prefix_or_inline[2], length};
    }

    void from_sequence(PyObject* o);
    void from_fixed_width_unicode(const Py_buffer& view);
    void from_arrow(PyObject* o);
    void check_arrow_chunk(const StringChunk& chunk) const;
    template <class Offset>
    void check_offsets(const StringChunk& chunk) const;
    void add_copied_rows();

    std::string_view name_;
    std::size_t size_ = 0;
    LargeBytes text_;
    LargeVector<std::size_t> ends_;
    arrow::Import arrow_;
    std::vector<StringChunk> chunks_;
};

// ---------------------------------------------------------------- numbers

enum class NumberKind { i8, u8, i16, u16, i32, u32, i64, u64, f16, f32, f64 };

double half_to_double(std::uint16_t bits);

template <class Source>
Source load(const char* p, bool swapped) {
    Source v;
    std::memcpy(&v, p, sizeof(Source));
    if constexpr (sizeof(Source) > 1) {
        if (swapped) {
            using Bits = std::conditional_t<sizeof(Source) == 2, std::uint16_t,
                                            std::conditional_t<sizeof(Source) == 4, std::uint32_t, std::uint64_t>>;
            Bits bits;
            std::memcpy(&bits, &v, sizeof(Bits));
            if constexpr (sizeof(Bits) == 2) bits = __builtin_bswap16(bits);
            if constexpr (sizeof(Bits) == 4) bits = __builtin_bswap32(bits);
            if constexpr (sizeof(Bits) == 8) bits = __builtin_bswap64(bits);
            std::memcpy(&v, &bits, sizeof(Bits));
        }
    }
    return v;
}

// A strided run of numbers of one kind, with an optional Arrow validity bitmap.
struct NumberChunk {
    NumberKind kind;
    std::size_t first;
    std::size_t length;
    const char* base;
    std::ptrdiff_t stride;
    bool swapped = false;
    const arrow::ArrowArray* validity_of = nullptr;  // Arrow chunks with nulls

    // The values themselves when they are contiguous, aligned native doubles
    // without nulls.
    const double* native_doubles() const {
        const bool plain = kind == NumberKind::f64 && !swapped && validity_of == nullptr &&
                           stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
                           reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0;
        return plain ? reinterpret_cast<const double*>(base) : nullptr;
    }

    bool is_float() const { return kind == NumberKind::f16 || kind == NumberKind::f32 || kind == NumberKind::f64; }

    // f(position, value) for every row that is not null, the value in its
    // own C++ type (half floats as double).
    template <class F>
    void visit(F& f) const {
        switch (kind) {
            case NumberKind::i8: return run<std::int8_t>(f);
            case NumberKind::u8: return run<std::uint8_t>(f);
            case NumberKind::i16: return run<std::int16_t>(f);
            case NumberKind::u16: return run<std::uint16_t>(f);
            case NumberKind::i32: return run<std::int32_t>(f);
            case NumberKind::u32: return run<std::uint32_t>(f);
            case NumberKind::i64: return run<std::int64_t>(f);
            case NumberKind::u64: return run<std::uint64_t>(f);
            case NumberKind::f16: return run<std::uint16_t, true>(f);
            case NumberKind::f32: return run<float>(f);
            case NumberKind::f64: return run<double>(f);
        }
    }

private:
    template <class Source, bool Half = false, class F>
    void run(F& f) const {
        if (swapped) {
            run_as<Source, Half, true>(f);
        } else {
            run_as<Source, Half, false>(f);
        }
    }

    template <class Source, bool Half, bool Swapped, class F>
    void run_as(F& f) const {
        const char* p = base;
        for (std::size_t i = 0; i < length; ++i, p += stride) {
            if (validity_of != nullptr && !arrow::is_valid(*validity_of, static_cast<std::int64_t>(i))) continue;
            const Source raw = load<Source>(p, Swapped);
            if constexpr (Half) {
                f(first + i, half_to_double(raw));
            } else {
                f(first + i, raw);
            }
        }
    }
};

// Numbers read in place from a buffer or from Arrow arrays, kept alive here.
class NumberSource {
public:
    // Nothing when `o` exports neither Arrow arrays nor a numeric buffer.
    static std::optional<NumberSource> read(PyObject* o, std::string_view name);
    // Nothing unless `o` exports a one-dimensional numeric buffer.
    static std::optional<NumberSource> read_vector(PyObject* o);
    NumberSource(NumberSource&&) noexcept = default;

    std::size_t size() const { return size_; }
    const std::vector<NumberChunk>& chunks() const { return chunks_; }

private:
    NumberSource() = default;
    void from_buffer(Buffer buffer, std::string_view name);
    void from_arrow(arrow::Import imported, std::string_view name);

    std::size_t size_ = 0;
    std::optional<Buffer> buffer_;
    arrow::Import arrow_;
    std::vector<NumberChunk> chunks_;
};

inline constexpr std::size_t kRunLength = 4096;

// Values and null marks laid out by position, for loops over two columns.
struct DenseDoubles {
    std::vector<double> values;
    std::vector<bool> null;
};

// A column of doubles, read in place from buffers and Arrow arrays.
class DoubleColumn {
public:
    DoubleColumn(PyObject* o, std::string_view name);
    DoubleColumn(DoubleColumn&&) noexcept = default;

    std::string_view name() const { return name_; }
    std::size_t size() const { return size_; }

    // f(position, value) for every row that is not null, in order.
    template <class F>
    void for_each(F&& f) const {
        if (!source_) {
            for (std::size_t i = 0; i < owned_.size(); ++i) f(i, owned_[i]);
            return;
        }
        auto as_double = [&f](std::size_t i, auto raw) { f(i, static_cast<double>(raw)); };
        for (const NumberChunk& chunk : source_->chunks()) chunk.visit(as_double);
    }

    // f(span) over runs of the non-null values in order: spans of the
    // column's own memory when it holds contiguous native doubles, else of a
    // buffer they are converted into.
    template <class F>
    void for_each_run(F&& f) const {
        if (!source_) {
            f(std::span<const double>(owned_));
            return;
        }
        std::array<double, kRunLength> converted;
        std::size_t held = 0;
        auto flush = [&] {
            if (held > 0) f(std::span<const double>(converted.data(), held));
            held = 0;
        };
        for (const NumberChunk& chunk : source_->chunks()) {
            if (const double* direct = chunk.native_doubles()) {
                flush();
                f(std::span<const double>(direct, chunk.length));
                continue;
            }
            auto convert = [&](std::size_t, auto raw) {
                converted[held++] = static_cast<double>(raw);
                if (held == kRunLength) flush();
            };
            chunk.visit(convert);
        }
        flush();
    }

    DenseDoubles dense() const;

    // A column over the buffer or Arrow arrays `o` exports, or nothing.
    static std::optional<DoubleColumn> read_in_place(PyObject* o, std::string_view name);

private:
    explicit DoubleColumn(std::string_view name) : name_(name) {}

    std::string_view name_;
    std::size_t size_ = 0;
    std::optional<NumberSource> source_;
    LargeVector<double> owned_;
};

// A column of 64-bit integers, range-checked as the per-item argument is.
template <class T>
class IntegerColumn {
public:
    IntegerColumn(PyObject* o, std::string_view name);
    IntegerColumn(IntegerColumn&&) noexcept = default;

    std::string_view name() const { return name_; }
    std::size_t size() const { return values_.size(); }
    bool is_null(std::size_t i) const { return !null_.empty() && null_[i]; }
    T operator[](std::size_t i) const { return values_[i]; }

private:
    void from_source(const NumberSource& source);

    std::string_view name_;
    std::vector<T> values_;
    std::vector<bool> null_;
};

// Rows of doubles: a two-dimensional buffer or a sequence of sequences.
class RowsColumn {
public:
    RowsColumn(PyObject* o, std::string_view name);
    RowsColumn(RowsColumn&&) noexcept = default;

    std::string_view name() const { return name_; }
    std::size_t size() const { return rows_.size(); }
    const std::vector<double>& operator[](std::size_t i) const { return rows_[i]; }

private:
    std::string_view name_;
    std::vector<std::vector<double>> rows_;
};

// The values of a batch method that keeps its per-item conversion for
// sequences and reads buffers and Arrow arrays in place.
struct DoubleBatch {
    DoubleBatch(PyObject* o, std::string_view name);
    DoubleBatch(DoubleBatch&&) noexcept = default;
    std::vector<double> values;
};

// The numbers of a batch query (a `std::span<const double>` parameter), in
// order: the exact floats of a list or tuple read directly, a
// one-dimensional numeric buffer through the number-column reader (in place
// when it holds native doubles), anything else element by element as a
// `std::vector<double>` argument is, with the same messages. Batches that
// fit stay on the stack.
class DoubleSpan {
public:
    DoubleSpan(PyObject* o, std::string_view name);
    // The frame moves each argument once into its place; a move copies only
    // the numbers in use.
    DoubleSpan(DoubleSpan&& other) noexcept;
    DoubleSpan& operator=(DoubleSpan&&) = delete;

    std::span<const double> get() const { return {data(), size_}; }

private:
    static constexpr std::size_t kInline = 128;

    bool read_exact_floats(PyObject* o);
    bool read_buffer(PyObject* o);
    void read_any_sequence(PyObject* o, std::string_view name);
    // Room for n numbers, on the stack when they fit.
    double* room(std::size_t n);
    const double* data() const {
        return external_ != nullptr ? external_ : heap_.empty() ? inline_.data() : heap_.data();
    }

    std::size_t size_ = 0;
    const double* external_ = nullptr;  // native doubles in the buffer
    std::optional<NumberSource> source_;
    std::vector<double> heap_;
    std::array<double, kInline> inline_;
};

// ---------------------------------------------------------------- frame holders

template <class Column>
struct ColumnHolder {
    ColumnHolder(PyObject* o, std::string_view name) : value(o, name) {}
    const Column& get() { return value; }
    Column value;
};

template <class Column>
struct OptionalColumnHolder {
    OptionalColumnHolder(PyObject* o, std::string_view name) {
        if (o != nullptr && o != Py_None) value.emplace(o, name);
    }
    const std::optional<Column>& get() { return value; }
    std::optional<Column> value;
};

template <>
struct HolderFor<const StringColumn&> {
    using type = ColumnHolder<StringColumn>;
};
template <>
struct HolderFor<const DoubleColumn&> {
    using type = ColumnHolder<DoubleColumn>;
};
template <>
struct HolderFor<const DoubleBatch&> {
    using type = ColumnHolder<DoubleBatch>;
};
template <>
struct HolderFor<std::span<const double>> {
    using type = DoubleSpan;
};
template <>
struct HolderFor<const RowsColumn&> {
    using type = ColumnHolder<RowsColumn>;
};
template <>
struct HolderFor<const std::optional<IntegerColumn<std::uint64_t>>&> {
    using type = OptionalColumnHolder<IntegerColumn<std::uint64_t>>;
};
template <>
struct HolderFor<const std::optional<IntegerColumn<std::int64_t>>&> {
    using type = OptionalColumnHolder<IntegerColumn<std::int64_t>>;
};

}  // namespace quillo::py
