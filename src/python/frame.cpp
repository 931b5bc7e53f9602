// The argument parser, the table of every entry point's signature and the module's private
// members.
#include "python/frame.hpp"

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "array/storage.hpp"
#include "ops/vmath.hpp"
#include "python/messages.hpp"

namespace veltrix::py {

std::string render_number(double v) {
    // An infinite default as a literal that inspect and ast read back (as inf).
    if (v == std::numeric_limits<double>::infinity()) return "1e999";
    std::string out;
    append_shortest(out, v);
    return out;
}
std::string render_number(u64 v) { return std::to_string(v); }
std::string render_number(i64 v) { return std::to_string(v); }

// ---------------------------------------------------------------------------------------------
// Argument parsing

namespace {

std::string qualified(const ParseSpec& s) { return frame::call_name(s.cls, s.name) + "()"; }

}  // namespace

bool parse_args(const ParseSpec& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept {
    if (nargs > static_cast<Py_ssize_t>(s.n_positional)) {
        PyErr_SetString(PyExc_TypeError,
                        msg::too_many_positional(qualified(s), s.n_required, s.n_positional,
                                                 static_cast<std::size_t>(nargs))
                            .c_str());
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const auto named = [&](const char* p) { return PyUnicode_CompareWithASCIIString(key, p) == 0; };
            const std::size_t found = std::find_if(s.params, s.params + s.n_params, named) - s.params;
            if (found == s.n_params) {
                PyErr_Format(PyExc_TypeError, msg::unexpected_keyword, qualified(s).c_str(), key);
                return false;
            }
            if (out[found]) {
                PyErr_Format(PyExc_TypeError, msg::multiple_values, qualified(s).c_str(), s.params[found]);
                return false;
            }
            out[found] = args[nargs + k];
        }
    }
    if (std::find(out, out + s.n_required, nullptr) == out + s.n_required) return true;
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < s.n_required; ++i)
        if (!out[i]) missing.push_back(s.params[i]);
    PyErr_SetString(PyExc_TypeError, msg::missing_arguments(qualified(s), missing).c_str());
    return false;
}

namespace frame {

PyObject* call_with_tuple(PyObject* args, PyObject* kwargs, PyObject* self, FastCall f) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return f(self, PySequence_Fast_ITEMS(args), nargs, nullptr);
    std::vector<PyObject*> flat(PySequence_Fast_ITEMS(args), PySequence_Fast_ITEMS(args) + nargs);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return nullptr;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k++, key);
        flat.push_back(value);
    }
    return f(self, flat.data(), nargs, kwnames.get());
}

}  // namespace frame

void fail_argument(const char* name) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        Ref cause = fetch_exception();
        const std::string m = msg::argument_error(name, exception_str(cause.get()));
        raise_with_cause(PyExc_TypeError, m, std::move(cause));
    }
    throw PyErrSet{};
}

// ---------------------------------------------------------------------------------------------
// The signature table

namespace {

struct SignatureEntry {
    std::string doc;
    bool has_self;
    std::vector<SignatureParam> params;
};

// Filled while the method tables are built, read once by register_private.
std::map<std::string, SignatureEntry>& signature_table() {
    static std::map<std::string, SignatureEntry> table;
    return table;
}

Ref signature_dict() {
    Ref dict = check_new(PyDict_New());
    for (const auto& [key, entry] : signature_table()) {
        Ref params = check_new(PyTuple_New(static_cast<Py_ssize_t>(entry.params.size())));
        for (std::size_t i = 0; i < entry.params.size(); ++i) {
            const SignatureParam& p = entry.params[i];
            PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(i),
                             check(Py_BuildValue("(szN)", p.name, p.fallback ? p.fallback->c_str() : nullptr,
                                                 PyBool_FromLong(p.keyword_only))));
        }
        Ref value = check_new(Py_BuildValue("(NO)", PyBool_FromLong(entry.has_self), params.get()));
        check_status(PyDict_SetItemString(dict.get(), key.c_str(), value.get()));
    }
    return dict;
}

// Holds a shared borrow of `array` for `seconds` with the interpreter lock released, as a
// computation that releases the lock does: lets a test watch the borrow from another thread.
Ref hold_shared_borrow_impl(const Array64&, double seconds) {
    {
        WithoutGil unlocked;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    return Ref::borrow(Py_None);
}

constexpr auto hold_shared_borrow_sig =
    signature("_hold_shared_borrow", param<ArrayArg>("array"), param<F64>("seconds"));

// The large-block cache of the array storage, as (blocks, bytes).
Ref block_counts(large_blocks::CacheState s) {
    return tuple_of(check_new(PyLong_FromSize_t(s.blocks)), check_new(PyLong_FromSize_t(s.bytes)));
}
Ref large_blocks_impl() { return block_counts(large_blocks::cached()); }
Ref release_large_blocks_impl() { return block_counts(large_blocks::release()); }

constexpr auto large_blocks_sig = signature("_large_blocks");
constexpr auto release_large_blocks_sig = signature("_release_large_blocks");

}  // namespace

const char* frame::document_params(const std::string& key, const char* doc_name, bool has_self,
                                   const frame::ParamDoc* params, std::size_t n) {
    std::vector<SignatureParam> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const frame::ParamDoc& p = params[i];
        std::optional<std::string> fallback;
        if (p.none_default) fallback = "None";
        else if (p.render) fallback = p.render(p.fallback);
        out.push_back({p.name, std::move(fallback), p.keyword_only});
    }
    return register_signature(key, doc_name, has_self, std::move(out));
}

const char* register_signature(const std::string& key, const char* doc_name, bool has_self,
                               std::vector<SignatureParam> params) {
    std::string doc = std::string(doc_name) + "(" + (has_self ? "$self" : "");
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i || has_self) doc += ", ";
        if (params[i].keyword_only && (i == 0 || !params[i - 1].keyword_only)) doc += "*, ";
        doc += params[i].name;
        if (params[i].fallback) doc += "=" + *params[i].fallback;
    }
    doc += ")\n--\n\n";
    // The same entry point may be listed twice (a class's table is built once per process).
    return signature_table().try_emplace(key, SignatureEntry{std::move(doc), has_self, std::move(params)})
        .first->second.doc.c_str();
}

void register_private(PyObject* m) {
    static PyMethodDef defs[] = {def<hold_shared_borrow_sig, hold_shared_borrow_impl>(),
                                 def<large_blocks_sig, large_blocks_impl>(),
                                 def<release_large_blocks_sig, release_large_blocks_impl>(), {}};
    add_functions(m, defs, false);
    check_status(PyObject_SetAttrString(m, "_signatures", signature_dict().get()));
    // The package version the build passed in (pyproject.toml's), outside __all__.
    check_status(PyObject_SetAttrString(m, "__version__", check_new(PyUnicode_FromString(VELTRIX_VERSION)).get()));
    // Which exp/log kernels run: naming them runs their guard once, here.
    const std::string_view path = vmath::path_name();
    const Ref name = check_new(PyUnicode_FromStringAndSize(path.data(), Py_ssize_t(path.size())));
    check_status(PyObject_SetAttrString(m, "_vmath_path", name.get()));
}

}  // namespace veltrix::py
