#include "python/columns.hpp"
#include "python/bulk.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillo::py {

namespace {

constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;
constexpr std::uint32_t kFirstSurrogate = 0xD800;
constexpr std::uint32_t kLastSurrogate = 0xDFFF;

std::string at(std::string_view name, std::size_t index) {
    return std::string(name) + "[" + std::to_string(index) + "]: ";
}

[[noreturn]] void raise_column(PyObject* type, std::string_view name, const std::string& message) {
    raise(type, std::string(name) + ": " + message);
}

// str and bytes are iterable, but never a column of items.
void refuse_text(PyObject* o, std::string_view name, const char* expected) {
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) {
        raise_column(PyExc_TypeError, name,
                     std::string("expected ") + expected + ", not '" + std::string(type_name(o)) + "'");
    }
}

// Any iterable as a list or tuple; a TypeError names what was expected.
Ref as_sequence(PyObject* o, std::string_view name, const char* expected) {
    refuse_text(o, name, expected);
    const std::string message =
        std::string(name) + ": expected " + expected + ", not '" + std::string(type_name(o)) + "'";
    PyObject* fast = PySequence_Fast(o, message.c_str());
    if (fast == nullptr) throw PythonError{};
    return Ref(fast);
}

// The export of `o`'s buffer, or nothing when it has none to give (numpy
// arrays of objects or of variable-width strings).
std::optional<Buffer> try_buffer(PyObject* o) {
    if (!PyObject_CheckBuffer(o)) return std::nullopt;
    try {
        return Buffer(o);
    } catch (const PythonError&) {
        PyErr_Clear();
        return std::nullopt;
    }
}

struct Format {
    char code;
    bool swapped;
    std::size_t repeat;  // the count before the code, as in "5w"
};

// "<d", ">q", "=f", "5w"...: byte order, count and one type code.
std::optional<Format> parse_format(const char* text) {
    std::string_view format = text == nullptr ? "B" : text;
    bool big_endian = std::endian::native == std::endian::big;
    if (!format.empty() && std::string_view("@=<>!").find(format[0]) != std::string_view::npos) {
        if (format[0] == '<') big_endian = false;
        if (format[0] == '>' || format[0] == '!') big_endian = true;
        format.remove_prefix(1);
    }
    std::size_t repeat = 0;
    bool has_repeat = false;
    while (!format.empty() && format[0] >= '0' && format[0] <= '9') {
        repeat = repeat * 10 + static_cast<std::size_t>(format[0] - '0');
        has_repeat = true;
        format.remove_prefix(1);
    }
    if (format.size() != 1) return std::nullopt;
    return Format{format[0], big_endian != (std::endian::native == std::endian::big), has_repeat ? repeat : 1};
}

std::optional<NumberKind> kind_of(char code, Py_ssize_t itemsize) {
    const std::string_view signed_codes = "bhilqn";
    const std::string_view unsigned_codes = "BHILQN?";
    const bool is_signed = signed_codes.find(code) != std::string_view::npos;
    const bool is_unsigned = unsigned_codes.find(code) != std::string_view::npos;
    if (is_signed || is_unsigned) {
        switch (itemsize) {
            case 1: return is_signed ? NumberKind::i8 : NumberKind::u8;
            case 2: return is_signed ? NumberKind::i16 : NumberKind::u16;
            case 4: return is_signed ? NumberKind::i32 : NumberKind::u32;
            case 8: return is_signed ? NumberKind::i64 : NumberKind::u64;
            default: return std::nullopt;
        }
    }
    if (code == 'e' && itemsize == 2) return NumberKind::f16;
    if (code == 'f' && itemsize == 4) return NumberKind::f32;
    if (code == 'd' && itemsize == 8) return NumberKind::f64;
    return std::nullopt;
}

// `o`'s buffer when it exports one of numbers of a kind a column reads.
std::optional<Buffer> numeric_buffer(PyObject* o) {
    std::optional<Buffer> buffer = try_buffer(o);
    if (!buffer) return std::nullopt;
    std::optional<Format> format = parse_format(buffer->view().format);
    if (!format || format->repeat != 1 || !kind_of(format->code, buffer->view().itemsize)) return std::nullopt;
    return buffer;
}

