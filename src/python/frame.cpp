#include "python/frame.hpp"

#include <charconv>
#include <cmath>
#include <deque>
#include <new>
#include <stdexcept>

namespace quillo::py {

namespace {

std::string full_name(const char* class_name, std::string_view method) {
    return std::string(class_name) + "." + std::string(method) + "()";
}

[[noreturn]] void too_many_positional(const std::string& name, const Signature& s, Py_ssize_t given) {
    std::string takes = s.required == s.count ? std::to_string(s.count)
                                              : "from " + std::to_string(s.required) + " to " + std::to_string(s.count);
    raise(PyExc_TypeError, name + " takes " + takes + " positional arguments but " + std::to_string(given) + " " +
                               (given == 1 ? "was" : "were") + " given");
}

[[noreturn]] void missing_required(const std::string& name, const std::vector<std::string_view>& missing) {
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += i + 1 == missing.size() ? " and " : ", ";
        list += "'" + std::string(missing[i]) + "'";
    }
    raise(PyExc_TypeError, name + " missing " + std::to_string(missing.size()) + " required positional argument" +
                               (missing.size() == 1 ? "" : "s") + ": " + list);
}

std::string_view utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) throw PythonError{};
    return {utf8, static_cast<std::size_t>(size)};
}

// Docstrings and method tables live as long as the type objects: for ever.
template <class T>
T& keep(T value) {
    static std::deque<T> kept;
    return kept.emplace_back(std::move(value));
}

}  // namespace

PyObject* panic_exception_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc("quillo.PanicException",
                                                      "The exception raised when an internal check of quillo fails.",
                                                      PyExc_BaseException, nullptr);
    return type;
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message.c_str());
    throw PythonError{};
}

std::string_view type_name(PyObject* object) {
    std::string_view name = Py_TYPE(object)->tp_name;
    std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

void raise_cannot_convert(PyObject* object, std::string_view target) {
    raise(PyExc_TypeError,
          "'" + std::string(type_name(object)) + "' object cannot be converted to '" + std::string(target) + "'");
}

void raise_out_of_range() { raise(PyExc_OverflowError, "out of range integral type conversion attempted"); }

bool Convert<bool>::from(PyObject* o) {
    if (PyBool_Check(o)) return o == Py_True;
    std::string_view name = Py_TYPE(o)->tp_name;
    if (name == "numpy.bool_" || name == "numpy.bool") {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) throw PythonError{};
        return truth == 1;
    }
    raise_cannot_convert(o, "PyBool");
}

long long read_signed_64(PyObject* o) {
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    return v;
}

unsigned long long read_unsigned_64(PyObject* o) {
    PyObject* index = PyNumber_Index(o);
    if (index == nullptr) throw PythonError{};
    unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return v;
}

void check_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) raise_cannot_convert(o, "Sequence");
}

void prefix_type_error(std::string_view parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = PyObject_Str(value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    if (text == nullptr) return;
    const char* message = PyUnicode_AsUTF8(text);
    if (message != nullptr) {
        std::string prefixed = "argument '" + std::string(parameter) + "': " + message;
        PyErr_SetString(PyExc_TypeError, prefixed.c_str());
    }
    Py_DECREF(text);
}

PyObject* stats_to_dict(const Stats& stats) {
    PyObject* dict = checked(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyDict_Type)));
    try {
        for (const auto& [key, value] : stats.entries()) {
            PyObject* item = std::visit([](const auto& v) { return to_python(v); }, value);
            int status = PyDict_SetItemString(dict, key.c_str(), item);
            Py_DECREF(item);
            if (status < 0) throw PythonError{};
        }
    } catch (...) {
        Py_DECREF(dict);
        throw;
    }
    return dict;
}

PyObject* report_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
    } catch (const Error& error) {
        if (error.kind() == Error::Kind::value) {
            PyErr_SetString(PyExc_ValueError, error.message().c_str());
        } else {
            PyObject* type = panic_exception_type();
            if (type != nullptr) PyErr_SetString(type, error.message().c_str());
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyObject* type = panic_exception_type();
        if (type != nullptr) PyErr_SetString(type, error.what());
    } catch (...) {
        PyObject* type = panic_exception_type();
        if (type != nullptr) PyErr_SetString(type, "unknown internal failure");
    }
    return nullptr;
}

namespace {

// The exception in flight, if any, held aside while another is reported.
class PendingException {
public:
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;
#if PY_VERSION_HEX >= 0x030C0000
    PendingException() : raised_(PyErr_GetRaisedException()) {}
    ~PendingException() { PyErr_SetRaisedException(raised_); }

private:
    PyObject* raised_;
#else
    PendingException() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingException() { PyErr_Restore(type_, value_, traceback_); }

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
#endif
};

}  // namespace

void report_foreign_drop(PyTypeObject* type, const char* class_name) {
    PendingException pending;
    PyObject* error =
        PyUnicode_FromFormat("quillo::%s is unsendable, but is being dropped on another thread", class_name);
    if (error != nullptr) {
        PyErr_SetObject(PyExc_RuntimeError, error);
        Py_DECREF(error);
    }
    // Not the instance: its count is zero, and a hook that keeps and drops it
    // would run its deallocation again.
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
}

