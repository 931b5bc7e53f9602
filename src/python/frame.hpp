// One declaration per entry point. A signature lists the parameters in order, each with its
// converter and, when optional, its default; the keyword list, the counts, the defaults and the
// text signature all come from it. The `_impl` receives converted C++ values in list order:
//
//     constexpr auto clip_sig = signature("clip", param<F64>("min"), param<F64>("max"), shared_self<Array64>);
//     Ref clip_impl(double lo, double hi, const Array64& self);
//     PyMethodDef clip_def = def<clip_sig, clip_impl, Class::array>();
//
// Conversions run in list order, so where the self marker stands says when the instance is
// borrowed. A signature with a self marker is an instance method (its text signature names
// `$self` first); one without is a module function (Class::none) or a static method.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/binding.hpp"
#include "python/state.hpp"

namespace veltrix::py {

// ---------------------------------------------------------------------------------------------
// Converters: `type` is what the _impl receives; `from` gives nothing, with the Python error
// set, when the object does not fit. Numbers may have defaults, written by `render`.

struct NoDefault {};

// Defaults as a signature writes them (startup code, kept out of line).
std::string render_number(double v);
std::string render_number(u64 v);
std::string render_number(i64 v);

template <class T, std::optional<T> (*Read)(PyObject*)>
struct Converter {
    using type = T;
    using default_type = std::conditional_t<std::is_arithmetic_v<T>, T, NoDefault>;
    static std::optional<T> from(PyObject* o) { return Read(o); }
    static std::string render(default_type v) { return render_number(v); }
};

inline std::optional<PyObject*> as_object(PyObject* o) { return o; }

using F64 = Converter<double, to_f64>;
using Index = Converter<u64, to_index>;
using I64 = Converter<i64, to_i64>;
using Indices = Converter<std::vector<u64>, to_index_vec>;
using Floats = Converter<std::vector<double>, to_f64_vec>;
using ArrayCopies = Converter<std::vector<Array64>, to_array_vec>;
using ShapeArg = Converter<Shape, to_shape>;                    // indices whose count fits
using ArrayArg = Converter<ArrayRef, to_array_ref>;             // the _impl gets const Array64&
using ArrayOrVec = Converter<Array64, to_array_or_vec>;         // VecOrArray, as one Array
using ArrayOrScalarArg = Converter<ArrayOrScalar, to_array_or_scalar>;
using Object = Converter<PyObject*, as_object>;                 // read by the _impl itself
// A flag, read as `if` reads it.
struct Flag {
    using type = bool;
    using default_type = bool;
    static std::optional<bool> from(PyObject* o) {
        const int t = PyObject_IsTrue(o);
        if (t < 0) return std::nullopt;
        return t != 0;
    }
    static std::string render(bool v) { return v ? "True" : "False"; }
};
// Numbers (binding.hpp) as a matrix or vector argument; the _impl gets const Array64&.
struct NumbersArg {
    using type = Numbers;
    using default_type = NoDefault;
    static std::optional<Numbers> from(PyObject* o, const char* name) { return read_numbers(o, name); }
};

// An option string: lower-cased with the full Unicode mapping, then matched by `Lookup`; a
// mismatch raises ValueError `Refusal(text as passed)`. Its default is written as its name.
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

// A Choice only checked to be a str when it converts; the _impl matches the name with
// `parse()` once every argument has converted.
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
// Parameters and self markers

enum class Presence {
    required,
    optional,          // default None: the _impl gets a std::optional, empty for absent or None
    defaulted,         // absent or None gives the default
    defaulted_strict,  // absent gives the default; None converts like any other value
};

// `slot` is what a parameter converts into; self markers take no argument.
template <class C, Presence P>
struct Param {
    using conv = C;
    using slot = std::conditional_t<P == Presence::optional, std::optional<typename C::type>, typename C::type>;
    static constexpr Presence presence = P;
    static constexpr bool is_self = false;
    const char* name;
    typename C::default_type fallback{};
    bool keyword_only = false;  // after the `*` of the text signature
};

// Parameter `p` made keyword-only; the keyword-only parameters come last.
template <class C, Presence P>
constexpr Param<C, P> keyword_only(Param<C, P> p) {
    p.keyword_only = true;
    return p;
}

template <class C>
constexpr Param<C, Presence::required> param(const char* name) {
    return {name};
}
template <class C>
constexpr Param<C, Presence::defaulted> param(const char* name, typename C::default_type fallback) {
    return {name, fallback};
}
template <class C>
constexpr Param<C, Presence::optional> optional_param(const char* name) {
    return {name};
}
template <class C>
constexpr Param<C, Presence::defaulted_strict> strict_param(const char* name, typename C::default_type fallback) {
    return {name, fallback};
}

// The instance borrowed shared (the _impl gets `const T&`) or exclusive (`T&`), or the object.
template <class Slot>
struct SelfMarker {
    using slot = Slot;
    static constexpr bool is_self = true;
};
template <class T>
inline constexpr SelfMarker<Borrowed<T>> shared_self{};
template <class T>
inline constexpr SelfMarker<BorrowedMut<T>> exclusive_self{};
inline constexpr SelfMarker<PyObject*> object_self{};

// ---------------------------------------------------------------------------------------------
// Signatures

inline constexpr std::size_t max_params = 12;

template <class... P>
struct Signature {
    const char* name;
    std::tuple<P...> params;

