// The binding layer's toolkit: owned references, the argument parser, typed argument
// getters, borrow guards and the one place where C++ failures become Python exceptions.
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
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
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

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& f);
    SharedBorrow(SharedBorrow&& o) noexcept : f_(o.f_) { o.f_ = nullptr; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (f_) f_->store(f_->load() - 1);
    }

private:
    BorrowFlag* f_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& f);
    ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : f_(o.f_) { o.f_ = nullptr; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (f_) f_->store(0);
    }

private:
    BorrowFlag* f_;
};

// The value of an instance under a shared or an exclusive borrow, held for the guard's life.
template <class T>
class Borrowed {
public:
    explicit Borrowed(Instance<T>* o) : guard_(o->borrow), value_(&o->value) {}
    const T& get() const noexcept { return *value_; }
    const T* operator->() const noexcept { return value_; }

private:
    SharedBorrow guard_;
    const T* value_;
};

template <class T>
class BorrowedMut {
public:
    explicit BorrowedMut(Instance<T>* o) : guard_(o->borrow), value_(&o->value) {}
    T& get() const noexcept { return *value_; }
    T* operator->() const noexcept { return value_; }

private:
    ExclusiveBorrow guard_;
    T* value_;
};

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

PyTypeObject* array_type();
bool is_array(PyObject* o) noexcept;
Ref new_array(Array64&& a);

// A shared borrow of an Array argument for the length of a call.
using ArrayRef = Borrowed<Array64>;

// ---------------------------------------------------------------------------------------------
// Conversions. Each returns nothing with a Python exception set when the object does not fit.

std::optional<double> to_f64(PyObject* o);
std::optional<u64> to_index(PyObject* o);
std::optional<i64> to_i64(PyObject* o);
bool to_f64_vec(PyObject* o, std::vector<double>& out);
bool to_index_vec(PyObject* o, std::vector<u64>& out);
bool to_i64_vec(PyObject* o, std::vector<i64>& out);
bool to_array_vec(PyObject* o, std::vector<Array64>& out);
std::optional<Array64> to_array_copy(PyObject* o);
std::optional<std::string> to_text(PyObject* o);
// Like to_text, but lower-cased with the full Unicode mapping.
std::optional<std::string> to_lower_text(PyObject* o);

using VecOrArray = std::variant<Array64, std::vector<double>>;
using ArrayOrScalar = std::variant<Array64, double>;
std::optional<VecOrArray> to_vec_or_array(PyObject* o);
// `quiet` discards the failure instead of building the combined error (operators).
std::optional<ArrayOrScalar> to_array_or_scalar(PyObject* o, bool quiet = false);

// The data of a VecOrArray as one vector: an Array keeps its shape, a list becomes [n].
Array64 vec_or_array_to_array(VecOrArray&& v);

// ---------------------------------------------------------------------------------------------
// Signatures and arguments: the old hand-counted tables, being replaced by frame.hpp (new
// entry points use frame.hpp).

inline constexpr std::size_t max_params = 8;

struct FnSpec {
    const char* name;      // Python name
    const char* cls;       // owning class for methods and static methods, nullptr for functions
    const char* doc;       // the text signature, e.g. "clip($self, min, max)\n--\n\n"
    const char* params[max_params];
    std::size_t n_params;
    std::size_t n_required;
};

class Args {
public:
    Args(const FnSpec& spec, PyObject* const* values) : spec_(spec), v_(values) {}

    PyObject* operator[](std::size_t i) const noexcept { return v_[i]; }
    // The argument was passed and is not None.
    bool given(std::size_t i) const noexcept { return v_[i] && v_[i] != Py_None; }

    double f64(std::size_t i) const;
    u64 index(std::size_t i) const;
    i64 i64_(std::size_t i) const;
    std::vector<u64> indices(std::size_t i) const;
    Shape shape(std::size_t i) const;  // a sequence of indices whose element count fits
    std::vector<double> floats(std::size_t i) const;
    std::vector<Array64> arrays(std::size_t i) const;
    std::string text(std::size_t i) const;
    std::string lower_text(std::size_t i) const;
    ArrayRef array(std::size_t i) const;
    Array64 array_copy(std::size_t i) const;
    VecOrArray vec_or_array(std::size_t i) const;
    ArrayOrScalar array_or_scalar(std::size_t i) const;

    // Reports the pending conversion error under parameter i, then throws.
    [[noreturn]] void fail(std::size_t i) const;

    const FnSpec& spec() const noexcept { return spec_; }

private:
    template <class T>
    T ok(std::size_t i, std::optional<T>&& r) const {
        if (!r) fail(i);
        return std::move(*r);
    }

    const FnSpec& spec_;
    PyObject* const* v_;
};

// Matches positional and keyword arguments to the parameters; NULL-filled for absent ones.
bool parse_args(const FnSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept;

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

using Impl = Ref (*)(PyObject* self, const Args& args);
using NoArgsImpl = Ref (*)(PyObject* self);

template <const FnSpec& S, Impl F>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    PyObject* values[max_params] = {};
    if (!parse_args(S, args, nargs, kwnames, values)) return nullptr;
    return guarded([&] { return F(self, Args(S, values)); });
}

template <NoArgsImpl F>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
    return guarded([&] { return F(self); });
}

#define VELTRIX_FASTCALL_DEF(spec, impl, extra)                                                  \
    PyMethodDef {                                                                                \
        (spec).name,                                                                             \
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(                          \
                &::veltrix::py::fastcall<spec, impl>)),                                          \
            METH_FASTCALL | METH_KEYWORDS | (extra), (spec).doc                                  \
    }
#define VELTRIX_METHOD(spec, impl) VELTRIX_FASTCALL_DEF(spec, impl, 0)
#define VELTRIX_FUNCTION(spec, impl) VELTRIX_FASTCALL_DEF(spec, impl, 0)
#define VELTRIX_STATIC(spec, impl) VELTRIX_FASTCALL_DEF(spec, impl, METH_STATIC)
#define VELTRIX_NOARGS(name, doc, impl)                                                          \
    PyMethodDef { name, &::veltrix::py::noargs<impl>, METH_NOARGS, doc }

// ---------------------------------------------------------------------------------------------
// Results and modules

inline Ref to_py(double x) { return check_new(PyFloat_FromDouble(x)); }
inline Ref to_py_bool(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
Ref index_list(const std::vector<u64>& v);

// Appends `name` to the module's __all__ (creating it) and sets the attribute.
void add_member(PyObject* module, const char* name, PyObject* obj);
// Adds each function of a NULL-terminated table, bound to the module.
void add_functions(PyObject* module, PyMethodDef* defs);
// The same as attributes only, leaving the module's __all__ as it is.
void add_attributes(PyObject* module, PyMethodDef* defs);

// Qualified type name of an object, as the interpreter reports it in messages.
std::string type_name(PyObject* o);

}  // namespace veltrix::py
