#pragma once
// The calling frame: every constructor and method of every class is declared
// once with its parameter names and the core function it runs; the frame
// parses fast-call arguments, takes the instance's access flag, converts each
// argument by the parameter's C++ type, maps core errors to Python exceptions
// and converts the result.
//
// Conversions by C++ parameter type:
//   std::string_view              item: str only, its cached UTF-8 bytes
//   std::string                   item: str only, a copy of its UTF-8 bytes
//                                 (for sequence elements, which may not
//                                 outlive their conversion)
//   std::span<const std::uint8_t> data: bytes only
//   8/16/32-bit integers          range-checked signed 64-bit value
//   64-bit integers, size_t       the interpreter's own conversion
//   double                        float, int or __float__
//   bool                          bool or numpy bool
//   std::vector<T>                any sequence but str, element by element
//   std::span<const double>       the numbers of a batch query (python/columns.hpp):
//                                 as std::vector<double>, buffers read in place
//   std::optional<T>              None or missing gives nullopt
//   a number named with_default() None or missing gives the declared default
//   a number named none_means()   None gives the declared default
//   Nullable<T>                   a required parameter that accepts None
//   const S& (a summary state)    an instance of S's class, borrowed shared
//   columns (python/columns.hpp)  a whole column of strings or numbers
// Results: void -> None, numbers, bool, std::string -> str,
// std::vector<std::uint8_t> -> bytes, other vectors -> list, pair/tuple ->
// tuple, optional -> value or None, Stats -> dict, a summary state -> a new
// instance of its class.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/stats.hpp"

namespace quillo::py {

// Thrown once a Python exception is set; the frame returns NULL.
struct PythonError {};

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}
[[noreturn]] inline void raise(PyObject* type, const std::string& message) { raise(type, message.c_str()); }
[[noreturn]] void raise_panic(const std::string& message);

PyObject* panic_exception_type();

// A parameter or method name fixed at compile time. A numeric parameter may
// carry a default, used when it is given None and, unless the parameter is
// required, when it is omitted.
template <std::size_t N>
struct Name {
    char text[N];
    bool has_default = false;
    bool required = true;
    double default_value = 0.0;
    constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }
    constexpr Name(const char (&s)[N], double value, bool is_required)
        : has_default(true), required(is_required), default_value(value) {
        std::copy_n(s, N, text);
    }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// `.constructor<&S::create, with_default("lg_k", kDefaultLgK)>()`: lg_k=None.
template <std::size_t N>
consteval Name<N> with_default(const char (&s)[N], double value) {
    return Name<N>(s, value, false);
}

// A required parameter for which None stands for `value`.
template <std::size_t N>
consteval Name<N> none_means(const char (&s)[N], double value) {
    return Name<N>(s, value, true);
}

// ---------------------------------------------------------------- instances

template <class State>
struct Object {
    PyObject_HEAD
    // 0: free; n > 0: n shared holders; kExclusive: one exclusive holder.
    std::atomic<Py_ssize_t> access;
    unsigned long thread;
    State state;
};

inline constexpr Py_ssize_t kExclusive = -1;

// Per summary state type: its class object, name and thread binding, set when
// the class is built.
template <class State>
struct ClassOf {
    static inline PyTypeObject* type = nullptr;
    static inline const char* name = "";
    static inline bool thread_bound = false;
};

