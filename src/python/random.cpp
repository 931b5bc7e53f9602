// veltrix.random: the Generator class and its factories seed and new.
#include <utility>

#include "python/array_type.hpp"
#include "random/generator.hpp"

namespace veltrix::py {

PyTypeObject* generator_type();

namespace {

using GeneratorObject = Instance<Generator>;

Generator& state_of(PyObject* self) { return reinterpret_cast<GeneratorObject*>(self)->value; }
BorrowFlag& flag_of(PyObject* self) { return reinterpret_cast<GeneratorObject*>(self)->borrow; }

Ref wrap(Generator g) { return new_instance(generator_type(), std::move(g)); }

// ---------------------------------------------------------------------------------------------
// Factories

Ref from_clock_impl(PyObject*) { return wrap(Generator::from_clock()); }
Ref from_seed_impl(PyObject*, const Args& a) { return wrap(Generator::from_seed(a.index(0))); }
Ref construct(PyObject*, const Args&) { return wrap(Generator::from_clock()); }

constexpr FnSpec new_s{"__new__", "Generator", "Generator()\n--\n\n", {}, 0, 0};
constexpr FnSpec from_seed_s{"from_seed", "Generator", "from_seed(seed)\n--\n\n", {"seed"}, 1, 1};
constexpr FnSpec seed_f{"seed", nullptr, "seed(seed)\n--\n\n", {"seed"}, 1, 1};

PyObject* generator_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    // No parameters: the parser only has to refuse whatever was passed.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs == 0 && (!kwargs || PyDict_GET_SIZE(kwargs) == 0))
        return guarded([] { return from_clock_impl(nullptr); });
    Ref kwnames;
    PyObject* flat[1] = {nargs ? PyTuple_GET_ITEM(args, 0) : nullptr};
    if (nargs == 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwargs, &pos, &key, &value);
        kwnames = Ref::steal(PyTuple_Pack(1, key));
        if (!kwnames) return nullptr;
        flat[0] = value;
    }
    return fastcall<new_s, construct>(nullptr, flat, nargs, kwnames.get());
}

// ---------------------------------------------------------------------------------------------
// Sampling methods. Each holds the exclusive borrow from the first conversion to the end of
// the draw, and converts everything before drawing, so a refused call draws nothing.

Ref uniform_impl(PyObject* self, const Args& a) {
    ExclusiveBorrow guard(flag_of(self));
    const double low = a.f64(0);
    const double high = a.f64(1);
    Shape shape = a.shape(2);
    return new_array(state_of(self).uniform(low, high, std::move(shape)));
}

Ref randint_impl(PyObject* self, const Args& a) {
    ExclusiveBorrow guard(flag_of(self));
    const i64 low = a.i64_(0);
    const i64 high = a.i64_(1);
    Shape shape = a.shape(2);
    return new_array(state_of(self).randint_f64(low, high, std::move(shape)));
}

Ref normal_impl(PyObject* self, const Args& a) {
    ExclusiveBorrow guard(flag_of(self));
    const double mu = a.f64(0);
    const double sigma = a.f64(1);
    Shape shape = a.shape(2);
    return new_array(state_of(self).normal(mu, sigma, std::move(shape)));
}

Ref standard_normal_impl(PyObject* self, const Args& a) {
    ExclusiveBorrow guard(flag_of(self));
    Shape shape = a.shape(0);
    return new_array(state_of(self).standard_normal(std::move(shape)));
}

Ref lognormal_impl(PyObject* self, const Args& a) {
    ExclusiveBorrow guard(flag_of(self));
    const double mu = a.f64(0);
    const double sigma = a.f64(1);
    Shape shape = a.shape(2);
    return new_array(state_of(self).lognormal(mu, sigma, std::move(shape)));
}

Ref gamma_impl(PyObject* self, const Args& a) {
    ExclusiveBorrow guard(flag_of(self));
    const double shape_param = a.f64(0);
    const double scale = a.f64(1);
    Shape shape = a.shape(2);
    return new_array(state_of(self).gamma(shape_param, scale, std::move(shape)));
}

Ref beta_impl(PyObject* self, const Args& a) {
    ExclusiveBorrow guard(flag_of(self));
    const double alpha = a.f64(0);
    const double beta = a.f64(1);
    Shape shape = a.shape(2);
    return new_array(state_of(self).beta(alpha, beta, std::move(shape)));
}

constexpr FnSpec uniform_s{"uniform", "Generator", "uniform($self, low, high, shape)\n--\n\n",
                           {"low", "high", "shape"}, 3, 3};
constexpr FnSpec randint_s{"randint", "Generator", "randint($self, low, high, shape)\n--\n\n",
                           {"low", "high", "shape"}, 3, 3};
constexpr FnSpec normal_s{"normal", "Generator", "normal($self, mu, sigma, shape)\n--\n\n",
                          {"mu", "sigma", "shape"}, 3, 3};
constexpr FnSpec standard_normal_s{"standard_normal", "Generator",
                                   "standard_normal($self, shape)\n--\n\n", {"shape"}, 1, 1};
constexpr FnSpec lognormal_s{"lognormal", "Generator", "lognormal($self, mu, sigma, shape)\n--\n\n",
                             {"mu", "sigma", "shape"}, 3, 3};
constexpr FnSpec gamma_s{"gamma", "Generator", "gamma($self, shape_param, scale, shape)\n--\n\n",
                         {"shape_param", "scale", "shape"}, 3, 3};
constexpr FnSpec beta_s{"beta", "Generator", "beta($self, alpha, beta_param, shape)\n--\n\n",
                        {"alpha", "beta_param", "shape"}, 3, 3};

PyMethodDef generator_methods[] = {
    VELTRIX_STATIC(from_seed_s, from_seed_impl),
    VELTRIX_METHOD(uniform_s, uniform_impl),
    VELTRIX_METHOD(randint_s, randint_impl),
    VELTRIX_METHOD(normal_s, normal_impl),
    VELTRIX_METHOD(standard_normal_s, standard_normal_impl),
    VELTRIX_METHOD(lognormal_s, lognormal_impl),
    VELTRIX_METHOD(gamma_s, gamma_impl),
    VELTRIX_METHOD(beta_s, beta_impl),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef random_functions[] = {
    VELTRIX_FUNCTION(seed_f, from_seed_impl),
    VELTRIX_NOARGS("new", "new()\n--\n\n", from_clock_impl),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* generator_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("Generator()\n--\n\n")},
            {Py_tp_new, reinterpret_cast<void*>(generator_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Generator>)},
            {Py_tp_methods, generator_methods},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.Generator", sizeof(GeneratorObject), 0, class_flags,
                                   slots};
        return make_class(spec);
    }();
    return type;
}

void register_random(PyObject* m) {
    add_member(m, "Generator", reinterpret_cast<PyObject*>(generator_type()));
    add_functions(m, random_functions);
}

}  // namespace veltrix::py
