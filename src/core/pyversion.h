// The version layer: everything that differs between the CPython versions the module
// builds for, 3.8 to 3.13, and the only place that tests the interpreter's version.
//
// The rest of the code is written against the interpreter's newest public names; the first
// section supplies those names to the interpreters that lack them. What no public name
// covers gets a name of its own in the second section: the exception in flight as the
// module reads it, dictionary version tags, code objects and traceback frames, instance
// dictionaries, and the tail of a static type object. Adding an interpreter version
// touches this file alone.
#ifndef TARN_CORE_PYVERSION_H
#define TARN_CORE_PYVERSION_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>
#if PY_VERSION_HEX >= 0x030B0000
#include <opcode.h>
#endif

#include <cstddef>
#include <cstdint>
#include <type_traits>

static_assert(PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x030E0000,
              "corvessa.util.queue builds for CPython 3.8 to 3.13");

// ---------------------------------------------------------------------------
// The newest public names, for the interpreters that lack them.
// ---------------------------------------------------------------------------
#if PY_VERSION_HEX < 0x03090000
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
static inline void Py_SET_SIZE(PyVarObject* ob, Py_ssize_t size) noexcept { ob->ob_size = size; }
#define Py_SET_SIZE(ob, size) Py_SET_SIZE(reinterpret_cast<PyVarObject*>(ob), (size))
static inline void Py_SET_REFCNT(PyObject* ob, Py_ssize_t refcnt) noexcept { ob->ob_refcnt = refcnt; }
#define Py_SET_REFCNT(ob, refcnt) Py_SET_REFCNT(reinterpret_cast<PyObject*>(ob), (refcnt))
static inline void Py_SET_TYPE(PyObject* ob, PyTypeObject* type) noexcept { ob->ob_type = type; }
#define Py_SET_TYPE(ob, type) Py_SET_TYPE(reinterpret_cast<PyObject*>(ob), (type))
#endif

#if PY_VERSION_HEX < 0x030B0000
// 3.11 added the qualified name and the exception table; before, the line table is the
// last argument and the two are dropped.
static inline PyCodeObject* PyUnstable_Code_NewWithPosOnlyArgs(
    int argcount, int posonlyargcount, int kwonlyargcount, int nlocals, int stacksize, int flags,
    PyObject* code, PyObject* consts, PyObject* names, PyObject* varnames, PyObject* freevars,
    PyObject* cellvars, PyObject* filename, PyObject* name, PyObject* /* qualname */, int firstlineno,
    PyObject* linetable, PyObject* /* exceptiontable */) noexcept {
  return PyCode_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags, code,
                                   consts, names, varnames, freevars, cellvars, filename, name, firstlineno,
                                   linetable);
}
#elif PY_VERSION_HEX < 0x030C0000
#define PyUnstable_Code_NewWithPosOnlyArgs PyCode_NewWithPosOnlyArgs
#endif

#if PY_VERSION_HEX < 0x030D0000
typedef _PyCFunctionFast PyCFunctionFast;
typedef _PyCFunctionFastWithKeywords PyCFunctionFastWithKeywords;
static inline PyThreadState* PyThreadState_GetUnchecked(void) noexcept { return _PyThreadState_UncheckedGet(); }
#endif

namespace tarn {

// ---------------------------------------------------------------------------
// The exception in flight, read and written straight in the thread state. The module sees
// it as a (type, value, traceback) triple of owned references; until 3.12 the thread state
// holds exactly that, from 3.12 on one exception object that carries its own traceback.
// ---------------------------------------------------------------------------
struct ErrorTriple {
  PyObject* type;
  PyObject* value;
  PyObject* tb;
};

#if PY_VERSION_HEX < 0x030C0000

static_assert(offsetof(PyThreadState, curexc_value) == offsetof(PyThreadState, curexc_type) + sizeof(PyObject*) &&
                  offsetof(PyThreadState, curexc_traceback) == offsetof(PyThreadState, curexc_value) + sizeof(PyObject*),
              "the three curexc fields of PyThreadState follow each other");

// The type of the exception in flight (borrowed), or null when none is set.
inline PyObject* raised_type(PyThreadState* ts) noexcept { return ts->curexc_type; }

// Puts next in the thread state (its references handed over, each may be null) and hands
// back what the state held; nothing is released.
inline ErrorTriple swap_raised(PyThreadState* ts, ErrorTriple next) noexcept {
  ErrorTriple held = {ts->curexc_type, ts->curexc_value, ts->curexc_traceback};
  ts->curexc_type = next.type;
  ts->curexc_value = next.value;
  ts->curexc_traceback = next.tb;
  return held;
}

#else

static_assert(std::is_same<decltype(PyThreadState::current_exception), PyObject*>::value,
              "the thread state holds one exception object");

inline PyObject* raised_type(PyThreadState* ts) noexcept {
  PyObject* exc = ts->current_exception;
  return exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : nullptr;
}

inline ErrorTriple swap_raised(PyThreadState* ts, ErrorTriple next) noexcept {
  PyObject* held = ts->current_exception;
  ts->current_exception = nullptr;
  if (next.type) {
    // The interpreter keeps one exception object: it makes one of a value that is none yet
    // and gives it the traceback.
    PyErr_Restore(next.type, next.value, next.tb);
  } else {
    Py_XDECREF(next.value);
    Py_XDECREF(next.tb);
  }
  if (!held) return {nullptr, nullptr, nullptr};
  return {Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(held))), held, PyException_GetTraceback(held)};
}

