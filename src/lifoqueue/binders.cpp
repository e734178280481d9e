// Argument binding of the four hooks: the vectorcall form (vector, positional count,
// keyword names) mapped onto plain positional-or-keyword parameters, allocating nothing.
#include "lifoqueue/lifoqueue.h"

#include <cstring>

namespace tarn {

static constexpr int tarn_line_base = 110000;

namespace {

// The implementation lines of one binder's failure sites, one per kind of failure.
struct BinderSites {
  int count;     // wrong positional count
  int missing;   // a required parameter given neither way
  int lookup;    // a keyword comparison raised
  int keywords;  // parse_keywords refused a keyword
};
enum class BindFailure { none, count, missing, lookup, keywords };

// What a binder knows of its method.
struct BinderSpec {
  const char* method_name;     // in messages
  const char* traceback_name;  // in traceback entries
  int def_line;
  PyObject** const* params;    // parameter name list, null-terminated
  Py_ssize_t total;
  Py_ssize_t required;
  int exact;
};

PyObject** const init_params[] = {&state.ids.self, &state.ids.underscore, nullptr};
PyObject** const qsize_params[] = {&state.ids.self, &state.ids.len, nullptr};
PyObject** const put_params[] = {&state.ids.self, &state.ids.item, nullptr};
PyObject** const get_params[] = {&state.ids.self, nullptr};

constexpr BinderSpec init_spec = {"_init", kInitName, 11, init_params, 2, 2, 1};
constexpr BinderSpec qsize_spec = {"_qsize", kQsizeName, 14, qsize_params, 2, 1, 0};
constexpr BinderSpec put_spec = {"_put", kPutName, 17, put_params, 2, 2, 1};
constexpr BinderSpec get_spec = {"_get", kGetName, 20, get_params, 1, 1, 1};

inline void count_error(const BinderSpec& b, Py_ssize_t given) noexcept {
  raise_arg_count(b.method_name, b.exact, b.required, b.total, given);
}

// Binds a call with keyword names (kwnames not null) into values (borrowed references).
BindFailure bind_keywords(const BinderSpec& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** values) noexcept {
  if (nargs > b.total) return count_error(b, nargs), BindFailure::count;
  for (Py_ssize_t i = nargs; i-- > 0;) values[i] = args[i];
  Py_ssize_t kw_left = PyTuple_GET_SIZE(kwnames);
  PyObject* const* kwvalues = args + nargs;
  for (Py_ssize_t i = nargs; i < b.total; ++i) {
    bool required = i < b.required;
    if (!required && kw_left <= 0) continue;
    PyObject* value = find_keyword(kwnames, kwvalues, *b.params[i]);
    if (value) {
      values[i] = value;
      --kw_left;
    } else if (PyErr_Occurred()) {
      return BindFailure::lookup;
    } else if (required) {
      // the second required parameter is reported as "1 given", whatever nargs was
      return count_error(b, i == 0 ? nargs : 1), BindFailure::missing;
    }
  }
  if (kw_left > 0 && parse_keywords(kwnames, kwvalues, b.params, values, nargs, b.method_name) < 0)
    return BindFailure::keywords;
  return BindFailure::none;
}

// Binds the arguments into values (borrowed references). Inlined into each binder, so that
// a call with positional arguments only costs one count test on the binder's constants.
[[gnu::always_inline]] inline BindFailure bind(const BinderSpec& b, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames, PyObject** values) noexcept {
  if (!kwnames) {
    if (nargs < b.required || nargs > b.total) return count_error(b, nargs), BindFailure::count;
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    return BindFailure::none;
  }
  return bind_keywords(b, args, nargs, kwnames, values);
}

// Binds, or adds the binder's traceback entry for the failing site; true when bound.
[[gnu::always_inline]] inline bool bind_or_report(const BinderSpec& b, const BinderSites& sites,
                                                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                                  PyObject** values) noexcept {
  int site;
  switch (bind(b, args, nargs, kwnames, values)) {
    case BindFailure::none: return true;
    case BindFailure::count: site = sites.count; break;
    case BindFailure::missing: site = sites.missing; break;
    case BindFailure::lookup: site = sites.lookup; break;
    default: site = sites.keywords; break;
  }
  add_traceback(b.traceback_name, {site, b.def_line});
  return false;
}

}  // namespace

PyObject* init_binder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static constexpr BinderSites sites = {
      TARN_SITE,
      TARN_SITE,
      TARN_SITE,
      TARN_SITE,
  };
  PyObject* values[2] = {nullptr, nullptr};
  if (!bind_or_report(init_spec, sites, args, nargs, kwnames, values)) return nullptr;
  return init_body(values[0]);
}

PyObject* qsize_binder(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static constexpr BinderSites sites = {
      TARN_SITE,
      TARN_SITE,
      TARN_SITE,
      TARN_SITE,
  };
  QsizeDefaults* defaults = qsize_defaults(func);
  PyObject* values[2] = {nullptr, defaults ? defaults->len : nullptr};
  if (!bind_or_report(qsize_spec, sites, args, nargs, kwnames, values)) return nullptr;
  if (!values[1]) {  // the default is gone (the function object was cleared)
    raise_arg_count(qsize_spec.method_name, 1, 2, 2, nargs);
    add_traceback(qsize_spec.traceback_name, {TARN_SITE, qsize_spec.def_line});
    return nullptr;
  }
  return qsize_body(values[0], values[1]);
}