// Holds shared or exclusive access for the duration of a call.
class Access {
public:
    Access(std::atomic<Py_ssize_t>& flag, bool exclusive) : flag_(&flag), exclusive_(exclusive) {
        if (exclusive) {
            Py_ssize_t expected = 0;
            if (!flag.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
                raise(PyExc_RuntimeError, "Already borrowed");
            }
            return;
        }
        if (!share(flag)) raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
    // Shared access, or nothing while an exclusive holder has the instance.
    static std::optional<Access> try_shared(std::atomic<Py_ssize_t>& flag) {
        if (!share(flag)) return std::nullopt;
        return Access(flag);
    }
    Access(Access&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_) {}
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    ~Access() {
        if (!flag_) return;
        if (exclusive_) {
            flag_->store(0, std::memory_order_release);
        } else {
            flag_->fetch_sub(1, std::memory_order_release);
        }
    }

private:
    // Adopts a shared hold already counted in `flag`.
    explicit Access(std::atomic<Py_ssize_t>& flag) : flag_(&flag), exclusive_(false) {}

    static bool share(std::atomic<Py_ssize_t>& flag) {
        Py_ssize_t current = flag.load(std::memory_order_relaxed);
        do {
            if (current == kExclusive) return false;
        } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
        return true;
    }

    std::atomic<Py_ssize_t>* flag_;
    bool exclusive_;
};

template <class State>
void check_thread(const Object<State>* object) {
    if (ClassOf<State>::thread_bound && object->thread != PyThread_get_thread_ident()) {
        raise_panic(std::string("quillo::") + ClassOf<State>::name + " is unsendable, but sent to another thread");
    }
}

template <class State>
PyObject* new_instance(State&& state) {
    PyTypeObject* type = ClassOf<State>::type;
    if (type == nullptr) raise_panic("class not initialised");
    PyObject* raw = type->tp_alloc(type, 0);
    if (raw == nullptr) throw PythonError{};
    auto* object = reinterpret_cast<Object<State>*>(raw);
    new (&object->access) std::atomic<Py_ssize_t>(0);
    object->thread = PyThread_get_thread_ident();
    new (&object->state) State(std::move(state));
    return raw;
}

// ---------------------------------------------------------------- argument conversion

std::string_view type_name(PyObject* object);
[[noreturn]] void raise_cannot_convert(PyObject* object, std::string_view target);
[[noreturn]] void raise_out_of_range();

template <class T>
struct Convert;

template <>
struct Convert<std::string_view> {
    static std::string_view from(PyObject* o) {
        if (!PyUnicode_Check(o)) raise_cannot_convert(o, "PyString");
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
        if (utf8 == nullptr) throw PythonError{};
        return {utf8, static_cast<std::size_t>(size)};
    }
};

template <>
struct Convert<std::string> {
    static std::string from(PyObject* o) { return std::string(Convert<std::string_view>::from(o)); }
};

template <>
struct Convert<std::span<const std::uint8_t>> {
    static std::span<const std::uint8_t> from(PyObject* o) {
        if (!PyBytes_Check(o)) raise_cannot_convert(o, "PyBytes");
        return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o)),
                static_cast<std::size_t>(PyBytes_GET_SIZE(o))};
    }
};

template <>
struct Convert<bool> {
    static bool from(PyObject* o);
};

template <>
struct Convert<double> {
    static double from(PyObject* o) {
        if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
        double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
        return v;
    }
};

long long read_signed_64(PyObject* o);
unsigned long long read_unsigned_64(PyObject* o);

template <class T>
    requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
struct Convert<T> {
    static T from(PyObject* o) {
        if constexpr (sizeof(T) == 8 && std::is_unsigned_v<T>) {
            return static_cast<T>(read_unsigned_64(o));
        } else if constexpr (sizeof(T) == 8) {
            return static_cast<T>(read_signed_64(o));
        } else {
            long long v = read_signed_64(o);
            if (!std::in_range<T>(v)) raise_out_of_range();
            return static_cast<T>(v);
        }
    }
};

void check_sequence(PyObject* o);

template <class T>
struct Convert<std::vector<T>> {
    // Each element is released once converted, so a view into it could dangle.
    static_assert(!std::is_same_v<T, std::string_view>, "take a sequence of strings as std::vector<std::string>");

    static std::vector<T> from(PyObject* o) {
        check_sequence(o);
        Py_ssize_t length = PySequence_Size(o);
        if (length < 0) throw PythonError{};
        std::vector<T> out;
        // A sequence may report a length it does not deliver.
        constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;
        out.reserve(static_cast<std::size_t>(std::min(length, kMaxReserve)));
        PyObject* iterator = PyObject_GetIter(o);
        if (iterator == nullptr) throw PythonError{};
        while (PyObject* element = PyIter_Next(iterator)) {
            try {
                out.push_back(Convert<T>::from(element));
            } catch (...) {
                Py_DECREF(element);
                Py_DECREF(iterator);
                throw;
            }
            Py_DECREF(element);
        }
        Py_DECREF(iterator);
        if (PyErr_Occurred()) throw PythonError{};
        return out;
    }
};

