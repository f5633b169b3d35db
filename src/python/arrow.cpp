#include "python/arrow.hpp"

#include <utility>

#include "python/frame.hpp"

namespace quillo::py::arrow {

namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// A reference owned for the length of a scope.
class Owned {
public:
    explicit Owned(PyObject* o) : o_(o) {
        if (o == nullptr) throw PythonError{};
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_DECREF(o_); }
    PyObject* get() const { return o_; }

private:
    PyObject* o_;
};

template <class Struct>
Struct* capsule_pointer(PyObject* capsule, const char* name) {
    void* pointer = PyCapsule_GetPointer(capsule, name);
    if (pointer == nullptr) throw PythonError{};
    return static_cast<Struct*>(pointer);
}

// Moves a struct out of its capsule: the capsule's destructor then finds it
// released and leaves it alone.
template <class Struct>
Struct take(Struct* source) {
    Struct taken = *source;
    source->release = nullptr;
    return taken;
}

class SchemaHolder {
public:
    explicit SchemaHolder(const ArrowSchema& schema) : schema_(schema) {}
    SchemaHolder(const SchemaHolder&) = delete;
    SchemaHolder& operator=(const SchemaHolder&) = delete;
    ~SchemaHolder() {
        if (schema_.release != nullptr) schema_.release(&schema_);
    }
    // The format and whether it is that of dictionary indices.
    void describe(Import& imported) const {
        if (schema_.release == nullptr || schema_.format == nullptr)
            raise(PyExc_ValueError, "Arrow schema without a format");
        imported.format = schema_.format;
        imported.dictionary_encoded = schema_.dictionary != nullptr;
    }

private:
    ArrowSchema schema_;
};

void check_array(const ArrowArray& array) {
    if (array.release == nullptr || array.length < 0 || array.offset < 0 || array.n_buffers < 1 ||
        array.buffers == nullptr) {
        raise(PyExc_ValueError, "malformed Arrow array");
    }
}

class StreamHolder {
public:
    explicit StreamHolder(const ArrowArrayStream& stream) : stream_(stream) {}
    StreamHolder(const StreamHolder&) = delete;
    StreamHolder& operator=(const StreamHolder&) = delete;
    ~StreamHolder() {
        if (stream_.release != nullptr) stream_.release(&stream_);
    }

    void describe(Import& imported) {
        ArrowSchema schema{};
        if (stream_.get_schema(&stream_, &schema) != 0) fail_with_last_error();
        SchemaHolder(schema).describe(imported);
    }

    // The next array, or nothing at the end of the stream.
    bool next(std::vector<OwnedArray>& chunks) {
        ArrowArray array{};
        if (stream_.get_next(&stream_, &array) != 0) fail_with_last_error();
        if (array.release == nullptr) return false;
        chunks.emplace_back(array);
        check_array(chunks.back().get());
        return true;
    }

private:
    [[noreturn]] void fail_with_last_error() {
        const char* message = stream_.get_last_error(&stream_);
        raise(PyExc_ValueError, std::string("Arrow stream failed: ") + (message ? message : "unknown error"));
    }

    ArrowArrayStream stream_;
};

Import import_stream(PyObject* o) {
    Owned capsule(PyObject_CallMethod(o, "__arrow_c_stream__", nullptr));
    StreamHolder stream(take(capsule_pointer<ArrowArrayStream>(capsule.get(), kStreamCapsule)));
    Import imported;
    stream.describe(imported);
    while (stream.next(imported.chunks)) {
    }
    return imported;
}

Import import_array(PyObject* o) {
    Owned pair(PyObject_CallMethod(o, "__arrow_c_array__", nullptr));
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        raise(PyExc_TypeError, "__arrow_c_array__ must return a (schema, array) pair of capsules");
    }
    SchemaHolder schema(take(capsule_pointer<ArrowSchema>(PyTuple_GET_ITEM(pair.get(), 0), kSchemaCapsule)));
    Import imported;
    schema.describe(imported);
    imported.chunks.emplace_back(take(capsule_pointer<ArrowArray>(PyTuple_GET_ITEM(pair.get(), 1), kArrayCapsule)));
    check_array(imported.chunks.back().get());
    return imported;
}

}  // namespace

bool exports_arrow(PyObject* o) {
    return PyObject_HasAttrString(o, "__arrow_c_stream__") || PyObject_HasAttrString(o, "__arrow_c_array__");
}

// A stream covers chunked columns too, so it is preferred.
Import import_arrow(PyObject* o) {
    if (PyObject_HasAttrString(o, "__arrow_c_stream__")) return import_stream(o);
    return import_array(o);
}

}  // namespace quillo::py::arrow