std::optional<NumberKind> arrow_number_kind(std::string_view format) {
    if (format.size() != 1) return std::nullopt;
    switch (format[0]) {
        case 'c': return NumberKind::i8;
        case 'C': return NumberKind::u8;
        case 's': return NumberKind::i16;
        case 'S': return NumberKind::u16;
        case 'i': return NumberKind::i32;
        case 'I': return NumberKind::u32;
        case 'l': return NumberKind::i64;
        case 'L': return NumberKind::u64;
        case 'e': return NumberKind::f16;
        case 'f': return NumberKind::f32;
        case 'g': return NumberKind::f64;
        default: return std::nullopt;
    }
}

std::size_t width_of(NumberKind kind) {
    switch (kind) {
        case NumberKind::i8:
        case NumberKind::u8: return 1;
        case NumberKind::i16:
        case NumberKind::u16:
        case NumberKind::f16: return 2;
        case NumberKind::i32:
        case NumberKind::u32:
        case NumberKind::f32: return 4;
        default: return 8;
    }
}

std::size_t one_dimension(const Py_buffer& view, std::string_view name) {
    if (view.ndim != 1) {
        raise_column(PyExc_TypeError, name,
                     "expected a one-dimensional array, got " + std::to_string(view.ndim) + " dimensions");
    }
    return static_cast<std::size_t>(view.shape[0]);
}

std::ptrdiff_t stride_of(const Py_buffer& view, int dimension) {
    return view.strides != nullptr ? view.strides[dimension] : view.itemsize;
}

void append_utf8(LargeBytes& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Blocks are OR-ed whole, a loop the compiler vectorises.
bool is_ascii(const char* p, std::size_t n) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    constexpr std::size_t kBlockWords = 64;
    std::size_t i = 0;
    for (; i + 8 * kBlockWords <= n; i += 8 * kBlockWords) {
        std::uint64_t seen = 0;
        for (std::size_t w = 0; w < kBlockWords; ++w) {
            std::uint64_t word;
            std::memcpy(&word, p + i + 8 * w, 8);
            seen |= word;
        }
        if (seen & kHighBits) return false;
    }
    for (; i < n; ++i) {
        if (static_cast<unsigned char>(p[i]) & 0x80) return false;
    }
    return true;
}

// Well-formed UTF-8: shortest forms, no surrogates, nothing past U+10FFFF.
bool is_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t code;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        const std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > kMaxCodePoint || (code >= kFirstSurrogate && code <= kLastSurrogate)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// Releasing the GIL costs more than scanning a few rows.
constexpr std::size_t kRowsScannedWithoutGil = 4096;

// Whether any of the `length` + 1 offsets is below the one before. Blocks
// of a fixed size, a loop the compiler vectorises.
template <class Offset>
bool any_descending(const Offset* offsets, std::size_t length) {
    constexpr std::size_t kBlock = 16;
    bool descending = false;
    std::size_t i = 0;
    for (; i + kBlock <= length; i += kBlock) {
        Offset drops = 0;
        for (std::size_t j = 0; j < kBlock; ++j) drops |= offsets[i + j + 1] < offsets[i + j] ? -1 : 0;
        descending |= drops != 0;
    }
    for (; i < length; ++i) descending |= offsets[i + 1] < offsets[i];
    return descending;
}

// The first valid row of an array with ordered offsets whose text is not UTF-8.
template <class Offset>
std::optional<std::size_t> first_not_utf8(const arrow::ArrowArray& a, std::size_t length, const Offset* offsets,
                                          const char* data) {
    if (is_ascii(data + offsets[0], static_cast<std::size_t>(offsets[length] - offsets[0]))) return std::nullopt;
    for (std::size_t i = 0; i < length; ++i) {
        if (!arrow::is_valid(a, static_cast<std::int64_t>(i))) continue;
        if (!is_utf8(std::string_view(data + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i]))))
            return i;
    }
    return std::nullopt;
}