// An argument after conversion; holders of summary arguments keep their
// shared access until the call ends.
template <class T>
struct Held {
    explicit Held(PyObject* o) : value(Convert<T>::from(o)) {}
    explicit Held(T v)
        requires std::is_arithmetic_v<T>
        : value(v) {}
    T& get() { return value; }
    T value;
};

template <class T>
struct Held<std::optional<T>> {
    explicit Held(PyObject* o) {
        if (o != nullptr && o != Py_None) value = Convert<T>::from(o);
    }
    std::optional<T>& get() { return value; }
    std::optional<T> value;
};

// A required parameter whose value may be None (given as nullopt).
template <class T>
struct Nullable : std::optional<T> {
    using std::optional<T>::optional;
};

template <class T>
struct Held<Nullable<T>> {
    explicit Held(PyObject* o) {
        if (o != Py_None) value = Convert<T>::from(o);
    }
    Nullable<T>& get() { return value; }
    Nullable<T> value;
};

template <class S>
struct SummaryArg {
    explicit SummaryArg(PyObject* o) : object(borrow(o)), access(object->access, false) {}
    const S& get() { return object->state; }

    static Object<S>* borrow(PyObject* o) {
        if (Py_TYPE(o) != ClassOf<S>::type) raise_cannot_convert(o, ClassOf<S>::name);
        auto* object = reinterpret_cast<Object<S>*>(o);
        check_thread(object);
        return object;
    }

    Object<S>* object;
    Access access;
};

template <class P>
struct HolderFor {
    using type = Held<std::remove_cvref_t<P>>;
};
// A class parameter taken by const reference that is not a container is a
// summary state.
template <class S>
    requires(std::is_class_v<S> && !requires { typename S::value_type; })
struct HolderFor<const S&> {
    using type = SummaryArg<S>;
};

// Converts one argument; a TypeError from the conversion is reported as
// "argument '<name>': <message>", other exceptions propagate unchanged.
void prefix_type_error(std::string_view parameter);

template <class P>
typename HolderFor<P>::type convert_argument(PyObject* o, std::string_view parameter,
                                             std::optional<double> fallback = std::nullopt) {
    using Holder = typename HolderFor<P>::type;
    if constexpr (std::is_arithmetic_v<std::remove_cvref_t<P>>) {
        if (fallback && (o == nullptr || o == Py_None)) return Holder(static_cast<std::remove_cvref_t<P>>(*fallback));
    }
    // A holder built with its parameter's name (a column) names the failing
    // position in its own messages.
    if constexpr (std::is_constructible_v<Holder, PyObject*, std::string_view>) {
        return Holder(o, parameter);
    } else {
        try {
            return Holder(o);
        } catch (const PythonError&) {
            prefix_type_error(parameter);
            throw;
        }
    }
}

// ---------------------------------------------------------------- results

inline PyObject* checked(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return result;
}

PyObject* stats_to_dict(const Stats& stats);

template <class T>
PyObject* to_python(T&& value);

// Each element goes into the tuple as soon as it is converted, so that when a
// later one fails the tuple's release frees the earlier ones (empty places
// are skipped).
template <class Tuple, std::size_t... I>
PyObject* tuple_to_python(Tuple&& t, std::index_sequence<I...>) {
    PyObject* tuple = checked(PyTuple_New(sizeof...(I)));
    try {
        (PyTuple_SET_ITEM(tuple, I, to_python(std::get<I>(std::forward<Tuple>(t)))), ...);
    } catch (...) {
        Py_DECREF(tuple);
        throw;
    }
    return tuple;
}

