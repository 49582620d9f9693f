#include "arguments.hpp"

#include "exceptions.hpp"

#include <limits>
#include <string>
#include <vector>

namespace {

std::string qualified(const Signature& sig) { return std::string(sig.owner) + "." + sig.function + "()"; }

// 'a', 'a' and 'b', 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names)
{
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += std::string("'") + names[i] + "'";
    }
    return out;
}

// Re-raises a TypeError from converting `name` as "argument 'name': ...",
// chained to the original. Other exceptions pass unchanged.
void prefix_type_error(const char* name)
{
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef cause = fetch_pending();
    PyRef text(PyObject_Str(cause.get()));
    if (!text) return;
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return;
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, error.get());
}

bool to_u32(PyObject* obj, uint32_t& out)
{
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

bool to_i32(PyObject* obj, int32_t& out)
{
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

bool to_u32_seq(PyObject* obj, std::vector<uint32_t>& out)
{
    PyRef items(PySequence_Fast(obj, "expected a sequence of integers"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint32_t v;
        if (!to_u32(PySequence_Fast_GET_ITEM(items.get(), i), v)) return false;
        out.push_back(v);
    }
    return true;
}

bool to_text(PyObject* obj, std::string& out)
{
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'", Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) return false;
    out.assign(utf8, static_cast<size_t>(size));
    return true;
}

bool to_bytes(PyObject* obj, std::string& out)
{
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return false;
    out.assign(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return true;
}

bool convert_one(const Param& param, PyObject* obj, ArgValue& out)
{
    const bool absent = obj == nullptr || obj == Py_None;
    switch (param.kind) {
    case ParamKind::U32: {
        uint32_t v;
        if (!to_u32(obj ? obj : Py_None, v)) return false;
        out = v;
        return true;
    }
    case ParamKind::OptU32: {
        std::optional<uint32_t> v;
        if (!absent && !to_u32(obj, v.emplace())) return false;
        out = v;
        return true;
    }
    case ParamKind::OptText:
    case ParamKind::Text: {
        std::optional<std::string> v;
        if (param.kind == ParamKind::Text && obj == nullptr) obj = Py_None;
        if ((param.kind == ParamKind::Text || !absent) && !to_text(obj, v.emplace())) return false;
        out = std::move(v);
        return true;
    }
    case ParamKind::OptI32: {
        std::optional<int32_t> v;
        if (!absent && !to_i32(obj, v.emplace())) return false;
        out = v;
        return true;
    }
    case ParamKind::U32Seq: {
        std::vector<uint32_t> v;
        if (!absent && !to_u32_seq(obj, v)) return false;
        out = std::move(v);
        return true;
    }
    case ParamKind::Bytes: {
        std::optional<std::string> v;
        if (!to_bytes(obj ? obj : Py_None, v.emplace())) return false;
        out = std::move(v);
        return true;
    }
    }
    return false;
}

}  // namespace

bool BoundArgs::bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    const auto total = static_cast<Py_ssize_t>(sig.params.size());
    if (nargs > total) {
        Py_ssize_t required = 0;
        for (const Param& p : sig.params) required += is_required(p);
        PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                     qualified(sig).c_str(), required, total, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    nargs_ = nargs;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[static_cast<size_t>(i)] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
    return check_required(sig);
}

bool BoundArgs::bind(const Signature& sig, PyObject* args, PyObject* kwargs)
{
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!bind(sig, &PyTuple_GET_ITEM(args, 0), nargs, nullptr)) return false;
    if (!kwargs) return true;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value))
        if (!place_keyword(sig, key, value)) return false;
    return check_required(sig);
}

bool BoundArgs::place_keyword(const Signature& sig, PyObject* key, PyObject* value)
{
    size_t found = sig.params.size();
    // Interned names usually match by identity; compare text only when not.
    for (size_t i = 0; i < sig.params.size() && found == sig.params.size(); ++i)
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) found = i;
    if (found == sig.params.size()) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", qualified(sig).c_str(), key);
        return false;
    }
    if (slots_[found]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", qualified(sig).c_str(),
                     sig.params[found].name);
        return false;
    }
    slots_[found] = value;
    return true;
}

bool BoundArgs::check_required(const Signature& sig) const
{
    std::vector<const char*> missing;
    for (size_t i = 0; i < sig.params.size(); ++i)
        if (is_required(sig.params[i]) && !slots_[i]) missing.push_back(sig.params[i].name);
    if (missing.empty()) return true;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", qualified(sig).c_str(),
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", name_list(missing).c_str());
    return false;
}

bool BoundArgs::convert(const Signature& sig, Args& out) const
{
    for (size_t i = 0; i < sig.params.size(); ++i) {
        if (!convert_one(sig.params[i], slots_[i], out.values_[i])) {
            prefix_type_error(sig.params[i].name);
            return false;
        }
    }
    return true;
}