    static constexpr bool has_self = (P::is_self || ...);
    static constexpr std::size_t arity = (std::size_t{!P::is_self} + ... + 0);
    static_assert(arity <= max_params && (std::size_t{P::is_self} + ... + 0) <= 1);
};

template <class... P>
constexpr Signature<P...> signature(const char* name, P... params) {
    return {name, {params...}};
}

// The common signature of a function of one array.
constexpr auto of_a(const char* name) { return signature(name, param<ArrayArg>("a")); }

// What the argument parser needs; built from a signature at compile time.
struct ParseSpec {
    const char* name;
    const char* cls;  // owning class for methods and static methods, nullptr for functions
    const char* params[max_params];
    std::size_t n_params;
    std::size_t n_required;
    std::size_t n_positional;  // parameters that may be passed by position
};

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
    bool keyword_only = false;
};

// Records an entry point in the private `veltrix._signatures` table under its call name
// ("zeros", "Array.zeros", "Array" for a constructor) and returns its docstring, the text
// signature "{doc_name}([$self, ]params)\n--\n\n", kept for the life of the process.
const char* register_signature(const std::string& key, const char* doc_name, bool has_self,
                               std::vector<SignatureParam> params);

namespace frame {

template <class T, bool E>
auto& pass(BorrowOf<T, E>& b) {
    return b.get();
}
template <class T>
T&& pass(T& v) {
    return std::move(v);
}
inline const Array64& pass(Numbers& n) { return n.array(); }

// Converts parameter `p` from the argument at position A (self markers take none).
template <std::size_t A, class P>
typename P::slot convert(const P& p, PyObject* self, PyObject* const* values) {
    if constexpr (P::is_self) {
        return typename P::slot(self);
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
        std::optional<typename C::type> v = [&] {
            if constexpr (requires { C::from(o, p.name); })
                return C::from(o, p.name);  // reports its own errors under the parameter's name
            else
                return C::from(o);
        }();
        if (!v) fail_argument(p.name);
        return std::move(*v);
    }
}

template <class Tuple, std::size_t I>
constexpr std::size_t argument_position() {
    return []<std::size_t... J>(std::index_sequence<J...>) {
        return (std::size_t{!std::tuple_element_t<J, Tuple>::is_self} + ... + 0);
    }(std::make_index_sequence<I>{});
}

// Converts every parameter in order, then calls the _impl with the values.
template <const auto& S, auto F>
Ref call(PyObject* self, PyObject* const* values) {
    using Tuple = decltype(S.params);
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        // Braced initialisation converts strictly left to right.
        std::tuple<typename std::tuple_element_t<I, Tuple>::slot...> slots{
            convert<argument_position<Tuple, I>()>(std::get<I>(S.params), self, values)...};
        return F(pass(std::get<I>(slots))...);
    }(std::make_index_sequence<std::tuple_size_v<Tuple>>{});
}