// Reading the indices as the values would be wrong without a word.
void refuse_dictionary(const arrow::Import& imported, std::string_view name) {
    if (imported.dictionary_encoded) {
        raise_column(PyExc_TypeError, name, "dictionary-encoded Arrow arrays are not read; decode them first");
    }
}

[[noreturn]] void raise_malformed(std::string_view name, const std::string& what) {
    raise_column(PyExc_ValueError, name, "malformed Arrow array: " + what);
}

}  // namespace

void raise_again_at(std::string_view name, std::size_t index) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
    // Unicode errors take structured arguments: the message goes on a ValueError.
    PyObject* raised = type != nullptr && PyErr_GivenExceptionMatches(type, PyExc_UnicodeError) ? PyExc_ValueError
                       : type != nullptr                                                        ? type
                                                                                                : PyExc_TypeError;
    std::string message = at(name, index);
    if (text != nullptr) {
        const char* utf8 = PyUnicode_AsUTF8(text);
        if (utf8 != nullptr) message += utf8;
    }
    PyErr_Clear();
    Py_INCREF(raised);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    Py_XDECREF(text);
    PyErr_SetString(raised, message.c_str());
    Py_DECREF(raised);
    throw PythonError{};
}

Buffer::Buffer(PyObject* o) : view_(std::make_unique<Py_buffer>()) {
    if (PyObject_GetBuffer(o, view_.get(), PyBUF_RECORDS_RO) != 0) {
        view_.reset();
        throw PythonError{};
    }
}

Buffer::~Buffer() {
    if (view_) PyBuffer_Release(view_.get());
}

double half_to_double(std::uint16_t bits) {
    const bool negative = bits & 0x8000;
    const int exponent = (bits >> 10) & 0x1F;
    const int mantissa = bits & 0x3FF;
    double magnitude;
    if (exponent == 0) {
        magnitude = std::ldexp(mantissa, -24);
    } else if (exponent == 0x1F && mantissa != 0) {
        // The payload moves to the top of the double's mantissa, as numpy moves it.
        constexpr std::uint64_t kExponentOnes = 0x7FF0000000000000ULL;
        constexpr int kPayloadShift = 42;
        return std::bit_cast<double>((std::uint64_t{negative} << 63) | kExponentOnes |
                                     (static_cast<std::uint64_t>(mantissa) << kPayloadShift));
    } else if (exponent == 0x1F) {
        magnitude = std::numeric_limits<double>::infinity();
    } else {
        magnitude = std::ldexp(mantissa + 1024, exponent - 25);
    }
    return negative ? -magnitude : magnitude;
}

// ---------------------------------------------------------------- strings

namespace {

constexpr const char* kStrColumn = "a column of str";
// Room reserved per str before the copying starts; the text grows past it.
constexpr std::size_t kExpectedItemBytes = 16;

}  // namespace

StringColumn::StringColumn(PyObject* o, std::string_view name) : name_(name) {
    refuse_text(o, name, kStrColumn);
    if (arrow::exports_arrow(o)) {
        from_arrow(o);
        return;
    }
    // Other buffers (numpy arrays of objects, of numbers) are read element by
    // element, as the per-item loop would read them.
    if (std::optional<Buffer> buffer = try_buffer(o)) {
        std::optional<Format> format = parse_format(buffer->view().format);
        if (format && format->code == 'w') {
            from_fixed_width_unicode(buffer->view());
            return;
        }
    }
    from_sequence(o);
}

void StringColumn::add_copied_rows() {
    size_ = ends_.size();
    if (size_ > 0) chunks_.push_back({StringChunk::Layout::copied, 0, size_, text_.data(), ends_.data(), nullptr});
}