template <class>
inline constexpr bool is_tuple_like = false;
template <class... A>
inline constexpr bool is_tuple_like<std::tuple<A...>> = true;
template <class A, class B>
inline constexpr bool is_tuple_like<std::pair<A, B>> = true;
template <class>
inline constexpr bool is_vector = false;
template <class T>
inline constexpr bool is_vector<std::vector<T>> = true;
template <class>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

template <class T>
PyObject* to_python(T&& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<V, bool>) {
        return Py_NewRef(value ? Py_True : Py_False);
    } else if constexpr (std::is_floating_point_v<V>) {
        return checked(PyFloat_FromDouble(static_cast<double>(value)));
    } else if constexpr (std::is_integral_v<V> && std::is_signed_v<V>) {
        return checked(PyLong_FromLongLong(value));
    } else if constexpr (std::is_integral_v<V>) {
        return checked(PyLong_FromUnsignedLongLong(value));
    } else if constexpr (std::is_same_v<V, std::string> || std::is_same_v<V, std::string_view>) {
        return checked(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
    } else if constexpr (std::is_same_v<V, std::vector<std::uint8_t>>) {
        return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.data()),
                                                 static_cast<Py_ssize_t>(value.size())));
    } else if constexpr (std::is_same_v<V, Stats>) {
        return stats_to_dict(value);
    } else if constexpr (is_optional<V>) {
        if (!value) Py_RETURN_NONE;
        return to_python(*std::forward<T>(value));
    } else if constexpr (is_tuple_like<V>) {
        return tuple_to_python(std::forward<T>(value), std::make_index_sequence<std::tuple_size_v<V>>{});
    } else if constexpr (is_vector<V>) {
        PyObject* list = checked(PyList_New(static_cast<Py_ssize_t>(value.size())));
        Py_ssize_t i = 0;
        for (auto&& element : value) {
            PyObject* item;
            try {
                item = to_python(std::move(element));
            } catch (...) {
                Py_DECREF(list);
                throw;
            }
            PyList_SET_ITEM(list, i++, item);
        }
        return list;
    } else {
        return new_instance<V>(V(std::forward<T>(value)));
    }
}

// ---------------------------------------------------------------- calls

// Runs `body`, turning every failure into a set Python exception and NULL.
PyObject* report_current_exception() noexcept;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return report_current_exception();
    }
}

struct Signature {
    std::string_view method;
    const std::string_view* params;
    std::size_t count;
    std::size_t required;
    // The parameter names as interned strings, made on the first keyword
    // call: the names a caller's code spells out are interned too, so a
    // keyword is usually found by its pointer alone.
    PyObject** interned = nullptr;
};

// Matches positional and keyword arguments to parameters. `slots` receives
// one borrowed reference per parameter (NULL when an optional one is absent).
// Returns the array to read arguments from.
PyObject* const* parse_arguments(const char* class_name, const Signature& signature, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Result = R;
    using Params = std::tuple<A...>;
};
template <class R, class C, class... A>
struct FnTraits<R (C::*)(A...)> {
    using Result = R;
    using Self = C&;
    using Params = std::tuple<A...>;
};
template <class R, class C, class... A>
struct FnTraits<R (C::*)(A...) const> {
    using Result = R;
    using Self = const C&;
    using Params = std::tuple<A...>;
};

// For a free function taking the instance first: its self parameter and the rest.
template <class F>
struct FreeMethodTraits;
template <class R, class S, class... A>
struct FreeMethodTraits<R (*)(S&, A...)> {
    using Result = R;
    using Self = S&;
    using Params = std::tuple<A...>;
};

template <auto Fn>
using MethodTraits = std::conditional_t<std::is_member_function_pointer_v<decltype(Fn)>, FnTraits<decltype(Fn)>,
                                        FreeMethodTraits<decltype(Fn)>>;

template <class T>
inline constexpr bool is_optional_param = is_optional<std::remove_cvref_t<T>>;

// A default must be exact in the parameter's own type.
template <class P>
constexpr bool default_fits(double value) {
    using V = std::remove_cvref_t<P>;
    if constexpr (std::is_arithmetic_v<V>) {
        return static_cast<double>(static_cast<V>(value)) == value;
    } else {
        return false;
    }
}