PyObject* put_binder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static constexpr BinderSites sites = {
      TARN_SITE,
      TARN_SITE,
      TARN_SITE,
      TARN_SITE,
  };
  PyObject* values[2] = {nullptr, nullptr};
  if (!bind_or_report(put_spec, sites, args, nargs, kwnames, values)) return nullptr;
  return put_body(values[0], values[1]);
}

PyObject* get_binder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static constexpr BinderSites sites = {
      TARN_SITE,
      TARN_SITE,
      TARN_SITE,
      TARN_SITE,
  };
  PyObject* values[1] = {nullptr};
  if (!bind_or_report(get_spec, sites, args, nargs, kwnames, values)) return nullptr;
  return get_body(values[0]);
}

// The vectorcall entries of the hooks' function objects: the common call, positional
// arguments alone and as many as the hook has parameters, goes straight to the body; every
// other takes the entry of the method definitions' calling convention to the binder.
PyObject* init_entry(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  if (!kwnames && PyVectorcall_NARGS(nargsf) == 2) [[likely]] return init_body(args[0]);
  return call_entry_fastcall_kw(func, args, nargsf, kwnames);
}

PyObject* qsize_entry(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  QsizeDefaults* defaults = qsize_defaults(func);
  if (!kwnames && PyVectorcall_NARGS(nargsf) == 1 && defaults && defaults->len) [[likely]]
    return qsize_body(args[0], defaults->len);
  return call_entry_fastcall_kw(func, args, nargsf, kwnames);
}

PyObject* put_entry(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  if (!kwnames && PyVectorcall_NARGS(nargsf) == 2) [[likely]] return put_body(args[0], args[1]);
  return call_entry_fastcall_kw(func, args, nargsf, kwnames);
}

PyObject* get_entry(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  if (!kwnames && PyVectorcall_NARGS(nargsf) == 1) [[likely]] return get_body(args[0]);
  return call_entry_fastcall_kw(func, args, nargsf, kwnames);
}

PyMethodDef init_def = {"_init", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(init_binder)),
                        METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef qsize_def = {"_qsize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(qsize_binder)),
                         METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef put_def = {"_put", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(put_binder)),
                       METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef get_def = {"_get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(get_binder)),
                       METH_FASTCALL | METH_KEYWORDS, nullptr};

// --- binding helpers -------------------------------------------------------

int is_true(PyObject* x) noexcept {
  if (x == Py_True) return 1;
  if (x == Py_False || x == Py_None) return 0;
  return PyObject_IsTrue(x);
}

int unicode_equals(PyObject* a, PyObject* b) noexcept {
  if (a == b) return 1;
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return exact_str_equal(a, b);
  if ((a == Py_None && PyUnicode_CheckExact(b)) || (b == Py_None && PyUnicode_CheckExact(a))) return 0;
  Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  if (!result) return -1;
  return is_true(result.get());
}

// Returns a borrowed reference, or null (with an error set only when a comparison failed).
PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) noexcept {
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
  for (Py_ssize_t i = 0; i < n; ++i) {
    int equal = unicode_equals(name, PyTuple_GET_ITEM(kwnames, i));
    if (equal > 0) return kwvalues[i];
    if (equal < 0) return nullptr;
  }
  return nullptr;
}

PyObject* raise_arg_count(const char* method_name, int exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given) noexcept {
  Py_ssize_t expected = given < min ? min : max;
  const char* word = exact ? "exactly" : given < min ? "at least" : "at most";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", method_name, word,
               expected, expected == 1 ? "" : "s", given);
  return nullptr;
}

void raise_duplicate_keyword(const char* method_name, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", method_name, key);
}

namespace {

// 1 when name and key are the same text, 0 when not, -1 with an error set.
int same_name(PyObject* name, PyObject* key) noexcept {
  if (name == key) return 1;
  if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) return 0;
  int cmp = PyUnicode_Compare(name, key);
  if (cmp < 0 && PyErr_Occurred()) return -1;
  return cmp == 0;
}

}  // namespace

int parse_keywords(PyObject* keywords, PyObject* const* kwvalues, PyObject** const* params, PyObject** values,
                   Py_ssize_t nargs, const char* method_name) noexcept {
  const bool is_tuple = PyTuple_Check(keywords);
  const Py_ssize_t count = is_tuple ? PyTuple_GET_SIZE(keywords) : 0;
  PyObject** const* keyword_params = params + nargs;
  Py_ssize_t pos = 0;
  for (;;) {
    PyObject *key, *value;
    if (is_tuple) {
      if (pos >= count) return 0;
      key = PyTuple_GET_ITEM(keywords, pos);
      value = kwvalues[pos];
      ++pos;
    } else if (!PyDict_Next(keywords, &pos, &key, &value)) {
      return 0;
    }
    PyObject** const* p = keyword_params;
    while (*p && **p != key) ++p;
    if (!*p) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", method_name);
        return -1;
      }
      if (unicode_ready(key) < 0) return -1;
      for (p = keyword_params; *p; ++p) {
        int same = same_name(**p, key);
        if (same < 0) return -1;
        if (same) break;
      }
    }
    if (*p) {
      values[p - params] = value;
      continue;
    }
    for (p = params; p < keyword_params; ++p) {
      int same = same_name(**p, key);
      if (same < 0) return -1;
      if (same) {
        raise_duplicate_keyword(method_name, key);
        return -1;
      }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", method_name, key);
    return -1;
  }
}

}  // namespace tarn