// The bytes of every str are copied while its object is at hand, one pass
// over the objects: the column then owns its rows, so the core reads them
// without the GIL, and code run by a later argument's conversion (which may
// empty the caller's list) cannot free them.
void StringColumn::from_sequence(PyObject* o) {
    const Ref sequence = as_sequence(o, name_, kStrColumn);
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get()));
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    ends_.reserve(n);
    text_.reserve(n * kExpectedItemBytes);
    for (std::size_t i = 0; i < n; ++i) {
        std::string_view item;
        try {
            item = Convert<std::string_view>::from(items[i]);
        } catch (const PythonError&) {
            raise_again_at(name_, i);
        }
        text_.append(item.data(), item.size());
        ends_.push_back(text_.size());
    }
    add_copied_rows();
}

// Each element holds `width` code points, padded with trailing NULs that are
// not part of the string.
void StringColumn::from_fixed_width_unicode(const Py_buffer& view) {
    const std::size_t count = one_dimension(view, name_);
    const std::size_t width = static_cast<std::size_t>(view.itemsize) / 4;
    const bool swapped = parse_format(view.format)->swapped;
    const std::ptrdiff_t stride = stride_of(view, 0);
    ends_.reserve(count);
    text_.reserve(count * std::min<std::size_t>(width, 16));
    const char* element = static_cast<const char*>(view.buf);
    for (std::size_t i = 0; i < count; ++i, element += stride) {
        std::size_t length = width;
        while (length > 0 && load<std::uint32_t>(element + 4 * (length - 1), swapped) == 0) --length;
        for (std::size_t k = 0; k < length; ++k) {
            const std::uint32_t c = load<std::uint32_t>(element + 4 * k, swapped);
            if (c > kMaxCodePoint) raise(PyExc_ValueError, at(name_, i) + "code point out of range");
            if (c >= kFirstSurrogate && c <= kLastSurrogate)
                raise(PyExc_ValueError, at(name_, i) + "surrogates not allowed");
            append_utf8(text_, c);
        }
        ends_.push_back(text_.size());
    }
    add_copied_rows();
}

void StringColumn::from_arrow(PyObject* o) {
    arrow_ = arrow::import_arrow(o);
    refuse_dictionary(arrow_, name_);
    StringChunk::Layout layout;
    if (arrow_.format == "u") {
        layout = StringChunk::Layout::offsets32;
    } else if (arrow_.format == "U") {
        layout = StringChunk::Layout::offsets64;
    } else if (arrow_.format == "vu") {
        layout = StringChunk::Layout::arrow_views;
    } else {
        raise_column(PyExc_TypeError, name_, "expected an Arrow string array, got format '" + arrow_.format + "'");
    }
    for (const arrow::OwnedArray& owned : arrow_.chunks) {
        const arrow::ArrowArray& a = owned.get();
        StringChunk chunk{layout, size_, static_cast<std::size_t>(a.length), nullptr, nullptr, &a};
        size_ += chunk.length;
        if (chunk.length == 0) continue;
        check_arrow_chunk(chunk);
        chunks_.push_back(chunk);
    }
}

// Every offset and view is checked once, so the loops read only what the
// array owns; text that is not UTF-8 is refused as a str would be.
void StringColumn::check_arrow_chunk(const StringChunk& chunk) const {
    const arrow::ArrowArray& a = *chunk.array;
    if (chunk.layout == StringChunk::Layout::arrow_views) {
        if (a.n_buffers < kViewFixedBuffers || a.buffers[1] == nullptr || a.buffers[a.n_buffers - 1] == nullptr) {
            raise_malformed(name_, "string view buffers missing");
        }
        const auto variadic = a.n_buffers - kViewFixedBuffers;
        const auto* sizes = static_cast<const std::int64_t*>(a.buffers[a.n_buffers - 1]);
        const auto* views = static_cast<const ArrowStringView*>(a.buffers[1]) + a.offset;
        for (std::size_t i = 0; i < chunk.length; ++i) {
            if (!arrow::is_valid(a, static_cast<std::int64_t>(i))) continue;
            const ArrowStringView& v = views[i];
            if (v.length < 0) raise_malformed(name_, "negative string length");
            if (v.length > kInlineViewLength) {
                const std::int32_t buffer = v.prefix_or_inline[1];
                const std::int32_t offset = v.prefix_or_inline[2];
                if (buffer < 0 || buffer >= variadic || offset < 0 ||
                    a.buffers[kViewFixedBuffers - 1 + buffer] == nullptr ||
                    std::int64_t{offset} + v.length > sizes[buffer]) {
                    raise_malformed(name_, "string view out of bounds");
                }
            }
            if (!is_utf8(view_text(a, v))) raise(PyExc_ValueError, at(name_, chunk.first + i) + "invalid UTF-8");
        }
        return;
    }
    if (a.n_buffers < 3 || a.buffers[1] == nullptr) raise_malformed(name_, "string buffers missing");
    if (chunk.layout == StringChunk::Layout::offsets32) {
        check_offsets<std::int32_t>(chunk);
    } else {
        check_offsets<std::int64_t>(chunk);
    }
}