template <class Params, Name... Names>
struct Declared;
template <class... A, Name... Names>
struct Declared<std::tuple<A...>, Names...> {
    static_assert(sizeof...(A) == sizeof...(Names), "one name per parameter");
    static_assert(((!Names.has_default || default_fits<A>(Names.default_value)) && ...),
                  "a default is given only to a numeric parameter, in its own type");
    static constexpr std::size_t count = sizeof...(A);
    // Omitted or None: nullopt for an optional parameter, its default for a defaulted one.
    static constexpr std::array<bool, count + 1> optional{(is_optional_param<A> || !Names.required)..., true};
    static constexpr std::size_t required =
        count - static_cast<std::size_t>(std::count(optional.begin(), optional.begin() + count, true));
    static_assert(std::find(optional.begin(), optional.begin() + required, true) == optional.begin() + required,
                  "optional parameters come last");
    static constexpr std::array<std::string_view, count> names{Names.view()...};
    static constexpr std::array<std::optional<double>, count> defaults{
        (Names.has_default ? std::optional<double>(Names.default_value) : std::nullopt)...};
    static inline std::array<PyObject*, count> interned{};
};

// Calls `fn(self..., converted arguments...)` and converts the result.
template <class Params, class Result>
struct Invoker;
template <class... A, class Result>
struct Invoker<std::tuple<A...>, Result> {
    template <class Decl, class Fn, class... Self, std::size_t... I>
    static PyObject* run(Fn&& fn, PyObject* const* slots, std::index_sequence<I...>, Self&... self) {
        // Braced initialisation converts the arguments left to right.
        std::tuple<typename HolderFor<A>::type...> held{
            convert_argument<A>(slots[I], Decl::names[I], Decl::defaults[I])...};
        if constexpr (std::is_void_v<Result>) {
            std::invoke(fn, self..., std::get<I>(held).get()...);
            Py_RETURN_NONE;
        } else {
            return to_python(std::invoke(fn, self..., std::get<I>(held).get()...));
        }
    }
};

template <class Params, class Result, class Decl, class Fn, class... Self>
PyObject* invoke(Fn&& fn, PyObject* const* slots, Self&... self) {
    return Invoker<Params, Result>::template run<Decl>(std::forward<Fn>(fn), slots,
                                                       std::make_index_sequence<std::tuple_size_v<Params>>{}, self...);
}

template <class State, Name MethodName, auto Fn, Name... Params>
PyObject* instance_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Traits = MethodTraits<Fn>;
    using Decl = Declared<typename Traits::Params, Params...>;
    constexpr bool exclusive = !std::is_const_v<std::remove_reference_t<typename Traits::Self>>;
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{MethodName.view(), Decl::names.data(), Decl::count, Decl::required,
                                             Decl::interned.data()};
        std::array<PyObject*, Decl::count + 1> buffer;
        PyObject* const* slots = parse_arguments(ClassOf<State>::name, signature, args, nargs, kwnames, buffer.data());
        auto* object = reinterpret_cast<Object<State>*>(self);
        check_thread(object);
        Access access(object->access, exclusive);
        return invoke<typename Traits::Params, typename Traits::Result, Decl>(Fn, slots, object->state);
    });
}

template <class State, Name MethodName, auto Fn, Name... Params>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Traits = FnTraits<decltype(Fn)>;
    using Decl = Declared<typename Traits::Params, Params...>;
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{MethodName.view(), Decl::names.data(), Decl::count, Decl::required,
                                             Decl::interned.data()};
        std::array<PyObject*, Decl::count + 1> buffer;
        PyObject* const* slots = parse_arguments(ClassOf<State>::name, signature, args, nargs, kwnames, buffer.data());
        return invoke<typename Traits::Params, typename Traits::Result, Decl>(Fn, slots);
    });
}

// The constructor receives a tuple and a dict; it is not a hot path, so the
// arguments are laid out in fast-call form and parsed the same way.
PyObject* call_with_tuple(PyObject* args, PyObject* kwargs,
                          PyObject* (*fast)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*));

