// The binding layer's toolkit: owned references, borrow guards, argument conversions and the
// one place where C++ failures become Python exceptions. Entry points are declared in frame.hpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "array/cancel.hpp"
#include "array/error.hpp"
#include "array/ndarray.hpp"

namespace veltrix::py {

// ---------------------------------------------------------------------------------------------
// Ownership

// Thrown when a Python exception is already set; the fast-call wrapper returns NULL for it.
struct PyErrSet {};

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        std::swap(p_, o.p_);  // the previous object is released with `o`
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// A NULL result of a C-API call means a Python exception is pending.
inline PyObject* check(PyObject* o) {
    if (!o) throw PyErrSet{};
    return o;
}
inline Ref check_new(PyObject* o) { return Ref::steal(check(o)); }
inline void check_status(int status) {
    if (status < 0) throw PyErrSet{};
}

[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raises type(message) with `cause` (may be null) as its __cause__.
[[noreturn]] void raise_with_cause(PyObject* type, const std::string& message, Ref cause);

template <class T>
T unwrap(Result<T>&& r) {
    if (!r) raise(PyExc_ValueError, r.error());
    return std::move(r).value();
}

// ---------------------------------------------------------------------------------------------
// Instances and borrows

// Shared borrows count up; an exclusive borrow is -1.
//
// What the counter guarantees: it is changed only by a thread that holds the interpreter lock
// (taking and dropping a borrow both happen under it), so plain loads and stores are
// race-free between threads and cost nothing on the per-call path. A computation that
// releases the lock (`WithoutGil`) does so inside the scope of the borrows it took, so while
// it runs every other thread sees them: a shared borrow still succeeds, an exclusive one
// fails with "Already borrowed" instead of mutating what the computation reads. The atomic
// type keeps any read without the lock well-defined.
struct BorrowFlag {
    std::atomic<std::int64_t> count{0};

    std::int64_t load() const noexcept { return count.load(std::memory_order_relaxed); }
    void store(std::int64_t v) noexcept { count.store(v, std::memory_order_release); }
};

template <class T>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;
};

[[noreturn]] void raise_borrow_conflict(bool exclusive);

// A borrow of an instance's counter for the guard's life; a conflict raises RuntimeError.
template <bool Exclusive>
class Borrow {
public:
    explicit Borrow(BorrowFlag& f) : f_(&f) {
        const std::int64_t n = f.load();
        if (Exclusive ? n != 0 : n < 0) raise_borrow_conflict(Exclusive);
        f.store(Exclusive ? -1 : n + 1);
    }
    Borrow(Borrow&& o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (f_) f_->store(Exclusive ? 0 : f_->load() - 1);
    }

private:
    BorrowFlag* f_;
};
using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

// The value of an instance (shared: read only), held under a borrow for the guard's life.
template <class T, bool Exclusive>
class BorrowOf {
public:
    using value_type = std::conditional_t<Exclusive, T, const T>;
    explicit BorrowOf(Instance<T>* o) : guard_(o->borrow), value_(&o->value) {}
    explicit BorrowOf(PyObject* o) : BorrowOf(reinterpret_cast<Instance<T>*>(o)) {}
    value_type& get() const noexcept { return *value_; }
    value_type* operator->() const noexcept { return value_; }

private:
    Borrow<Exclusive> guard_;
    value_type* value_;
};
template <class T>
using Borrowed = BorrowOf<T, false>;
template <class T>
using BorrowedMut = BorrowOf<T, true>;

// Releases the interpreter lock for its scope. Borrows taken before it stay counted (see
// BorrowFlag); nothing inside may touch a Python object.
class WithoutGil {
public:
    WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    ~WithoutGil() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// Heap type with the instance layout Instance<T>; the value is destroyed with the object.
template <class T>
void instance_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<Instance<T>*>(self)->value.~T();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// A new instance of `type` holding `value`.
template <class T>
Ref new_instance(PyTypeObject* type, T&& value) {
    PyObject* o = check(type->tp_alloc(type, 0));
    auto* inst = reinterpret_cast<Instance<std::decay_t<T>>*>(o);
    new (&inst->borrow) BorrowFlag{};
    new (&inst->value) std::decay_t<T>(std::forward<T>(value));
    return Ref::steal(o);
}

PyTypeObject* make_class(PyType_Spec& spec);

// ---------------------------------------------------------------------------------------------
// Arrays crossing the boundary

using ArrayObject = Instance<Array64>;

bool is_array(PyObject* o) noexcept;
inline ArrayObject* as_array(PyObject* o) noexcept { return reinterpret_cast<ArrayObject*>(o); }
Ref new_array(Array64&& a);

// A shared borrow of an Array argument for the length of a call.
using ArrayRef = Borrowed<Array64>;

// ---------------------------------------------------------------------------------------------
// Conversions. Each returns nothing with a Python exception set when the object does not fit.

std::optional<double> to_f64(PyObject* o);
std::optional<u64> to_index(PyObject* o);
std::optional<i64> to_i64(PyObject* o);
std::optional<std::vector<double>> to_f64_vec(PyObject* o);
std::optional<std::vector<u64>> to_index_vec(PyObject* o);
std::optional<std::vector<i64>> to_i64_vec(PyObject* o);
std::optional<std::vector<Array64>> to_array_vec(PyObject* o);
std::optional<Shape> to_shape(PyObject* o);  // indices whose element count fits
std::optional<ArrayRef> to_array_ref(PyObject* o);
std::optional<Array64> to_array_copy(PyObject* o);
std::optional<std::string> to_text(PyObject* o);
// Like to_text, but lower-cased with the full Unicode mapping.
std::optional<std::string> to_lower_text(PyObject* o);

// Numbers given as an Array (used in place, under a shared borrow), a NumPy array of any real
// dtype and layout, or a sequence of numbers or of equal-length rows of numbers; the last two
// are read once into values of their own, so no other thread can change them while a
// computation runs unlocked. Anything else, a non-real dtype, a non-number or ragged rows raise
// the error naming the argument `name`.
struct Numbers {
    std::optional<ArrayRef> borrowed;
    Array64 owned;
    bool sequence = false;  // read from a Python sequence