template <class Offset>
void StringColumn::check_offsets(const StringChunk& chunk) const {
    const arrow::ArrowArray& a = *chunk.array;
    const auto* offsets = static_cast<const Offset*>(a.buffers[1]) + a.offset;
    const auto* data = static_cast<const char*>(a.buffers[2]);
    if (offsets[0] < 0) raise_malformed(name_, "negative offset");
    bool descending = false;
    std::optional<std::size_t> not_utf8;
    {
        // The scans read only the array's memory: threads converting their
        // own columns run them in parallel.
        WithoutGil unlocked(chunk.length >= kRowsScannedWithoutGil);
        descending = any_descending(offsets, chunk.length);
        if (!descending && data != nullptr) not_utf8 = first_not_utf8(a, chunk.length, offsets, data);
    }
    if (descending) raise_malformed(name_, "offsets out of order");
    if (offsets[chunk.length] > offsets[0] && data == nullptr) raise_malformed(name_, "string data missing");
    if (not_utf8) raise(PyExc_ValueError, at(name_, chunk.first + *not_utf8) + "invalid UTF-8");
}

// ---------------------------------------------------------------- numbers

std::optional<NumberSource> NumberSource::read(PyObject* o, std::string_view name) {
    if (arrow::exports_arrow(o)) {
        NumberSource source;
        source.from_arrow(arrow::import_arrow(o), name);
        return source;
    }
    std::optional<Buffer> buffer = numeric_buffer(o);
    if (!buffer) return std::nullopt;
    NumberSource source;
    source.from_buffer(std::move(*buffer), name);
    return source;
}

std::optional<NumberSource> NumberSource::read_vector(PyObject* o) {
    std::optional<Buffer> buffer = numeric_buffer(o);
    if (!buffer || buffer->view().ndim != 1) return std::nullopt;
    NumberSource source;
    source.from_buffer(std::move(*buffer), "");
    return source;
}

void NumberSource::from_buffer(Buffer buffer, std::string_view name) {
    const Py_buffer& view = buffer.view();
    const Format format = *parse_format(view.format);
    size_ = one_dimension(view, name);
    if (size_ > 0) {
        chunks_.push_back({*kind_of(format.code, view.itemsize), 0, size_, static_cast<const char*>(view.buf),
                           stride_of(view, 0), format.swapped, nullptr});
    }
    buffer_.emplace(std::move(buffer));
}

void NumberSource::from_arrow(arrow::Import imported, std::string_view name) {
    arrow_ = std::move(imported);
    refuse_dictionary(arrow_, name);
    std::optional<NumberKind> kind = arrow_number_kind(arrow_.format);
    if (!kind)
        raise_column(PyExc_TypeError, name, "expected an Arrow numeric array, got format '" + arrow_.format + "'");
    const std::size_t width = width_of(*kind);
    for (const arrow::OwnedArray& owned : arrow_.chunks) {
        const arrow::ArrowArray& a = owned.get();
        const auto length = static_cast<std::size_t>(a.length);
        if (length > 0) {
            if (a.n_buffers < 2 || a.buffers[1] == nullptr) raise_malformed(name, "value buffer missing");
            const char* base = static_cast<const char*>(a.buffers[1]) + static_cast<std::size_t>(a.offset) * width;
            chunks_.push_back({*kind, size_, length, base, static_cast<std::ptrdiff_t>(width), false,
                               a.buffers[0] != nullptr ? &a : nullptr});
        }
        size_ += length;
    }
}

