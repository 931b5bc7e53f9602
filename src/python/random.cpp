// veltrix.random: the Generator class and its factories seed and new.
#include <utility>

#include "python/frame.hpp"
#include "python/travel.hpp"
#include "random/generator.hpp"

namespace veltrix::py {

namespace {

Ref wrap(Generator g) { return new_instance(type_object(Class::generator), std::move(g)); }

// ---------------------------------------------------------------------------------------------
// Factories

Ref generator_from_clock_impl() { return wrap(Generator::from_clock()); }
Ref generator_from_seed_impl(u64 seed) { return wrap(Generator::from_seed(seed)); }

constexpr auto generator_new_sig = signature("__new__");
constexpr auto from_seed_sig = signature("from_seed", param<Index>("seed"));
constexpr auto seed_sig = signature("seed", param<Index>("seed"));
constexpr auto clock_sig = signature("new");

// ---------------------------------------------------------------------------------------------
// Sampling methods. Each holds the exclusive borrow from before the first conversion to the
// end of the draw, and converts everything before drawing, so a refused call draws nothing.

// Draws stop on Ctrl-C; the generator then keeps the state it had before the call.
template <auto Draw, class A, class B>
Ref two_parameter_draw(Generator& g, A a, B b, Shape&& shape) {
    return new_array(interruptible([&] { return (g.*Draw)(a, b, std::move(shape)); }));
}

Ref standard_normal_impl(Generator& g, Shape&& shape) {
    return new_array(interruptible([&] { return g.standard_normal(std::move(shape)); }));
}

template <class C>
constexpr auto draw_sig(const char* name, const char* a, const char* b) {
    return signature(name, exclusive_self<Generator>, param<C>(a), param<C>(b), param<ShapeArg>("shape"));
}

constexpr auto uniform_sig = draw_sig<F64>("uniform", "low", "high");
constexpr auto randint_sig = draw_sig<I64>("randint", "low", "high");
constexpr auto normal_sig = draw_sig<F64>("normal", "mu", "sigma");
constexpr auto lognormal_sig = draw_sig<F64>("lognormal", "mu", "sigma");
constexpr auto gamma_sig = draw_sig<F64>("gamma", "shape_param", "scale");
constexpr auto beta_sig = draw_sig<F64>("beta", "alpha", "beta_param");
constexpr auto standard_normal_sig =
    signature("standard_normal", exclusive_self<Generator>, param<ShapeArg>("shape"));

using Constructor_ = Constructor<generator_new_sig, generator_from_clock_impl, Class::generator>;

PyMethodDef random_functions[] = {
    def<seed_sig, generator_from_seed_impl>(),
    def<clock_sig, generator_from_clock_impl>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyType_Spec& generator_spec() {
    static PyMethodDef generator_methods[] = {
        def<from_seed_sig, generator_from_seed_impl, Class::generator>(),
        def<uniform_sig, two_parameter_draw<&Generator::uniform, f64, f64>, Class::generator>(),
        def<randint_sig, two_parameter_draw<&Generator::randint_f64, i64, i64>, Class::generator>(),
        def<normal_sig, two_parameter_draw<&Generator::normal, f64, f64>, Class::generator>(),
        def<standard_normal_sig, standard_normal_impl, Class::generator>(),
        def<lognormal_sig, two_parameter_draw<&Generator::lognormal, f64, f64>, Class::generator>(),
        def<gamma_sig, two_parameter_draw<&Generator::gamma, f64, f64>, Class::generator>(),
        def<beta_sig, two_parameter_draw<&Generator::beta, f64, f64>, Class::generator>(),
        // Parallel streams, pickling and copying (travel.cpp): defined there, so the table is
        // built on first use, after them.
        generator_jumped_def, generator_spawn_def, generator_reduce_def, generator_copy_def, generator_deepcopy_def,
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(Constructor_::doc())},
        {Py_tp_new, reinterpret_cast<void*>(Constructor_::new_slot)},
        {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Generator>)},
        {Py_tp_methods, generator_methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {qualified_name(Class::generator), sizeof(Instance<Generator>), 0, class_flags, slots};
    return spec;
}

void register_random(PyObject* m) {
    add_member(m, class_name(Class::generator), reinterpret_cast<PyObject*>(type_object(Class::generator)));
    add_functions(m, random_functions);
}

}  // namespace veltrix::py
