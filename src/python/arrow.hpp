#pragma once
// A small reader of the Arrow C Data Interface: takes the arrays an object
// exports through `__arrow_c_array__` or `__arrow_c_stream__` and keeps them
// alive until the column that reads them is dropped. No Arrow library is
// needed; the structs are the interface's own, fixed by its ABI.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quillo::py::arrow {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

// One exported array, released when dropped.
class OwnedArray {
public:
    explicit OwnedArray(const ArrowArray& array) : array_(array) {}
    OwnedArray(OwnedArray&& other) noexcept : array_(other.array_) { other.array_.release = nullptr; }
    OwnedArray& operator=(OwnedArray&&) = delete;
    OwnedArray(const OwnedArray&) = delete;
    ~OwnedArray() {
        if (array_.release != nullptr) array_.release(&array_);
    }
    const ArrowArray& get() const { return array_; }

private:
    ArrowArray array_;
};

// The arrays of one exported column and the format of their type
// ("u" string, "U" large string, "vu" string view, "g" float64, ...).
struct Import {
    std::string format;
    // The arrays hold indices into a dictionary, `format` being theirs.
    bool dictionary_encoded = false;
    std::vector<OwnedArray> chunks;
};

// Whether `o` exports Arrow data through the PyCapsule interface.
bool exports_arrow(PyObject* o);

// Imports every array `o` exports; a Python error is raised (PythonError) when
// the export fails or is malformed.
Import import_arrow(PyObject* o);

// Whether row `i` of `array` (counted from the array's own offset) holds a value.
inline bool is_valid(const ArrowArray& array, std::int64_t i) {
    const auto* validity = static_cast<const std::uint8_t*>(array.buffers[0]);
    if (validity == nullptr) return true;
    const std::int64_t bit = array.offset + i;
    return (validity[bit >> 3] >> (bit & 7)) & 1;
}

}  // namespace quillo::py::arrow