std::optional<DoubleColumn> DoubleColumn::read_in_place(PyObject* o, std::string_view name) {
    std::optional<NumberSource> source = NumberSource::read(o, name);
    if (!source) return std::nullopt;
    DoubleColumn column(name);
    column.size_ = source->size();
    column.source_.emplace(std::move(*source));
    return column;
}

DoubleColumn::DoubleColumn(PyObject* o, std::string_view name) : name_(name) {
    constexpr const char* kExpected = "a column of numbers";
    refuse_text(o, name, kExpected);
    if (std::optional<NumberSource> source = NumberSource::read(o, name)) {
        size_ = source->size();
        source_.emplace(std::move(*source));
        return;
    }
    Ref sequence = as_sequence(o, name, kExpected);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.get());
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    owned_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        try {
            owned_.push_back(Convert<double>::from(items[i]));
        } catch (const PythonError&) {
            raise_again_at(name, static_cast<std::size_t>(i));
        }
    }
    size_ = owned_.size();
}

DenseDoubles DoubleColumn::dense() const {
    DenseDoubles out{std::vector<double>(size_), std::vector<bool>(size_, true)};
    for_each([&out](std::size_t i, double v) {
        out.values[i] = v;
        out.null[i] = false;
    });
    return out;
}

template <class T>
IntegerColumn<T>::IntegerColumn(PyObject* o, std::string_view name) : name_(name) {
    constexpr const char* kExpected = "a column of integers";
    refuse_text(o, name, kExpected);
    if (std::optional<NumberSource> source = NumberSource::read(o, name)) {
        from_source(*source);
        return;
    }
    Ref sequence = as_sequence(o, name, kExpected);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.get());
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    values_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        try {
            values_.push_back(Convert<T>::from(items[i]));
        } catch (const PythonError&) {
            raise_again_at(name, static_cast<std::size_t>(i));
        }
    }
}

template <class T>
void IntegerColumn<T>::from_source(const NumberSource& source) {
    for (const NumberChunk& chunk : source.chunks()) {
        if (chunk.is_float()) raise_column(PyExc_TypeError, name_, "expected integers, got floating-point numbers");
    }
    values_.assign(source.size(), 0);
    null_.assign(source.size(), true);
    auto take = [this](std::size_t i, auto raw) {
        using Raw = decltype(raw);
        if constexpr (std::is_floating_point_v<Raw>) {
            return;  // refused above
        } else {
            if constexpr (std::is_unsigned_v<T> && std::is_signed_v<Raw>) {
                if (raw < 0) raise(PyExc_OverflowError, at(name_, i) + "can't convert negative int to unsigned");
            }
            if constexpr (std::is_signed_v<T> && std::is_unsigned_v<Raw>) {
                if (raw > static_cast<std::make_unsigned_t<T>>(std::numeric_limits<T>::max())) {
                    raise(PyExc_OverflowError, at(name_, i) + "int too big to convert");
                }
            }
            values_[i] = static_cast<T>(raw);
            null_[i] = false;
        }
    };
    for (const NumberChunk& chunk : source.chunks()) chunk.visit(take);
}

template class IntegerColumn<std::uint64_t>;
template class IntegerColumn<std::int64_t>;

