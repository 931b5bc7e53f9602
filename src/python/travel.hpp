// Objects that travel (travel.cpp): what pickling and copying share, the members of Generator
// defined there, and the reconstructors. Pickles name private reconstructors of the top-level
// module; their arguments may come from anywhere, so every defect of a state is a ValueError.
#pragma once

#include "python/frame.hpp"

namespace veltrix::py {

// The reduction (veltrix.{reconstructor}, args) that pickle stores.
Ref reduction(const char* reconstructor, Ref args);
// A fresh bytes object of n bytes for the caller to fill.
Ref new_bytes(u64 n);
// From protocol 5 on, the bytes travel as an out-of-band buffer when the pickler takes them.
Ref payload(Ref bytes, i64 protocol);

// The contiguous bytes of any bytes-like object, released with the view; anything else is a
// ValueError `refusal`.
class ByteView {
public:
    ByteView(PyObject* o, const char* refusal);
    ByteView(const ByteView&) = delete;
    ~ByteView() { PyBuffer_Release(&view_); }
    const unsigned char* data() const noexcept { return static_cast<const unsigned char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// __copy__ and __deepcopy__(memo) of class C holding a T: a new instance with a copy of the value.
template <class T, Class C>
Ref copy_impl(const T& v) {
    return new_instance(type_object(C), T(v));
}
template <class T, Class C>
Ref deepcopy_impl(const T& v, PyObject*) {
    return copy_impl<T, C>(v);
}
template <class T>
constexpr auto copy_sig = signature("__copy__", shared_self<T>);
template <class T>
constexpr auto deepcopy_sig = signature("__deepcopy__", shared_self<T>, param<Object>("memo"));
template <class T>
constexpr auto reduce_ex_sig = signature("__reduce_ex__", shared_self<T>, param<I64>("protocol"));

extern PyMethodDef generator_reduce_def, generator_copy_def, generator_deepcopy_def, generator_jumped_def,
    generator_spawn_def;
extern PyMethodDef tree_from_state_def;  // spatial.cpp
// __reduce__ of the internal-error exception, attached when its class is created (state.cpp).
extern PyMethodDef panic_reduce_def;

// Adds _array_from_bytes, _generator_from_state, _tree_from_state and _panic_from_args,
// outside __all__.
void register_reconstructors(PyObject* module);

}  // namespace veltrix::py