namespace {

void intern_names(const Signature& s) {
    for (std::size_t i = 0; i < s.count; ++i) {
        if (s.interned[i] != nullptr) continue;
        PyObject* name = PyUnicode_FromStringAndSize(s.params[i].data(), static_cast<Py_ssize_t>(s.params[i].size()));
        if (name == nullptr) throw PythonError{};
        PyUnicode_InternInPlace(&name);
        s.interned[i] = name;  // kept for the life of the process
    }
}

// The position of the parameter named `keyword`: by identity with the
// interned names first, by text for names built at run time.
std::size_t parameter_index(const char* class_name, const Signature& s, PyObject* keyword) {
    if (s.count > 0 && s.interned[s.count - 1] == nullptr) intern_names(s);
    for (std::size_t i = 0; i < s.count; ++i) {
        if (s.interned[i] == keyword) return i;
    }
    const std::string_view text = utf8_of(keyword);
    const std::string_view* found = std::find(s.params, s.params + s.count, text);
    if (found == s.params + s.count) {
        raise(PyExc_TypeError,
              full_name(class_name, s.method) + " got an unexpected keyword argument '" + std::string(text) + "'");
    }
    return static_cast<std::size_t>(found - s.params);
}

}  // namespace

PyObject* const* parse_arguments(const char* class_name, const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0 && static_cast<std::size_t>(nargs) == s.count) return args;
    if (static_cast<std::size_t>(nargs) > s.count) too_many_positional(full_name(class_name, s.method), s, nargs);
    std::fill(slots, slots + s.count, nullptr);
    std::copy(args, args + nargs, slots);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t index = parameter_index(class_name, s, keyword);
        if (slots[index] != nullptr) {
            raise(PyExc_TypeError, full_name(class_name, s.method) + " got multiple values for argument '" +
                                       std::string(s.params[index]) + "'");
        }
        slots[index] = args[nargs + k];
    }
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < s.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(s.params[i]);
    }
    if (!missing.empty()) missing_required(full_name(class_name, s.method), missing);
    return slots;
}

PyObject* call_with_tuple(PyObject* args, PyObject* kwargs, FastMethod fast) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = PySequence_Fast_ITEMS(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return fast(nullptr, positional, nargs, nullptr);
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    std::vector<PyObject*> stack(positional, positional + nargs);
    PyObject* kwnames = PyTuple_New(nkw);
    if (kwnames == nullptr) return nullptr;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    for (Py_ssize_t k = 0; PyDict_Next(kwargs, &position, &key, &value); ++k) {
        PyTuple_SET_ITEM(kwnames, k, Py_NewRef(key));
        stack.push_back(value);
    }
    PyObject* result = fast(nullptr, stack.data(), nargs, kwnames);
    Py_DECREF(kwnames);
    return result;
}

PyObject* reduce_result(PyObject* self, std::vector<std::uint8_t>&& image) {
    PyObject* from_bytes = checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
    PyObject* bytes =
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(image.data()), static_cast<Py_ssize_t>(image.size()));
    if (bytes == nullptr) {
        Py_DECREF(from_bytes);
        throw PythonError{};
    }
    return checked(Py_BuildValue("(N(N))", from_bytes, bytes));
}

std::string text_signature(std::string_view self, const std::string_view* names, const bool* optional,
                           std::size_t count) {
    std::string out = "(" + std::string(self);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 || !self.empty()) out += ", ";
        out += names[i];
        if (optional[i]) out += "=None";
    }
    return out + ")";
}

namespace {

// Estimates are shown to one decimal; beyond this size every double is
// already a whole number and scaling by ten could overflow.
constexpr double kLargestRounded = 1e15;
constexpr int kSmallFigureDigits = 3;

double to_one_decimal(double value) {
    if (!std::isfinite(value) || std::fabs(value) >= kLargestRounded) return value;
    return std::round(value * 10.0) / 10.0;
}

double to_significant_digits(double value, int digits) {
    if (!std::isfinite(value) || value == 0.0) return value;
    char buffer[32];
    const auto written =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, digits - 1);
    double rounded = value;
    std::from_chars(buffer, written.ptr, rounded);
    return rounded;
}

// The text of repr(float): the shortest digits that read back.
std::string float_text(double value) {
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) throw PythonError{};
    std::string out(text);
    PyMem_Free(text);
    return out;
}

}  // namespace

Description& Description::field(std::string_view name, std::string_view sign, std::string_view value) {
    if (!text_.empty()) text_ += ", ";
    text_.append(name).append(sign).append(value);
    return *this;
}

Description& Description::exact(std::string_view name, std::string_view text) {
    return field(name, "=", "'" + std::string(text) + "'");
}

Description& Description::approx(std::string_view name, double value) {
    return field(name, "≈", float_text(to_one_decimal(value)));
}

Description& Description::approx_small(std::string_view name, double value) {
    return field(name, "≈", float_text(to_significant_digits(value, kSmallFigureDigits)));
}

PyObject* described(const char* class_name, const Description& description) {
    const std::string text = std::string(class_name) + "(" + description.text() + ")";
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* undescribable(const char* class_name, const char* reason) {
    return checked(PyUnicode_FromFormat("<quillo.%s %s>", class_name, reason));
}

void ClassBuilder::add(const char* name, FastMethod fn, bool is_static, std::string docstring) {
    const std::string& doc = keep(std::move(docstring));
    int flags = METH_FASTCALL | METH_KEYWORDS | (is_static ? METH_STATIC : 0);
    methods_.push_back({name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), flags, doc.c_str()});
}

PyTypeObject* ClassBuilder::build(std::size_t basicsize, destructor dealloc) {
    methods_.push_back({nullptr, nullptr, 0, nullptr});
    std::vector<PyMethodDef>& methods = keep(methods_);
    const std::string& qualified = keep("quillo." + std::string(name_));
    const std::string& doc = keep(std::string(name_) + signature_ + "\n--\n\n" + doc_);
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(new_)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_methods, methods.data()},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_repr, reinterpret_cast<void*>(repr_)},
        {0, nullptr},
    };
    PyType_Spec type_spec{qualified.c_str(), static_cast<int>(basicsize), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace quillo::py
