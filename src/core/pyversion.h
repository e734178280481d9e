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
#define PyCFunction_CheckExact(op) (Py_TYPE(op) == &PyCFunction_Type)
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
// Types and instance storage.
//
// A type's version tag changes whenever the type or one on its MRO changes (the interpreter's
// own caches rely on it); 0 when it has none that is valid. Tags are never given twice.
//
// From 3.11 on the interpreter keeps the attributes of instances of most classes (those with
// managed dictionaries) in values of their own, indexed like the type's shared keys, until
// something asks for the instance's dictionary; asking makes it, as reading __dict__ from
// Python does, and slows the interpreter's own reads of that instance from then on.
// ---------------------------------------------------------------------------
inline unsigned int type_version(PyTypeObject* tp) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
#else
  return tp->tp_version_tag;  // 3.13 keeps no flag: a tag of 0 is none
#endif
}

// Can instances of tp have attributes of their own (a dictionary, or managed values)?
inline bool instances_have_dict(PyTypeObject* tp) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  if (PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) return true;
#endif
  return tp->tp_dictoffset != 0;
}

// The instance dictionary of obj (borrowed), or null when it has none; made where the
// interpreter keeps managed values instead.
inline PyObject* instance_dict(PyObject* obj) noexcept {
  Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
  if (offset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
  PyObject** slot = offset ? _PyObject_GetDictPtr(obj) : nullptr;  // from the end of a variable-size object
  return slot ? *slot : nullptr;
}

// What an instance's own storage holds under a name.
enum class StoredAttr { found, absent, error };

namespace detail {

// Looks name up in a dictionary, holding it meanwhile (a key's comparison may run Python
// code). *value: a new reference when found.
inline StoredAttr dict_attr(PyObject* dict, PyObject* name, Py_hash_t hash, PyObject** value) noexcept {
  Py_INCREF(dict);
  PyObject* found = _PyDict_GetItem_KnownHash(dict, name, hash);
  Py_XINCREF(found);
  Py_DECREF(dict);
  *value = found;
  return found ? StoredAttr::found : PyErr_Occurred() ? StoredAttr::error : StoredAttr::absent;
}

#if PY_VERSION_HEX >= 0x030B0000
// The head of CPython's dictionary keys object (PyDictKeysObject, internal/pycore_dict.h),
// enough to walk the entries of a type's shared keys: the hash table of 2**dk_log2_size
// indices, (1 << dk_log2_index_bytes) bytes, follows it, and the entries follow that.
struct KeysHead {
  Py_ssize_t dk_refcnt;
  std::uint8_t dk_log2_size;
  std::uint8_t dk_log2_index_bytes;
  std::uint8_t dk_kind;
  std::uint32_t dk_version;
  Py_ssize_t dk_usable;
  Py_ssize_t dk_nentries;
};
struct KeysEntry {  // PyDictUnicodeEntry
  PyObject* me_key;
  PyObject* me_value;
};
constexpr std::uint8_t kSplitKeys = 2;  // DICT_KEYS_SPLIT: the keys a type shares with its instances
constexpr std::size_t kKeysIndicesOffset = sizeof(KeysHead);
static_assert(kKeysIndicesOffset == 32, "the indices of PyDictKeysObject start at 32");

// The position of name among a type's shared keys (identity, as the interpreter stores the
// interned name), or -1. *hint remembers it; it is checked on every use.
inline Py_ssize_t shared_key_index(PyTypeObject* tp, PyObject* name, Py_ssize_t* hint) noexcept {
  if (!PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) return -1;
  auto* keys = reinterpret_cast<KeysHead*>(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys);
  if (!keys || keys->dk_kind != kSplitKeys) return -1;
  auto* entries = reinterpret_cast<KeysEntry*>(reinterpret_cast<char*>(keys) + kKeysIndicesOffset +
                                               (std::size_t{1} << keys->dk_log2_index_bytes));
  Py_ssize_t n = keys->dk_nentries;
  if (*hint >= 0 && *hint < n && entries[*hint].me_key == name) return *hint;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (entries[i].me_key == name) return *hint = i;
  return -1;
}

// The values of a managed-dict instance and its dictionary (either may be null).
struct ManagedStorage {
  PyObject** values;  // indexed like the type's shared keys; valid while not null
  PyObject* dict;
};
inline ManagedStorage managed_storage(PyObject* obj) noexcept {
  auto** preheader = reinterpret_cast<void**>(obj);
#if PY_VERSION_HEX < 0x030C0000
  // 3.11: the values pointer 4 words before the object, the dictionary 3 words before.
  return {static_cast<PyObject**>(preheader[-4]), static_cast<PyObject*>(preheader[-3])};
#elif PY_VERSION_HEX < 0x030D0000
  // 3.12: one word 3 before the object: the dictionary, or the values pointer less one byte
  // (an odd word).
  auto word = reinterpret_cast<std::uintptr_t>(preheader[-3]);
  if (word & 1) return {reinterpret_cast<PyObject**>(word + 1), nullptr};
  return {nullptr, reinterpret_cast<PyObject*>(word)};
#else
  // 3.13: the values inline after the object head (capacity, size, embedded and valid bytes,
  // then the slots), used while valid; the dictionary 3 words before the object.
  PyObject* dict = static_cast<PyObject*>(preheader[-3]);
  if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES)) return {nullptr, dict};
  auto* head = reinterpret_cast<std::uint8_t*>(obj) + sizeof(PyObject);
  if (!head[3]) return {nullptr, dict};
  return {reinterpret_cast<PyObject**>(head + sizeof(void*)), dict};
#endif
}
#endif

}  // namespace detail

// What obj's own storage holds under name (hash: name's), as the interpreter's generic
// attribute lookup finds it there, without making a dictionary the interpreter would keep
// inline. *value: a new reference when found. *hint: see shared_key_index.
inline StoredAttr read_instance_attr(PyObject* obj, PyObject* name, Py_hash_t hash, Py_ssize_t* hint,
                                     PyObject** value) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  PyTypeObject* tp = Py_TYPE(obj);
  if (PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) {
    detail::ManagedStorage storage = detail::managed_storage(obj);
    if (storage.values) {
      Py_ssize_t i = detail::shared_key_index(tp, name, hint);
      PyObject* found = i >= 0 ? storage.values[i] : nullptr;
      Py_XINCREF(found);
      *value = found;
      return found ? StoredAttr::found : StoredAttr::absent;
    }
    if (!storage.dict) return StoredAttr::absent;
    return detail::dict_attr(storage.dict, name, hash, value);
  }
#else
  (void)hint;
#endif
  PyObject* dict = instance_dict(obj);
  if (!dict) return StoredAttr::absent;
  return detail::dict_attr(dict, name, hash, value);
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