    const Array64& array() const { return borrowed ? borrowed->get() : owned; }
    const f64* data() const { return array().data.data(); }
    u64 rows() const { return array().shape[0]; }
    u64 cols() const { return array().ndim() == 2 ? array().shape[1] : 1; }
};
Numbers read_numbers(PyObject* o, const char* name);
// A sequence other than text or bytes: what read_numbers reads as numbers.
bool is_sequence(PyObject* x);

// The tagged forms, tried Array first. VecOrArray comes as one Array: an Array keeps its
// shape, a sequence of n floats has shape [n].
using ArrayOrScalar = std::variant<Array64, double>;
std::optional<Array64> to_array_or_vec(PyObject* o);
std::optional<ArrayOrScalar> to_array_or_scalar(PyObject* o);

// ---------------------------------------------------------------------------------------------
// Calls

// Runs f, turning every C++ failure into the matching Python exception.
void translate_current_exception() noexcept;

template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        return f().release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// Runs a long computation so that Ctrl-C stops it: the core polls a token at its block
// boundaries, and the polls on this thread look for a pending signal (at most every few
// milliseconds, taking the interpreter lock briefly when the call runs without it). The
// signal handler's exception (KeyboardInterrupt) is then raised once the computation has
// unwound; started threads stop at their next block.
void poll_signals(CancelToken& token);

template <class F>
decltype(auto) interruptible(F&& f) {
    CancelToken token;
    token.poll = poll_signals;
    const cancel::Scope scope(&token, true);
    return f();
}

// ---------------------------------------------------------------------------------------------
// Results and modules

inline Ref to_py(double x) { return check_new(PyFloat_FromDouble(x)); }
inline Ref to_py_bool(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
// A new tuple of the given objects (each keeps its own reference).
template <class... R>
Ref tuple_of(const R&... items) {
    return check_new(PyTuple_Pack(sizeof...(R), items.get()...));
}
Ref index_list(const std::vector<u64>& v);

// Appends `name` to the module's __all__ (creating it) and sets the attribute.
void add_member(PyObject* module, const char* name, PyObject* obj);
// Adds each function of a NULL-terminated table, bound to the module: listed in its __all__, or
// as attributes only.
void add_functions(PyObject* module, PyMethodDef* defs, bool listed = true);

// Qualified type name of an object, as the interpreter reports it in messages.
std::string type_name(PyObject* o);

// The pending exception, normalised, with its traceback attached; the error indicator is
// cleared. Null when nothing is pending.
Ref fetch_exception();
// str(exc), or a placeholder when that fails (the failure is cleared).
std::string exception_str(PyObject* exc);

}  // namespace veltrix::py
