// Module initialisation: classes, top-level functions and the four submodules.
#include <utility>

#include "python/array_methods.hpp"
#include "python/messages.hpp"
#include "python/state.hpp"
#include "python/travel.hpp"

namespace veltrix::py {

namespace {

// m_size 0 makes the interpreter call the init function again on re-import (and from a
// sub-interpreter), so it can hand back the one module object or refuse.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "veltrix", nullptr, 0, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

Ref build_module() {
    Ref m = check_new(PyModule_Create(&module_def));
    for (Class c : {Class::array, Class::array_iter, Class::generator, Class::ball_tree, Class::kd_tree})
        add_member(m.get(), class_name(c), reinterpret_cast<PyObject*>(type_object(c)));
    add_functions(m.get(), module_array_functions());
    using Fill = void (*)(PyObject*);
    for (auto [name, fill] : {std::pair<const char*, Fill>{"linalg", register_linalg}, {"stats", register_stats},
                              {"random", register_random}, {"spatial", register_spatial}}) {
        // Submodules are attributes only, never entries of sys.modules.
        const Ref sub = check_new(PyModule_New(name));
        fill(sub.get());
        add_member(m.get(), name, sub.get());
    }
    register_reconstructors(m.get());
    register_private(m.get());
    return m;
}

}  // namespace

PyObject* init_module() noexcept {
    static std::int64_t interpreter_id = -1;
    static PyObject* module = nullptr;
    return guarded([&]() -> Ref {
        PyInterpreterState* interp = PyInterpreterState_Get();
        const std::int64_t id = PyInterpreterState_GetID(interp);
        if (id == -1) throw PyErrSet{};
        if (interpreter_id == -1) interpreter_id = id;
        if (id != interpreter_id)
            raise(PyExc_ImportError, msg::sub_interpreter);
        if (module) return Ref::borrow(module);
        Ref m = build_module();
        module = Ref::borrow(m.get()).release();  // the process keeps one module object
        return m;
    });
}

}  // namespace veltrix::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_veltrix() {
    return veltrix::py::init_module();
}