template <class State, auto Fn, Name... Params>
PyObject* construct_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return static_method<State, "__new__", Fn, Params...>(nullptr, args, nargs, kwnames);
}

template <class State, auto Fn, Name... Params>
PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return call_with_tuple(args, kwargs, &construct_fast<State, Fn, Params...>);
}

// (Class.from_bytes, (self.to_bytes(),)) for pickling and copying.
PyObject* reduce_result(PyObject* self, std::vector<std::uint8_t>&& image);

template <class State, auto ToBytes>
PyObject* reduce_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"__reduce__", nullptr, 0, 0};
        PyObject* buffer[1];
        parse_arguments(ClassOf<State>::name, signature, args, nargs, kwnames, buffer);
        auto* object = reinterpret_cast<Object<State>*>(self);
        check_thread(object);
        Access access(object->access, false);
        return reduce_result(self, std::invoke(ToBytes, object->state));
    });
}

// sys.getsizeof: the instance record plus the heap bytes its state owns. It
// only reads sizes, so a thread-bound instance answers on any thread.
template <class State>
PyObject* sizeof_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"__sizeof__", nullptr, 0, 0};
        PyObject* buffer[1];
        parse_arguments(ClassOf<State>::name, signature, args, nargs, kwnames, buffer);
        auto* object = reinterpret_cast<Object<State>*>(self);
        Access access(object->access, false);
        return to_python(sizeof(Object<State>) + object->state.heap_bytes());
    });
}

// The text inside "Name(...)" of an instance's repr: sizing parameters and
// one headline figure, e.g. `lg_k=12, estimate≈1523.4`.
class Description {
public:
    template <class T>
        requires std::is_integral_v<T>
    Description& exact(std::string_view name, T value) {
        if constexpr (std::is_same_v<T, bool>) {
            return field(name, "=", value ? "True" : "False");
        } else {
            return field(name, "=", std::to_string(+value));
        }
    }
    Description& exact(std::string_view name, std::string_view text);
    // An estimate, to one decimal.
    Description& approx(std::string_view name, double value);
    // A small figure such as a probability, to three significant digits.
    Description& approx_small(std::string_view name, double value);
    const std::string& text() const { return text_; }

private:
    Description& field(std::string_view name, std::string_view sign, std::string_view value);

    std::string text_;
};

// "Name(<description>)". An instance held exclusively (a repr called from
// inside one of its own mutations) or bound to another thread cannot be read
// and gets a plain placeholder instead of an exception.
PyObject* described(const char* class_name, const Description& description);
PyObject* undescribable(const char* class_name, const char* reason);

template <class State>
using Describer = Description (*)(const State&);

template <class State, Describer<State> Describe>
PyObject* repr_slot(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        auto* object = reinterpret_cast<Object<State>*>(self);
        const char* name = ClassOf<State>::name;
        if (ClassOf<State>::thread_bound && object->thread != PyThread_get_thread_ident()) {
            return undescribable(name, "bound to another thread");
        }
        std::optional<Access> access = Access::try_shared(object->access);
        if (!access) return undescribable(name, "mutably borrowed");
        return described(name, Describe(object->state));
    });
}

// Tells the unraisable-exception hook that a thread-bound instance is being
// dropped on a thread that does not own it. An instance may be dropped while
// an exception unwinds the stack; that exception is set aside and restored.
void report_foreign_drop(PyTypeObject* type, const char* class_name);