// Calls `f` on each parameter that takes an argument, in order.
template <const auto& S, class F>
constexpr void each_argument(F&& f) {
    auto one = [&](const auto& p) {
        if constexpr (!std::remove_cvref_t<decltype(p)>::is_self) f(p);
    };
    std::apply([&](const auto&... p) { (one(p), ...); }, S.params);
}

template <const auto& S>
constexpr ParseSpec parse_spec(Class owner) {
    ParseSpec spec{S.name, class_name(owner), {}, 0, 0, 0};
    each_argument<S>([&](const auto& p) {
        spec.params[spec.n_params++] = p.name;
        spec.n_required += p.presence == Presence::required;
        spec.n_positional += !p.keyword_only;
    });
    return spec;
}

// The conversions and the call, out of line: one copy serves every class that lists the
// entry point (the three trees share their methods).
template <const auto& S, auto F>
[[gnu::noinline]] PyObject* invoke(PyObject* self, PyObject* const* values) noexcept {
    return guarded([&] { return call<S, F>(self, values); });
}

template <const auto& S, auto F, Class O>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr ParseSpec spec = parse_spec<S>(O);
    PyObject* values[spec.n_params ? spec.n_params : 1] = {};
    if (!parse_args(spec, args, nargs, kwnames, values)) return nullptr;
    return invoke<S, F>(self, values);
}

template <const auto& S, auto F>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
    return guarded([&] { return call<S, F>(self, nullptr); });
}

// Calls `f` with a tuple-and-dict call (a constructor's) flattened into the fast-call layout.
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* call_with_tuple(PyObject* args, PyObject* kwargs, PyObject* self, FastCall f) noexcept;

template <const auto& S, auto F, Class O>
PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return call_with_tuple(args, kwargs, nullptr, &fastcall<S, F, O>);
}

// One parameter of a text signature as data: its default, if any, is written by `render`
// from the value at `fallback` (the signature's own, so it lives as long as the process).
struct ParamDoc {
    const char* name;
    std::string (*render)(const void* fallback);  // null: no default, or None
    const void* fallback;
    bool none_default;
    bool keyword_only;
};

// register_signature for a signature given as data: the code each entry point needs is the
// table, not a loop of its own.
const char* document_params(const std::string& key, const char* doc_name, bool has_self, const ParamDoc* params,
                            std::size_t n);

template <class P>
std::string render_fallback(const void* v) {
    return P::conv::render(*static_cast<const typename P::conv::default_type*>(v));
}

template <const auto& S>
const char* document(const std::string& key, const char* doc_name) {
    static constexpr std::size_t n = [] {
        std::size_t k = 0;
        each_argument<S>([&](const auto&) { ++k; });
        return k;
    }();
    static constexpr std::array<ParamDoc, n> docs = [] {
        std::array<ParamDoc, n> out{};
        std::size_t i = 0;
        each_argument<S>([&](const auto& p) {
            using P = std::remove_cvref_t<decltype(p)>;
            std::string (*render)(const void*) = nullptr;
            if constexpr (P::presence == Presence::defaulted || P::presence == Presence::defaulted_strict)
                render = &render_fallback<P>;
            out[i++] = {p.name, render, &p.fallback, P::presence == Presence::optional, p.keyword_only};
        });
        return out;
    }();
    return document_params(key, doc_name, std::remove_cvref_t<decltype(S)>::has_self, docs.data(), n);
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
    static const char* doc() { return frame::document<S>(class_name(O), class_name(O)); }
};

}  // namespace veltrix::py
