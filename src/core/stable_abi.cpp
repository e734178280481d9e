// The operations of the version layer that the stable ABI answers by the interpreter's
// public objects alone, where the limited API has no function of its own: code objects, the
// frames of traceback entries, and the dictionary of a type the module makes. Empty on the
// other roads.
#include "core/pyversion.h"

#if TARN_STABLE_ABI

namespace tarn {

namespace {

// A new reference to obj.replace(**changes), the changes a null-terminated list of
// (attribute, value) pairs; null with an error set.
struct Change {
  const char* name;
  PyObject* value;
};
PyObject* replaced(PyObject* obj, const Change* changes) noexcept {
  PyObject* keywords = PyDict_New();
  if (!keywords) return nullptr;
  for (const Change* c = changes; c->name; ++c) {
    if (!c->value || PyDict_SetItemString(keywords, c->name, c->value) < 0) {
      Py_DECREF(keywords);
      return nullptr;
    }
  }
  static PyObject* name = nullptr;
  PyObject* replace = interned_attribute(obj, "replace", &name);
  PyObject* empty = replace ? PyTuple_New(0) : nullptr;
  PyObject* result = empty ? PyObject_Call(replace, empty, keywords) : nullptr;
  Py_XDECREF(empty);
  Py_XDECREF(replace);
  Py_DECREF(keywords);
  return result;
}

// What code objects and frames are made of, kept for the life of the process once made
// (borrowed): the code of a generator function that takes no arguments, and the type of
// functions. The code is that of a generator function of the interpreter's own library,
// codecs.iterencode, which the interpreter loads at start-up to decode its sources: renamed,
// it is never run (an entry's generator is never started), and the hooks' code objects are
// made of it too. The interpreter's compiler serves only where that function is not one,
// as it does not always survive a failed allocation.
struct Templates {
  PyObject* generator_code;
  PyObject* function_type;
};
Templates templates_made = {nullptr, nullptr};

// The first code object among the constants of code (a new reference), or null.
PyObject* inner_code(PyObject* code) noexcept {
  static PyObject* name = nullptr;
  PyObject* consts = interned_attribute(code, "co_consts", &name);
  PyObject* found = nullptr;
  for (Py_ssize_t i = 0, n = consts ? PyTuple_GET_SIZE(consts) : 0; i < n && !found; ++i)
    if (Py_IS_TYPE(PyTuple_GET_ITEM(consts, i), Py_TYPE(code))) found = Py_NewRef(PyTuple_GET_ITEM(consts, i));
  Py_XDECREF(consts);
  return found;
}

constexpr long kGenerator = 0x20;                 // CO_GENERATOR
constexpr long kArgumentFlags = 0x04 | 0x08;      // CO_VARARGS, CO_VARKEYWORDS

// A location table that places every one of `units` code units at the first line: entries
// of at most eight units without columns, each at a line delta of 0, as 3.11 and later
// encode them. A new bytes object, or null with an error set.
PyObject* one_line_table(Py_ssize_t units) noexcept {
  constexpr int kNoColumns = 13;  // PY_CODE_LOCATION_INFO_NO_COLUMNS
  Py_ssize_t entries = (units + 7) / 8;
  PyObject* table = PyBytes_FromStringAndSize(nullptr, 2 * entries);
  if (!table) return nullptr;
  char* bytes = PyBytes_AsString(table);
  for (Py_ssize_t i = 0; i < entries; ++i) {
    Py_ssize_t length = i + 1 < entries ? 8 : units - 8 * i;
    bytes[2 * i] = static_cast<char>(0x80 | (kNoColumns << 3) | (length - 1));
    bytes[2 * i + 1] = 0;
  }
  return table;
}

// Does every instruction of code stand at its first line, as the interpreter reads its
// location table (code.co_lines())? No error is left set.
bool stands_at_its_first_line(PyObject* code) noexcept {
  PyObject* first = PyObject_GetAttrString(code, "co_firstlineno");
  PyObject* lines = first ? PyObject_CallMethod(code, "co_lines", nullptr) : nullptr;
  PyObject* iterator = lines ? PyObject_GetIter(lines) : nullptr;
  bool all = iterator != nullptr;
  while (PyObject* range = iterator ? PyIter_Next(iterator) : nullptr) {
    PyObject* line = PyTuple_Check(range) && PyTuple_GET_SIZE(range) == 3 ? PyTuple_GET_ITEM(range, 2) : nullptr;
    if (!line || PyObject_RichCompareBool(line, first, Py_EQ) != 1) all = false;
    Py_DECREF(range);
  }
  Py_XDECREF(iterator);
  Py_XDECREF(lines);
  Py_XDECREF(first);
  if (PyErr_Occurred()) all = false;
  PyErr_Clear();
  return all;
}

// The code of the library's generator function, made to take no arguments; null (with an
// error set only when one was raised) where it is none.
PyObject* library_generator_code() noexcept {
  static PyObject* code_name = nullptr;
  static PyObject* flags_name = nullptr;
  PyObject* codecs = PyImport_ImportModule("codecs");
  PyObject* function = codecs ? PyObject_GetAttrString(codecs, "iterencode") : nullptr;
  Py_XDECREF(codecs);
  PyObject* code = function ? interned_attribute(function, "__code__", &code_name) : nullptr;
  Py_XDECREF(function);
  PyObject* flags = code ? interned_attribute(code, "co_flags", &flags_name) : nullptr;
  long value = flags ? PyLong_AsLong(flags) : 0;
  Py_XDECREF(flags);
  PyObject* result = nullptr;
  if (value & kGenerator) {
    static PyObject* code_bytes_name = nullptr;
    PyObject* bytes = interned_attribute(code, "co_code", &code_bytes_name);
    PyObject* lines = bytes && PyBytes_Check(bytes) ? one_line_table(PyBytes_Size(bytes) / 2) : nullptr;
    PyObject* zero = PyLong_FromLong(0);
    PyObject* plain = PyLong_FromLong(value & ~kArgumentFlags);
    const Change changes[] = {{"co_argcount", zero}, {"co_posonlyargcount", zero}, {"co_kwonlyargcount", zero},
                              {"co_flags", plain},   {"co_linetable", lines},      {nullptr, nullptr}};
    result = lines && zero && plain ? replaced(code, changes) : nullptr;
    Py_XDECREF(plain);
    Py_XDECREF(zero);
    Py_XDECREF(lines);
    Py_XDECREF(bytes);
    // Where the interpreter reads its location table otherwise, the compiler serves.
    if (result && !stands_at_its_first_line(result)) Py_CLEAR(result);
  }
  Py_XDECREF(code);
  return result;
}

// The templates, or null with an error set.
const Templates* templates() noexcept {
  static PyObject* function_type = nullptr;
  Templates& t = templates_made;
  if (!t.generator_code) t.generator_code = library_generator_code();
  if (!t.generator_code && !PyErr_Occurred()) {
    PyObject* module = Py_CompileString("def _(): yield\n", "<tarn>", Py_file_input);
    t.generator_code = module ? inner_code(module) : nullptr;
    Py_XDECREF(module);
  }
  if (t.generator_code && !t.function_type) t.function_type = types_attribute("FunctionType", &function_type);
  if (t.function_type) return &t;
  failed_allocation_reported("the code objects could not be made");
  return nullptr;
}

PyObject* new_int(int value) noexcept { return PyLong_FromLong(value); }

// After the interpreter could not make what an entry needs while an exception was in flight
// (kept aside as raised, handed over here): a failed allocation stands, as on the other
// roads; anything else (the calls that make it are refused at the recursion limit) goes, and
// the exception in flight stands again, without the entry.
void keep_in_flight_unless_out_of_memory(PyObject* raised) noexcept {
  if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) {
    Py_XDECREF(raised);
    return;
  }
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
}

}  // namespace