RowsColumn::RowsColumn(PyObject* o, std::string_view name) : name_(name) {
    constexpr const char* kExpected = "a two-dimensional array or a sequence of rows";
    refuse_text(o, name, kExpected);
    if (std::optional<Buffer> buffer = try_buffer(o)) {
        const Py_buffer& view = buffer->view();
        std::optional<Format> format = parse_format(view.format);
        std::optional<NumberKind> kind =
            format && format->repeat == 1 ? kind_of(format->code, view.itemsize) : std::nullopt;
        if (kind && view.ndim == 2) {
            const auto rows = static_cast<std::size_t>(view.shape[0]);
            const auto columns = static_cast<std::size_t>(view.shape[1]);
            rows_.assign(rows, std::vector<double>(columns));
            for (std::size_t r = 0; r < rows; ++r) {
                NumberChunk row{
                    *kind,
                    0,
                    columns,
                    static_cast<const char*>(view.buf) + static_cast<std::ptrdiff_t>(r) * stride_of(view, 0),
                    stride_of(view, 1),
                    format->swapped,
                    nullptr};
                std::vector<double>& out = rows_[r];
                auto take = [&out](std::size_t i, auto raw) { out[i] = static_cast<double>(raw); };
                row.visit(take);
            }
            return;
        }
    }
    Ref sequence = as_sequence(o, name, kExpected);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.get());
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    rows_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        try {
            rows_.push_back(Convert<std::vector<double>>::from(items[i]));
        } catch (const PythonError&) {
            raise_again_at(name, static_cast<std::size_t>(i));
        }
    }
}

DoubleBatch::DoubleBatch(PyObject* o, std::string_view name) {
    if (std::optional<DoubleColumn> column = DoubleColumn::read_in_place(o, name)) {
        values.reserve(column->size());
        column->for_each([this](std::size_t, double v) { values.push_back(v); });
        return;
    }
    try {
        values = Convert<std::vector<double>>::from(o);
    } catch (const PythonError&) {
        prefix_type_error(name);
        throw;
    }
}

DoubleSpan::DoubleSpan(PyObject* o, std::string_view name) {
    if (read_exact_floats(o) || read_buffer(o)) return;
    read_any_sequence(o, name);
}

DoubleSpan::DoubleSpan(DoubleSpan&& other) noexcept
    : size_(other.size_), external_(other.external_), source_(std::move(other.source_)), heap_(std::move(other.heap_)) {
    if (external_ == nullptr && heap_.empty()) std::copy_n(other.inline_.data(), size_, inline_.data());
}

double* DoubleSpan::room(std::size_t n) {
    size_ = n;
    if (n <= kInline) return inline_.data();
    heap_.resize(n);
    return heap_.data();
}

// Other elements may run Python code when converted; they take the general
// path from the start.
bool DoubleSpan::read_exact_floats(PyObject* o) {
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return false;
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(o));
    PyObject** items = PySequence_Fast_ITEMS(o);
    double* out = room(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!PyFloat_CheckExact(items[i])) return false;
        out[i] = PyFloat_AS_DOUBLE(items[i]);
    }
    return true;
}

bool DoubleSpan::read_buffer(PyObject* o) {
    if (!PyObject_CheckBuffer(o)) return false;
    std::optional<NumberSource> source = NumberSource::read_vector(o);
    if (!source) return false;
    source_.emplace(std::move(*source));
    const std::vector<NumberChunk>& chunks = source_->chunks();
    if (chunks.empty()) {
        size_ = 0;
        return true;
    }
    const NumberChunk& chunk = chunks.front();
    if (const double* direct = chunk.native_doubles()) {
        external_ = direct;
        size_ = chunk.length;
        return true;
    }
    double* out = room(chunk.length);
    auto take = [out](std::size_t i, auto raw) { out[i] = static_cast<double>(raw); };
    chunk.visit(take);
    return true;
}

void DoubleSpan::read_any_sequence(PyObject* o, std::string_view name) {
    try {
        heap_ = Convert<std::vector<double>>::from(o);
    } catch (const PythonError&) {
        prefix_type_error(name);
        throw;
    }
    size_ = heap_.size();
}

namespace bulk {

void raise_length_mismatch(std::string_view first, std::size_t first_size, std::string_view second,
                           std::size_t second_size) {
    raise(PyExc_ValueError, std::string(first) + " and " + std::string(second) + " differ in length: " +
                                std::to_string(first_size) + " and " + std::to_string(second_size));
}

}  // namespace bulk

}  // namespace quillo::py
