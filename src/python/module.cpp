// The module initialiser: builds the classes of the table in its order and
// adds them, `__all__` and `__version__` to the module.
#include "python/classes.hpp"

namespace {

constexpr const char* kVersion = QUILLO_VERSION;

struct ClassEntry {
    const char* name;
    PyTypeObject* (*build)();
};

#define QUILLO_CLASS_ENTRY(name, build) {#name, &quillo::py::build},
constexpr ClassEntry kClasses[] = {QUILLO_CLASSES(QUILLO_CLASS_ENTRY)};
#undef QUILLO_CLASS_ENTRY

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
    for (const ClassEntry& entry : kClasses) {
        if (!ok) break;
        ok = export_name(module, all, entry.name, reinterpret_cast<PyObject*>(entry.build()));
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

// Found by the interpreter through its name alone.
PyMODINIT_FUNC PyInit_quillo();

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
