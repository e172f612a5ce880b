// A parameter list read once from a text signature, and the one argument matcher.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "ref.h"

namespace kelvo::py {

// Most parameters any bound callable takes.
inline constexpr size_t kMaxParams = 16;

// Handles filled by the matcher: borrowed references, valid for the duration of the call.
using ArgSlots = std::array<PyObject*, kMaxParams>;

// Parsed from the first line of a docstring, e.g. "f($self, a, b=0, *, c=None)": names, defaults
// (None, True, False, integers, quoted strings) and the `*` marker. `$self` is skipped.
class Signature {
  public:
    explicit Signature(std::string_view doc);

    size_t size() const { return params_.size(); }
    const char* param_name(size_t i) const { return params_[i].name.c_str(); }

    // Matches a vectorcall (positional args, then the values of `kwnames`) against the
    // parameters; absent parameters get their default. Raises CPython's TypeError texts for
    // surplus, unexpected, doubly given and missing arguments.
    void match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ArgSlots& out) const;
    // The same for a tuple and an optional dict (type construction).
    void match(PyObject* args, PyObject* kwargs, ArgSlots& out) const;

  private:
    struct Param {
        std::string name;
        Ref interned;       // the name as an interned str, compared by identity first
        Ref default_value;  // null when the parameter is required
        bool keyword_only = false;
    };

    void check_positional_count(Py_ssize_t nargs) const;
    void assign_keyword(PyObject* key, PyObject* value, ArgSlots& out) const;
    void fill_defaults(ArgSlots& out) const;

    std::string function_;  // "name" as written before the parenthesis
    std::vector<Param> params_;
    size_t positional_ = 0;  // parameters before the `*` marker
};

}  // namespace kelvo::py