#endif

// ---------------------------------------------------------------------------
// Dictionaries: the version tag that changes with every change of a dictionary (deprecated
// from 3.12 on, still kept), and stores with a key's stored hash.
// ---------------------------------------------------------------------------
static_assert(sizeof(std::uint64_t) == 8, "version tags are 64 bits wide");

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
static_assert(std::is_same<decltype(PyDictObject::ma_version_tag), std::uint64_t>::value,
              "a dictionary's version tag is a 64-bit unsigned integer");
inline std::uint64_t dict_version(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Stores value under key in an exact dict, with the key's hash computed beforehand.
inline int dict_set_with_hash(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t hash) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  return _PyDict_SetItem_KnownHash(dict, key, value, hash);
#else
  // No longer exported for extensions: the public store reads the str key's stored hash.
  (void)hash;
  return PyDict_SetItem(dict, key, value);
#endif
}

// ---------------------------------------------------------------------------
// Strings: until 3.12 a str may need readying before its data is read.
// ---------------------------------------------------------------------------
inline int unicode_ready(PyObject* op) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(op);
#else
  (void)op;
  return 0;
#endif
}

// ---------------------------------------------------------------------------
// Instance dictionaries. From 3.11 on the interpreter keeps the attributes of instances of
// many classes (those with managed dictionaries) inline until something asks for their
// dictionary; asking makes it, as reading __dict__ from Python does.
// ---------------------------------------------------------------------------
// The instance dictionary of obj (borrowed), or null when it has none.
inline PyObject* instance_dict(PyObject* obj) noexcept {
  PyObject** slot = _PyObject_GetDictPtr(obj);
  return slot ? *slot : nullptr;
}

// ---------------------------------------------------------------------------
// Code objects and frames of traceback entries. Until 3.11 a frame holds its current line
// in f_lineno; from 3.11 on frames are opaque and a new frame reads its line from the
// location of the instruction it stands at, so the code object of an entry gets a body
// whose instructions all sit at its first line: a RESUME (where new frames are taken to
// have started) and a no-op after it (where 3.13 places them), with a line table of one
// entry without columns.
// ---------------------------------------------------------------------------
#if PY_VERSION_HEX < 0x030B0000
static_assert(std::is_same<decltype(PyFrameObject::f_lineno), int>::value, "f_lineno is an int");
constexpr char kTracebackBody[] = "";
constexpr char kTracebackLineTable[] = "";
inline void set_frame_line(PyFrameObject* frame, int line) noexcept { frame->f_lineno = line; }
#else
constexpr char kTracebackBody[] = {static_cast<char>(RESUME), 0, static_cast<char>(NOP), 0, 0};
constexpr char kTracebackLineTable[] = {
    static_cast<char>(0x80 | (PY_CODE_LOCATION_INFO_NO_COLUMNS << 3) | (2 - 1)),  // two code units...
    0,                                                                             // ...at co_firstlineno
    0};
inline void set_frame_line(PyFrameObject*, int) noexcept {}
#endif
// Lengths in bytes of the two (0: the empty bytes object serves).
constexpr Py_ssize_t kTracebackBodySize = sizeof(kTracebackBody) - 1;
constexpr Py_ssize_t kTracebackLineTableSize = sizeof(kTracebackLineTable) - 1;

// ---------------------------------------------------------------------------
// Static type objects: the slots after tp_vectorcall differ by version.
// ---------------------------------------------------------------------------
#if PY_VERSION_HEX < 0x03090000
#define TARN_TYPE_SLOTS_AFTER_VECTORCALL /* tp_print */ nullptr,
#elif PY_VERSION_HEX < 0x030C0000
#define TARN_TYPE_SLOTS_AFTER_VECTORCALL
#elif PY_VERSION_HEX < 0x030D0000
#define TARN_TYPE_SLOTS_AFTER_VECTORCALL /* tp_watched */ 0,
#else
#define TARN_TYPE_SLOTS_AFTER_VECTORCALL /* tp_watched */ 0, /* tp_versions_used */ 0,
#endif

// ---------------------------------------------------------------------------
// The version check of the exec step compares the running interpreter with the one built
// for. Until 3.10 it reads characters 0 and 2 of "3.8"-style strings; those cannot tell
// 3.10 from 3.13, so builds for 3.10 and later compare the major and minor numbers.
// ---------------------------------------------------------------------------
constexpr bool kVersionCheckByNumbers = PY_VERSION_HEX >= 0x030A0000;

// Layouts the rest of the module relies on, asserted against the headers built with.
static_assert(sizeof(std::size_t) == 8 && PY_VECTORCALL_ARGUMENTS_OFFSET == (std::size_t{1} << 63),
              "the offset flag is the top bit of a 64-bit count word");
static_assert(std::is_same<decltype(PyASCIIObject::hash), Py_hash_t>::value, "a str stores its hash");

}  // namespace tarn

#endif  // TARN_CORE_PYVERSION_H
