// One declaration per entry point. A signature table lists the parameters in order, each with
// its converter and, when optional, its default; the keyword list, the counts, the defaults and
// the text signature all come from it. The `_impl` receives converted C++ values in parameter
// order and never converts a PyObject* itself:
//
//     constexpr auto clip_sig = signature("clip", param<F64>("min"), param<F64>("max"), shared_self<Array64>);
//     Ref clip_impl(double lo, double hi, const Array64& self);
//     PyMethodDef clip_def = def<clip_sig, clip_impl, Class::array>();
//
// Conversions run in list order, so the position of the self marker says when the instance is
// borrowed: before the arguments convert (shown first) or after (shown last). A signature with
// a self marker is an instance method; one without is a module function (Class::none) or a
// static method of its class. The text signature always names `$self` first.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/binding.hpp"
#include "python/state.hpp"

namespace veltrix::py {

// ---------------------------------------------------------------------------------------------
// Converters: `type` is what the _impl receives, `from` converts (nothing with a Python error
// set when the object does not fit), `render` writes a default into the text signature.

struct NoDefault {};

struct F64 {
    using type = double;
    using default_type = double;
    static std::optional<double> from(PyObject* o) { return to_f64(o); }
    static std::string render(double v);
};
struct Index {
    using type = u64;
    using default_type = u64;
    static std::optional<u64> from(PyObject* o) { return to_index(o); }
    static std::string render(u64 v) { return std::to_string(v); }
};
struct I64 {
    using type = i64;
    using default_type = i64;
    static std::optional<i64> from(PyObject* o) { return to_i64(o); }
    static std::string render(i64 v) { return std::to_string(v); }
};
struct Indices {
    using type = std::vector<u64>;
    using default_type = NoDefault;
    static std::optional<type> from(PyObject* o);
};
// A sequence of indices whose element count fits.
struct ShapeArg {
    using type = Shape;
    using default_type = NoDefault;
    static std::optional<Shape> from(PyObject* o);
};
struct Floats {
    using type = std::vector<double>;
    using default_type = NoDefault;
    static std::optional<type> from(PyObject* o);
};
struct ArrayCopies {
    using type = std::vector<Array64>;
    using default_type = NoDefault;
    static std::optional<type> from(PyObject* o);
};
struct Text {
    using type = std::string;
    using default_type = NoDefault;
    static std::optional<std::string> from(PyObject* o) { return to_text(o); }
};
// An Array argument, borrowed (shared) for the call; the _impl receives `const Array64&`.
struct ArrayArg {
    using type = ArrayRef;
    using default_type = NoDefault;
    static std::optional<ArrayRef> from(PyObject* o);
};
struct ArrayCopy {
    using type = Array64;
    using default_type = NoDefault;
    static std::optional<Array64> from(PyObject* o) { return to_array_copy(o); }
};
struct VecOrArrayArg {
    using type = VecOrArray;
    using default_type = NoDefault;
    static std::optional<VecOrArray> from(PyObject* o) { return to_vec_or_array(o); }
};
struct ArrayOrScalarArg {
    using type = ArrayOrScalar;
    using default_type = NoDefault;
    static std::optional<ArrayOrScalar> from(PyObject* o) { return to_array_or_scalar(o); }
};
// The object itself, borrowed, for arguments whose reading depends on the instance.
struct Object {
    using type = PyObject*;
    using default_type = NoDefault;
    static std::optional<PyObject*> from(PyObject* o) { return o; }
};

// An option string: lower-cased with the full Unicode mapping, then matched by `Lookup`; a
// mismatch raises ValueError `Refusal(text as passed)`. The default is written as its name.
template <class E, std::optional<E> (*Lookup)(std::string_view) noexcept,
          std::string (*Refusal)(const std::string&)>
struct Choice {
    using type = E;
    using default_type = const char*;
    static std::optional<E> from(PyObject* o) {
        const std::optional<std::string> lowered = to_lower_text(o);
        if (!lowered) return std::nullopt;
        if (const std::optional<E> v = Lookup(*lowered)) return v;
        raise(PyExc_ValueError, Refusal(*to_text(o)));
    }
    static E absent(const char* name) { return *Lookup(name); }
    static std::string render(const char* name) { return std::string("\"") + name + "\""; }
};

// A Choice whose object is only checked to be a str when it converts; its name is matched
// when the _impl calls `parse()`, after every argument has converted.
template <class C>
struct Later {
    PyObject* object;  // nullptr: absent or None, so the default applies
    typename C::type fallback;
    typename C::type parse() const {
        if (!object) return fallback;
        std::optional<typename C::type> v = C::from(object);
        if (!v) throw PyErrSet{};
        return *v;
    }
};
template <class C>
struct LateChoice {
    using type = Later<C>;
    using default_type = const char*;
    static std::optional<type> from(PyObject* o) {
        if (!to_text(o)) return std::nullopt;
        return type{o, {}};
    }
    static type absent(const char* name) { return type{nullptr, C::absent(name)}; }
    static std::string render(const char* name) { return C::render(name); }
};

// ---------------------------------------------------------------------------------------------
// Parameters

enum class Presence {
    required,
    optional,          // default None: the _impl receives std::optional, empty for absent or None
    defaulted,         // absent or None gives the default
    defaulted_strict,  // absent gives the default; None converts like any other value
};

template <class C, Presence P>
struct Param {
    using conv = C;
    static constexpr Presence presence = P;
    const char* name;
    typename C::default_type fallback{};
};

template <class C>
constexpr Param<C, Presence::required> param(const char* name) {
    return {name, {}};
}
template <class C>
constexpr Param<C, Presence::defaulted> param(const char* name, typename C::default_type fallback) {
    return {name, fallback};
}
template <class C>
constexpr Param<C, Presence::optional> optional_param(const char* name) {
    return {name, {}};
}
template <class C>
constexpr Param<C, Presence::defaulted_strict> strict_param(const char* name,
                                                            typename C::default_type fallback) {
    return {name, fallback};
}

// Self markers: the instance borrowed shared (the _impl receives `const T&`) or exclusive
// (`T&`), or the object itself (`PyObject*`).
template <class T>
struct SharedSelf {};
template <class T>
struct ExclusiveSelf {};
struct ObjectSelf {};
template <class T>
inline constexpr SharedSelf<T> shared_self{};
template <class T>
inline constexpr ExclusiveSelf<T> exclusive_self{};
inline constexpr ObjectSelf object_self{};

template <class P>
inline constexpr bool is_self = false;
template <class T>
inline constexpr bool is_self<SharedSelf<T>> = true;
template <class T>
inline constexpr bool is_self<ExclusiveSelf<T>> = true;
template <>
inline constexpr bool is_self<ObjectSelf> = true;

// ---------------------------------------------------------------------------------------------
// Signatures


// What the argument parser needs; built from a signature at compile time.
struct ParseSpec {
    const char* name;
    const char* cls;  // owning class for methods and static methods, nullptr for functions
    const char* params[max_params];
    std::size_t n_params;
    std::size_t n_required;
};

template <class... P>
struct Signature {
    const char* name;
    std::tuple<P...> params;