PyObject* types_attribute(const char* name, PyObject** kept) noexcept {
  if (*kept) return *kept;
  PyObject* types = PyImport_ImportModule("types");
  if (!types) return nullptr;
  *kept = PyObject_GetAttrString(types, name);
  Py_DECREF(types);
  return *kept;
}

PyObject* heap_type_dict(PyTypeObject* tp) noexcept {
  PyObject* gc = PyImport_ImportModule("gc");
  PyObject* referents = gc ? PyObject_CallMethod(gc, "get_referents", "O", reinterpret_cast<PyObject*>(tp)) : nullptr;
  Py_XDECREF(gc);
  if (!referents) return nullptr;
  // The type's own dictionary is the one dictionary it refers to.
  PyObject* dict = nullptr;
  for (Py_ssize_t i = 0, n = PyList_Size(referents); i < n && !dict; ++i)
    if (PyDict_CheckExact(PyList_GetItem(referents, i))) dict = PyList_GetItem(referents, i);
  if (!dict && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a type without a dictionary");
  Py_DECREF(referents);  // the type keeps its dictionary
  return dict;
}

PyObject* new_function_code(int argcount, PyObject* varnames, PyObject* filename, PyObject* name, PyObject* qualname,
                            int firstlineno, PyObject* empty_tuple, PyObject* empty_bytes) noexcept {
  const Templates* made = templates();
  if (!made) return nullptr;
  PyObject* code = made->generator_code;
  PyObject* count = new_int(argcount);
  PyObject* zero = new_int(0);
  PyObject* flags = new_int(kFunctionCodeFlags);
  PyObject* line = new_int(firstlineno);
  const Change changes[] = {
      {"co_argcount", count},        {"co_posonlyargcount", zero}, {"co_kwonlyargcount", zero},
      {"co_nlocals", count},         {"co_stacksize", zero},       {"co_flags", flags},
      {"co_code", empty_bytes},      {"co_consts", empty_tuple},   {"co_names", empty_tuple},
      {"co_varnames", varnames},     {"co_freevars", empty_tuple}, {"co_cellvars", empty_tuple},
      {"co_filename", filename},     {"co_name", name},            {"co_qualname", qualname},
      {"co_firstlineno", line},      {"co_linetable", empty_bytes}, {"co_exceptiontable", empty_bytes},
      {nullptr, nullptr},
  };
  PyObject* result = count && zero && flags && line ? replaced(code, changes) : nullptr;
  Py_XDECREF(count);
  Py_XDECREF(zero);
  Py_XDECREF(flags);
  Py_XDECREF(line);
  return result;
}

PyObject* new_entry_code(PyObject* name, const char* filename, int line, PyObject*, PyObject*) noexcept {
  PyObject* raised = PyErr_GetRaisedException();  // made while an exception is in flight: kept aside
  const Templates* made = templates();
  PyObject* file = made ? PyUnicode_FromString(filename) : nullptr;
  PyObject* first = file ? new_int(line) : nullptr;
  const Change changes[] = {
      {"co_name", name}, {"co_qualname", name}, {"co_filename", file}, {"co_firstlineno", first}, {nullptr, nullptr},
  };
  PyObject* result = first ? replaced(made->generator_code, changes) : nullptr;
  Py_XDECREF(first);
  Py_XDECREF(file);
  if (result) PyErr_SetRaisedException(raised);
  else keep_in_flight_unless_out_of_memory(raised);
  return result;
}

void add_frame_entry(PyThreadState*, PyObject* code, PyObject* globals, int) noexcept {
  PyObject* raised = PyErr_GetRaisedException();  // made while an exception is in flight: kept aside
  if (!raised) return;
  const Templates* made = templates();
  PyObject* function = made ? PyObject_CallFunctionObjArgs(made->function_type, code, globals, nullptr) : nullptr;
  PyObject* generator = function ? PyObject_CallNoArgs(function) : nullptr;
  static PyObject* gi_frame = nullptr;
  PyObject* frame = generator ? interned_attribute(generator, "gi_frame", &gi_frame) : nullptr;
  // The generator goes, and its frame, standing at its first line, stays with the entry.
  Py_XDECREF(generator);
  Py_XDECREF(function);
  if (!frame) return keep_in_flight_unless_out_of_memory(raised);
  PyErr_SetRaisedException(raised);
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
  Py_DECREF(frame);
}

}  // namespace tarn

#endif
