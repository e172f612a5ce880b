#include "signature.h"

#include <string>

#include "errors.h"

namespace kelvo::py {
namespace {

std::string_view strip(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

// Splits at top-level commas; commas inside quoted defaults do not count.
std::vector<std::string_view> split_params(std::string_view list) {
    std::vector<std::string_view> parts;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        const char c = list[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ',') {
            parts.push_back(strip(list.substr(start, i - start)));
            start = i + 1;
        }
    }
    const std::string_view last = strip(list.substr(start));
    if (!last.empty() || !parts.empty()) parts.push_back(last);
    return parts;
}

Ref parse_default(std::string_view text) {
    if (text == "None") return py_none();
    if (text == "True") return py_bool(true);
    if (text == "False") return py_bool(false);
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        return py_str(text.substr(1, text.size() - 2));
    }
    const std::string digits(text);
    char* end = nullptr;
    Ref value = Ref::steal(PyLong_FromString(digits.c_str(), &end, 10));
    KELVO_ASSERT(value && end && *end == '\0', "unsupported default in a text signature");
    return value;
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

Signature::Signature(std::string_view doc) {
    const size_t open = doc.find('(');
    const size_t close = doc.find(')');
    KELVO_ASSERT(open != std::string_view::npos && close != std::string_view::npos && open < close,
                 "a docstring lacks its text signature");
    function_ = std::string(doc.substr(0, open));
    bool keyword_only = false;
    for (const std::string_view part : split_params(doc.substr(open + 1, close - open - 1))) {
        if (part == "$self" || part == "/") continue;
        if (part == "*") {
            keyword_only = true;
            continue;
        }
        Param p;
        const size_t eq = part.find('=');
        p.name = std::string(strip(part.substr(0, eq)));
        if (eq != std::string_view::npos)
            p.default_value = parse_default(strip(part.substr(eq + 1)));
        p.interned = take(PyUnicode_InternFromString(p.name.c_str()));
        p.keyword_only = keyword_only;
        if (!keyword_only) {
            ++positional_;
        }
        params_.push_back(std::move(p));
    }
    KELVO_ASSERT(params_.size() <= kMaxParams, "too many parameters in a text signature");
}

void Signature::check_positional_count(Py_ssize_t nargs) const {
    if (static_cast<size_t>(nargs) <= positional_) return;
    size_t min_positional = 0;
    for (size_t i = 0; i < positional_; ++i) {
        if (!params_[i].default_value) min_positional = i + 1;
    }
    std::string takes = min_positional == positional_ ? std::to_string(positional_)
                                                      : "from " + std::to_string(min_positional) +
                                                            " to " + std::to_string(positional_);
    raise(PyExc_TypeError, function_ + "() takes " + takes + " positional argument" +
                               (positional_ == 1 && min_positional == positional_ ? "" : "s") +
                               " but " + std::to_string(nargs) +
                               (nargs == 1 ? " was given" : " were given"));
}

void Signature::assign_keyword(PyObject* key, PyObject* value, ArgSlots& out) const {
    size_t index = params_.size();
    for (size_t i = 0; i < params_.size(); ++i) {
        if (params_[i].interned.get() == key) {
            index = i;
            break;
        }
    }
    if (index == params_.size()) {
        for (size_t i = 0; i < params_.size(); ++i) {
            const int equal =
                PyUnicode_Check(key) ? PyUnicode_Compare(key, params_[i].interned.get()) : -1;
            if (equal == -1 && PyErr_Occurred()) throw PythonError{};
            if (equal == 0) {
                index = i;
                break;
            }
        }
    }
    if (index == params_.size()) {
        if (!PyUnicode_Check(key))
            raise(PyExc_TypeError, function_ + "() keywords must be strings");
        // %U, not UTF-8: a name may hold lone surrogates.
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     function_.c_str(), key);
        throw PythonError{};
    }
    if (out[index] != nullptr) {
        raise(PyExc_TypeError,
              function_ + "() got multiple values for argument '" + params_[index].name + "'");
    }
    out[index] = value;
}

void Signature::fill_defaults(ArgSlots& out) const {
    std::vector<const char*> missing_positional;
    std::vector<const char*> missing_keyword;
    for (size_t i = 0; i < params_.size(); ++i) {
        if (out[i]) continue;
        const Param& p = params_[i];
        if (p.default_value) {
            out[i] = p.default_value.get();
        } else {
            (p.keyword_only ? missing_keyword : missing_positional).push_back(p.name.c_str());
        }
    }
    for (const auto* missing : {&missing_positional, &missing_keyword}) {
        if (missing->empty()) continue;
        const size_t n = missing->size();
        raise(PyExc_TypeError, function_ + "() missing " + std::to_string(n) + " required " +
                                   (missing == &missing_keyword ? "keyword-only" : "positional") +
                                   " argument" + (n == 1 ? "" : "s") + ": " +
                                   quoted_list(*missing));
    }
}

void Signature::match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      ArgSlots& out) const {
    check_positional_count(nargs);
    const size_t n = params_.size();
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = args[i];
    for (size_t i = nargs; i < n; ++i)
        out[i] = nullptr;
    // Common case: everything by position.
    if (!kwnames && static_cast<size_t>(nargs) == n) return;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            assign_keyword(PyTuple_GetItem(kwnames, k), args[nargs + k], out);
        }
    }
    fill_defaults(out);
}

void Signature::match(PyObject* args, PyObject* kwargs, ArgSlots& out) const {
    const Py_ssize_t nargs = PyTuple_Size(args);
    check_positional_count(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = PyTuple_GetItem(args, i);
    for (size_t i = nargs; i < params_.size(); ++i)
        out[i] = nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            assign_keyword(key, value, out);
    }
    fill_defaults(out);
}

}  // namespace kelvo::py