    static constexpr bool has_self = (is_self<P> || ...);
    static constexpr std::size_t arity = (std::size_t{!is_self<P>} + ... + 0);
    static_assert(arity <= max_params);
    static_assert((std::size_t{is_self<P>} + ... + 0) <= 1, "one self marker at most");
};

template <class... P>
constexpr Signature<P...> signature(const char* name, P... params) {
    return {name, {params...}};
}

// Matches positional and keyword arguments to the parameters; NULL-filled for absent ones.
bool parse_args(const ParseSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept;

// Reports the pending conversion error under the parameter `name`, then throws: a TypeError
// becomes "argument '{name}': ..." with the original as its cause, anything else passes.
[[noreturn]] void fail_argument(const char* name);

// Converts one object as parameter `name` outside a signature (the value of a slot).
template <class C>
typename C::type convert_argument(const char* name, PyObject* o) {
    std::optional<typename C::type> v = C::from(o);
    if (!v) fail_argument(name);
    return std::move(*v);
}

// One parameter as the text signature writes it: its name and its default, if any.
struct SignatureParam {
    const char* name;
    std::optional<std::string> fallback;
};

// Records an entry point in the private `veltrix._signatures` table under its call name
// ("zeros", "Array.zeros", "Array" for a constructor) and returns its docstring, the text
// signature "{doc_name}([$self, ]params)\n--\n\n", kept for the life of the process.
const char* register_signature(const std::string& key, const char* doc_name, bool has_self,
                               std::vector<SignatureParam> params);

namespace frame {

template <class P>
struct slot {
    using type = std::conditional_t<P::presence == Presence::optional,
                                    std::optional<typename P::conv::type>, typename P::conv::type>;
};
template <class T>
struct slot<SharedSelf<T>> {
    using type = Borrowed<T>;
};
template <class T>
struct slot<ExclusiveSelf<T>> {
    using type = BorrowedMut<T>;
};
template <>
struct slot<ObjectSelf> {
    using type = PyObject*;
};

template <class T>
const T& pass(Borrowed<T>& b) {
    return b.get();
}
template <class T>
T& pass(BorrowedMut<T>& b) {
    return b.get();
}
template <class T>
T&& pass(T& v) {
    return std::move(v);
}

template <class T>
Borrowed<T> take_self(SharedSelf<T>, PyObject* self) {
    return Borrowed<T>(reinterpret_cast<Instance<T>*>(self));
}
template <class T>
BorrowedMut<T> take_self(ExclusiveSelf<T>, PyObject* self) {
    return BorrowedMut<T>(reinterpret_cast<Instance<T>*>(self));
}
inline PyObject* take_self(ObjectSelf, PyObject* self) { return self; }

// Converts parameter `p`, the argument at position A of the parsed values.
template <std::size_t A, class P>
typename slot<P>::type convert(const P& p, PyObject* self, PyObject* const* values) {
    if constexpr (is_self<P>) {
        return take_self(p, self);
    } else {
        using C = typename P::conv;
        PyObject* o = values[A];
        if constexpr (P::presence == Presence::optional) {
            if (!o || o == Py_None) return std::nullopt;
        } else if constexpr (P::presence != Presence::required) {
            if (!o || (P::presence == Presence::defaulted && o == Py_None)) {
                if constexpr (requires { C::absent(p.fallback); })
                    return C::absent(p.fallback);
                else
                    return p.fallback;
            }
        }
        std::optional<typename C::type> v = C::from(o);
        if (!v) fail_argument(p.name);
        return std::move(*v);
    }
}

template <class Tuple, std::size_t I>
constexpr std::size_t argument_position() {
    return []<std::size_t... J>(std::index_sequence<J...>) {
        return (std::size_t{!is_self<std::tuple_element_t<J, Tuple>>} + ... + 0);
    }(std::make_index_sequence<I>{});
}

// Converts every parameter in order, then calls the _impl with the values.
template <const auto& S, auto F>
Ref call(PyObject* self, PyObject* const* values) {
    using Tuple = decltype(S.params);
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        // Braced initialisation converts strictly left to right.
        std::tuple<typename slot<std::tuple_element_t<I, Tuple>>::type...> slots{
            convert<argument_position<Tuple, I>()>(std::get<I>(S.params), self, values)...};
        return F(pass(std::get<I>(slots))...);
    }(std::make_index_sequence<std::tuple_size_v<Tuple>>{});
}

template <const auto& S>
constexpr ParseSpec parse_spec(Class owner) {
    ParseSpec spec{S.name, class_name(owner), {}, 0, 0};
    std::apply(
        [&](const auto&... p) {
            auto add = [&](const auto& q) {
                using Q = std::remove_cvref_t<decltype(q)>;
                if constexpr (!is_self<Q>) {
                    spec.params[spec.n_params++] = q.name;
                    if (Q::presence == Presence::required) ++spec.n_required;
                }
            };
            (add(p), ...);
        },
        S.params);
    return spec;
}

template <const auto& S, auto F, Class O>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr ParseSpec spec = parse_spec<S>(O);
    PyObject* values[spec.n_params ? spec.n_params : 1] = {};
    if (!parse_args(spec, args, nargs, kwnames, values)) return nullptr;
    return guarded([&] { return call<S, F>(self, values); });
}

template <const auto& S, auto F>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
    return guarded([&] { return call<S, F>(self, nullptr); });
}