template <class State>
void dealloc(PyObject* self) {
    auto* object = reinterpret_cast<Object<State>*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (ClassOf<State>::thread_bound && object->thread != PyThread_get_thread_ident()) {
        // The state belongs to another thread: it is leaked, not dropped here.
        report_foreign_drop(type, ClassOf<State>::name);
    } else {
        object->state.~State();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------- classes

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Everything about one class that is not a template: names, docs, methods.
class ClassBuilder {
public:
    ClassBuilder(const char* name, const char* doc) : name_(name), doc_(doc) {}

    void set_constructor(newfunc fn, std::string signature) {
        new_ = fn;
        signature_ = std::move(signature);
    }
    void set_repr(reprfunc fn) { repr_ = fn; }
    void add(const char* name, FastMethod fn, bool is_static, std::string docstring);
    PyTypeObject* build(std::size_t basicsize, destructor dealloc);
    const char* name() const { return name_; }

private:
    const char* name_;
    const char* doc_;
    newfunc new_ = nullptr;
    reprfunc repr_ = nullptr;
    std::string signature_;
    std::vector<PyMethodDef> methods_;
};

// "(a, b=None)" from parameter names and which of them are optional.
std::string text_signature(std::string_view self, const std::string_view* names, const bool* optional,
                           std::size_t count);

template <class Params, Name... Names>
std::string signature_of(std::string_view self) {
    using Decl = Declared<Params, Names...>;
    return text_signature(self, Decl::names.data(), Decl::optional.data(), Decl::count);
}

// A state made by its own constructor, for classes that have no factory:
// `.constructor<&new_state<S, std::uint64_t>, "capacity">()`.
template <class S, class... A>
S new_state(A... args) {
    return S(args...);
}

// Declares one class: `Class<S>("Name", "doc").constructor<&make, "a">()
// .method<"m", &S::m, "x">("doc").build()`. Whether a method is a query
// (shared access) or a mutation (exclusive access) follows from the constness
// of its state parameter.
template <class State>
class Class {
public:
    Class(const char* name, const char* doc) : builder_(name, doc) { ClassOf<State>::name = name; }

    Class& thread_bound() {
        ClassOf<State>::thread_bound = true;
        return *this;
    }

    template <auto Fn, Name... Params>
    Class& constructor() {
        builder_.set_constructor(&construct<State, Fn, Params...>,
                                 signature_of<typename FnTraits<decltype(Fn)>::Params, Params...>(""));
        return *this;
    }

    template <Name MethodName, auto Fn, Name... Params>
    Class& method(const char* doc) {
        std::string sig = signature_of<typename MethodTraits<Fn>::Params, Params...>("$self");
        builder_.add(MethodName.text, &instance_method<State, MethodName, Fn, Params...>, false,
                     docstring(MethodName.view(), sig, doc));
        return *this;
    }

    template <Name MethodName, auto Fn, Name... Params>
    Class& static_method(const char* doc) {
        std::string sig = signature_of<typename FnTraits<decltype(Fn)>::Params, Params...>("");
        builder_.add(MethodName.text, &py::static_method<State, MethodName, Fn, Params...>, true,
                     docstring(MethodName.view(), sig, doc));
        return *this;
    }

    // to_bytes, static from_bytes and __reduce__.
    template <auto ToBytes, auto FromBytes, Name DataParam = Name("data")>
    Class& bytes(const char* to_doc, const char* from_doc, const char* reduce_doc) {
        method<"to_bytes", ToBytes>(to_doc);
        static_method<"from_bytes", FromBytes, DataParam>(from_doc);
        builder_.add("__reduce__", &reduce_method<State, ToBytes>, false,
                     docstring("__reduce__", "($self)", reduce_doc));
        return *this;
    }

    // repr(): `Describe(const State&)` gives the Description of an instance;
    // it is read with shared access, like a query, and must be cheap.
    template <Describer<State> Describe>
    Class& repr() {
        builder_.set_repr(&repr_slot<State, Describe>);
        return *this;
    }

    PyTypeObject* build() {
        builder_.add("__sizeof__", &sizeof_method<State>, false,
                     docstring("__sizeof__", "($self)", "Size of the object in memory, in bytes."));
        PyTypeObject* type = builder_.build(sizeof(Object<State>), &dealloc<State>);
        ClassOf<State>::type = type;
        return type;
    }

private:
    static std::string docstring(std::string_view name, const std::string& signature, const char* doc) {
        return std::string(name) + signature + "\n--\n\n" + doc;
    }

    ClassBuilder builder_;
};

}  // namespace quillo::py
