// Binding and converting call arguments from a table of parameters, the same
// way for the constructor and for every method.
#pragma once

#include "py_ref.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

enum class ParamKind {
    U32,      // required unsigned 32-bit integer
    OptU32,   // None or an unsigned 32-bit integer
    OptText,  // None or a str
    Text,     // required str
    OptI32,   // None or a signed 32-bit integer
    U32Seq,   // None or a sequence of unsigned 32-bit integers (None: empty)
    Bytes,    // required bytes-like object, copied
};

struct Param {
    const char* name;
    ParamKind kind;
};

constexpr bool is_required(const Param& p)
{
    return p.kind == ParamKind::U32 || p.kind == ParamKind::Text || p.kind == ParamKind::Bytes;
}

struct Signature {
    const char* function;  // "__new__" or the method name
    std::span<const Param> params;
    const char* owner = "Pravlin";  // the class, as argument errors name it
};

inline constexpr size_t max_params = 9;

using ArgValue = std::variant<std::monostate, uint32_t, std::optional<uint32_t>, std::optional<std::string>,
                              std::optional<int32_t>, std::vector<uint32_t>>;

class Args {
public:
    uint32_t u32(size_t i) const { return std::get<uint32_t>(values_[i]); }
    std::optional<uint32_t> opt_u32(size_t i) const { return std::get<std::optional<uint32_t>>(values_[i]); }
    const std::optional<std::string>& text(size_t i) const
    {
        return std::get<std::optional<std::string>>(values_[i]);
    }
    const std::string& bytes(size_t i) const { return *std::get<std::optional<std::string>>(values_[i]); }
    std::optional<int32_t> opt_i32(size_t i) const { return std::get<std::optional<int32_t>>(values_[i]); }
    const std::vector<uint32_t>& u32_seq(size_t i) const { return std::get<std::vector<uint32_t>>(values_[i]); }

private:
    friend class BoundArgs;
    std::array<ArgValue, max_params> values_;
};

// The Python objects given for each parameter, borrowed from the call.
class BoundArgs {
public:
    // Vectorcall form: positional arguments, then the values of `kwnames`.
    // False with TypeError set when the arguments do not fit the signature.
    bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // Tuple-and-dict form (tp_new).
    bool bind(const Signature& sig, PyObject* args, PyObject* kwargs);

    // Converts in parameter order; the first failure raises and stops.
    bool convert(const Signature& sig, Args& out) const;

private:
    bool place_keyword(const Signature& sig, PyObject* key, PyObject* value);
    bool check_required(const Signature& sig) const;

    std::array<PyObject*, max_params> slots_{};
    Py_ssize_t nargs_ = 0;
};