// A type's tp_new: the tuple and dict of the call, re-shaped into the fast-call layout.
template <const auto& S, auto F, Class O>
PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return fastcall<S, F, O>(nullptr, PySequence_Fast_ITEMS(args), nargs, nullptr);
    std::vector<PyObject*> flat(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) flat[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return nullptr;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k, key);
        flat[static_cast<std::size_t>(nargs + k)] = value;
        ++k;
    }
    return fastcall<S, F, O>(nullptr, flat.data(), nargs, kwnames.get());
}

template <class P>
std::optional<std::string> default_text(const P& p) {
    if constexpr (P::presence == Presence::required)
        return std::nullopt;
    else if constexpr (P::presence == Presence::optional)
        return std::string("None");
    else
        return P::conv::render(p.fallback);
}

template <const auto& S>
const char* document(const std::string& key, const char* doc_name) {
    std::vector<SignatureParam> params;
    std::apply(
        [&](const auto&... p) {
            auto add = [&](const auto& q) {
                if constexpr (!is_self<std::remove_cvref_t<decltype(q)>>) params.push_back({q.name, default_text(q)});
            };
            (add(p), ...);
        },
        S.params);
    return register_signature(key, doc_name, std::remove_cvref_t<decltype(S)>::has_self, std::move(params));
}

inline std::string call_name(const char* cls, const char* name) {
    return cls ? std::string(cls) + "." + name : std::string(name);
}

}  // namespace frame

// The method-table entry of signature S implemented by F, owned by class O (Class::none for
// a module function). No parameters make a METH_NOARGS entry.
template <const auto& S, auto F, Class O = Class::none>
PyMethodDef def() {
    using Sig = std::remove_cvref_t<decltype(S)>;
    static_assert(O != Class::none || !Sig::has_self, "a method needs its class");
    const int kind = (O != Class::none && !Sig::has_self) ? METH_STATIC : 0;
    const char* doc = frame::document<S>(frame::call_name(class_name(O), S.name), S.name);
    if constexpr (Sig::arity == 0)
        return {S.name, &frame::noargs<S, F>, METH_NOARGS | kind, doc};
    else
        return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&frame::fastcall<S, F, O>)),
                METH_FASTCALL | METH_KEYWORDS | kind, doc};
}

// The constructor of class O: its tp_new and its docstring (the class's text signature).
// S names it "__new__", as argument errors report it.
template <const auto& S, auto F, Class O>
struct Constructor {
    static constexpr newfunc new_slot = &frame::construct<S, F, O>;
    static const char* doc() {
        static const char* text = frame::document<S>(class_name(O), class_name(O));
        return text;
    }
};

}  // namespace veltrix::py
