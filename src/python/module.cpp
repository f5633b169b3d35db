// The module initialiser: builds the registered classes in table order and
// adds them, `__all__` and `__version__` to the module.
#include "python/frame.hpp"

namespace quillo::py {
BuildClass registered_class(std::string_view name);
}

namespace {

using quillo::py::BuildClass;

constexpr const char* kVersion = QUILLO_VERSION;

// The order of registration, which is also the order of `__all__`.
constexpr const char* kClassOrder[] = {
    "BloomFilter",       "CountingBloomFilter", "CountMinSketch",
    "CountSketch",       "CpcSketch",           "FrequentStringsSketch",
    "HllSketch",         "HllPlusPlusSketch",   "HllPlusPlusSparseSketch",
    "KllSketch",         "LinearCounter",       "HybridCounter",
    "ReservoirSamplerR", "ReservoirSamplerA",   "WeightedReservoirSampler",
    "StreamSampler",     "TDigest",             "StreamingTDigest",
    "ThetaSketch",       "AodSketch",           "ReqSketch",
    "TupleSketch",       "VarOptSketch",        "HllSketchMode",
    "HllUnion",
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quillo", "Python module definition", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;

// Adds `name` to `__all__` and sets the attribute; steals `value`.
bool export_name(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    PyObject* text = PyUnicode_FromString(name);
    bool ok = text != nullptr && PyList_Append(all, text) == 0 && PyModule_AddObjectRef(module, name, value) == 0;
    Py_XDECREF(text);
    Py_DECREF(value);
    return ok;
}

PyObject* create_module() {
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    PyObject* all = PyList_New(0);
    bool ok = all != nullptr && PyModule_AddObjectRef(module, "__all__", all) == 0;
    for (const char* name : kClassOrder) {
        if (!ok) break;
        BuildClass build = quillo::py::registered_class(name);
        if (build == nullptr) continue;
        ok = export_name(module, all, name, reinterpret_cast<PyObject*>(build()));
    }
    ok = ok && export_name(module, all, "__version__", PyUnicode_FromString(kVersion));
    Py_XDECREF(all);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_quillo() {
    // The module and its type objects are built once per process and would
    // die with the interpreter that built them, so only the main interpreter,
    // which lives as long as the process, may import it.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "quillo does not support sub-interpreters");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);
    if (quillo::py::panic_exception_type() == nullptr) return nullptr;
    the_module = create_module();
    if (the_module == nullptr) return nullptr;
    return Py_NewRef(the_module);
}
