// The version layer: everything that differs between the CPython versions the module
// builds for, 3.8 to 3.15 and any newer one, and the only place that tests the
// interpreter's version.
//
// The rest of the code is written against the interpreter's newest public names; the first
// section supplies those names to the interpreters that lack them. What no public name
// covers gets a name of its own further down: the exception in flight as the module reads
// it, a change signal for dictionaries, code objects and traceback frames, instance
// storage, and the tail of a static type object. Adding an interpreter version touches this
// file alone (and layout_check.c, which holds the private layouts read here against the
// interpreter's own headers).
//
// Two kinds of road. The fast roads read private layouts and call private functions of the
// interpreter, exactly as each known version defines them. The generic roads use the public
// interface only and answer the same: until 3.12 the interface as each version defines it,
// and from 3.12 on the limited API of 3.12 alone, the stable ABI (TARN_STABLE_ABI; the build
// compiles the module's own code with Py_LIMITED_API), so that one binary built with 3.12's
// headers serves every later version; it asks the interpreter it runs on for what differs
// between versions (running_version). A build for a CPython newer than the newest this layer
// knows takes the stable ABI everywhere, as does a build for 3.12 or later with
// TARN_GENERIC_ROADS defined to 1 (the CMake option of that name).
//
// This header also serves C (layout_check.c): what C must see stands outside the C++ parts.
#ifndef TARN_CORE_PYVERSION_H
#define TARN_CORE_PYVERSION_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>
#if PY_VERSION_HEX >= 0x030B0000
#include <opcode.h>
#endif

// The newest CPython whose private layouts this layer knows (the build reads this line).
#define TARN_NEWEST_KNOWN_PYTHON 0x030F0000 /* 3.15 */
#if PY_VERSION_HEX < 0x03080000
#error "corvessa.util.queue builds for CPython 3.8 and later"
#endif
#ifndef TARN_STABLE_ABI
#define TARN_STABLE_ABI 0
#endif
// The limited API the stable ABI is written against, 3.12's: its binary serves 3.12 and
// every later CPython, whatever headers build it (the build gives the module's own code
// Py_LIMITED_API at this value).
#define TARN_STABLE_ABI_FLOOR 0x030C0000
#if defined(Py_LIMITED_API) && Py_LIMITED_API != TARN_STABLE_ABI_FLOOR
#error "the module's code is written against the limited API of CPython 3.12"
#endif
#if TARN_STABLE_ABI
#undef TARN_GENERIC_ROADS
#define TARN_GENERIC_ROADS 1
#if PY_VERSION_HEX < 0x030C0000
#error "the stable ABI is built with the headers of CPython 3.12 or later"
#endif
#elif PY_VERSION_HEX >= TARN_NEWEST_KNOWN_PYTHON + 0x00010000
#error "a CPython newer than the version layer knows takes the stable ABI (TARN_STABLE_ABI)"
#endif
#ifndef TARN_GENERIC_ROADS
#define TARN_GENERIC_ROADS 0
#endif
#if TARN_STABLE_ABI
// What the stable ABI's binary takes from interpreters of 3.9 to 3.12 and not before, bound
// weakly: every CPython from 3.2 on loads a file of its suffix (queue.abi3.so), and an older
// one must get as far as the module's entry, which refuses it in its own words.
#pragma weak PyErr_GetRaisedException
#pragma weak PyErr_SetRaisedException
#pragma weak PyInterpreterState_Get
#pragma weak PyObject_CallNoArgs
#pragma weak PyObject_Vectorcall
#pragma weak PyType_FromMetaclass
#pragma weak PyType_GetName
#pragma weak Py_EnterRecursiveCall
#pragma weak Py_LeaveRecursiveCall
#pragma weak Py_Version
#pragma weak _Py_DecRef
#pragma weak _Py_IncRef
#endif
#if defined(TARN_PY_DEBUG) != defined(Py_DEBUG)
#error "the interpreter's headers are not those of its kind of build (debug or release): its ABI cannot be served"
#endif

// ---------------------------------------------------------------------------
// The private layouts the fast roads read from 3.11 on, as this version's internal headers
// define them; layout_check.c asserts every field against those headers.
// ---------------------------------------------------------------------------
#if !TARN_GENERIC_ROADS && PY_VERSION_HEX >= 0x030B0000
// The head of a dictionary keys object (PyDictKeysObject); its index table of
// (1 << dk_log2_index_bytes) bytes follows it, and the entries follow that.
typedef struct {
  Py_ssize_t dk_refcnt;
  uint8_t dk_log2_size;
  uint8_t dk_log2_index_bytes;
  uint8_t dk_kind;
  uint32_t dk_version;
  Py_ssize_t dk_usable;
  Py_ssize_t dk_nentries;
} tarn_keys_head;
// An entry of keys that are all str (PyDictUnicodeEntry).
typedef struct {
  PyObject* me_key;
  PyObject* me_value;
} tarn_keys_entry;
#define TARN_DICT_KEYS_SPLIT 2 /* DICT_KEYS_SPLIT: the keys a type shares with its instances */
// The values of an instance with a managed dictionary (PyDictValues).
typedef struct {
#if PY_VERSION_HEX >= 0x030D0000
  uint8_t capacity;
  uint8_t size;
  uint8_t embedded;
  uint8_t valid;
#endif
  PyObject* values[1];
} tarn_values;
// Where a managed dictionary is kept: this many bytes before the object.
#define TARN_MANAGED_DICT_OFFSET (-3 * (Py_ssize_t)sizeof(PyObject*))
#endif

// What the guard of a C call reads besides the public thread state: 3.9 and 3.10 compare the
// depth with the interpreter's recursion limit (PyInterpreterState.ceval.recursion_limit);
// from 3.14 on the machine stack is compared with the thread's soft limit
// (_PyThreadStateImpl.c_stack_soft_limit), within a band of twice the interpreter's margin
// below it (_PyOS_STACK_MARGIN_BYTES of a build without sanitizers, whose headers double it).
// The offsets are this CPU's, found in its headers at configure time (tools/layout-probe.c);
// where they could not be, the build takes the interpreter's exported guard
// (TARN_EXPORTED_GUARD).
#ifndef TARN_EXPORTED_GUARD
#define TARN_EXPORTED_GUARD 0
#endif
#if !TARN_GENERIC_ROADS && !TARN_EXPORTED_GUARD && PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030B0000
#ifndef TARN_INTERP_RECURSION_LIMIT_AT
#error "TARN_INTERP_RECURSION_LIMIT_AT comes from the configure step (tools/layout-probe.c)"
#endif
#elif !TARN_GENERIC_ROADS && !TARN_EXPORTED_GUARD && PY_VERSION_HEX >= 0x030E0000
#ifndef TARN_TSTATE_STACK_SOFT_LIMIT_AT
#error "TARN_TSTATE_STACK_SOFT_LIMIT_AT comes from the configure step (tools/layout-probe.c)"
#endif
#ifdef Py_DEBUG
#define TARN_STACK_MARGIN_BYTES (4096 * (uintptr_t)sizeof(void*))
#else
#define TARN_STACK_MARGIN_BYTES (2048 * (uintptr_t)sizeof(void*))
#endif
#endif

#ifdef __cplusplus

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

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
#define Py_IS_TYPE(ob, type) (Py_TYPE(ob) == (type))
#define PyObject_Vectorcall _PyObject_Vectorcall
static inline PyObject* PyObject_CallOneArg(PyObject* callable, PyObject* arg) noexcept {
  return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
#endif

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* op) noexcept {
  Py_INCREF(op);
  return op;
}
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

#ifdef Py_LIMITED_API
// What the limited API has as functions alone, under the names the code uses.
#define PyTuple_GET_ITEM(op, i) PyTuple_GetItem((op), (i))
#define PyTuple_GET_SIZE(op) PyTuple_Size(op)
#define PyTuple_SET_ITEM(op, i, v) ((void)PyTuple_SetItem((op), (i), (v)))
#define PyList_SET_ITEM(op, i, v) ((void)PyList_SetItem((op), (i), (v)))
#define PyDict_GET_SIZE(op) PyDict_Size(op)
#define PyUnicode_GET_LENGTH(op) PyUnicode_GetLength(op)
#define PyUnicode_AsUTF8(op) PyUnicode_AsUTF8AndSize((op), nullptr)
#define PyCFunction_CheckExact(op) Py_IS_TYPE((op), &PyCFunction_Type)
// The flag a vector call's count carries is itself part of the stable ABI: no call to take it off.
#define PyVectorcall_NARGS(n) static_cast<Py_ssize_t>((n) & ~PY_VECTORCALL_ARGUMENTS_OFFSET)
static inline PyObject* PyObject_CallOneArg(PyObject* callable, PyObject* arg) noexcept {
  return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
#endif

#if PY_VERSION_HEX < 0x03090000
static inline PyInterpreterState* PyInterpreterState_Get(void) noexcept { return PyThreadState_Get()->interp; }
#endif

#if PY_VERSION_HEX < 0x030D0000
typedef _PyCFunctionFast PyCFunctionFast;
typedef _PyCFunctionFastWithKeywords PyCFunctionFastWithKeywords;
#endif
#if PY_VERSION_HEX < 0x030D0000 || defined(Py_LIMITED_API)
#if TARN_GENERIC_ROADS
static inline PyThreadState* PyThreadState_GetUnchecked(void) noexcept { return PyThreadState_Get(); }
#else
static inline PyThreadState* PyThreadState_GetUnchecked(void) noexcept { return _PyThreadState_UncheckedGet(); }
#endif
#endif

namespace tarn {

// True where the fast roads are taken. The operations below that only fast roads use are
// declared without a definition on the generic roads, where nothing may call them.
constexpr bool kFastRoads = !TARN_GENERIC_ROADS;
// True where one binary serves every CPython from 3.12 on.
constexpr bool kStableAbi = TARN_STABLE_ABI;

// The version of the interpreter the module runs on, as PY_VERSION_HEX gives it: the one
// built for, but on the stable ABI, whose binary asks the interpreter (3.12 or later: the
// module's entry refuses an older one before anything asks).
#if TARN_STABLE_ABI
inline unsigned long running_version() noexcept { return Py_Version; }
#define TARN_RUNNING_CONSTEXPR
#else
constexpr unsigned long running_version() noexcept { return PY_VERSION_HEX; }
#define TARN_RUNNING_CONSTEXPR constexpr
#endif
// Is the interpreter the module runs on `hex` (a PY_VERSION_HEX) or a later one?
inline TARN_RUNNING_CONSTEXPR bool running_since(unsigned long hex) noexcept { return running_version() >= hex; }

// ---------------------------------------------------------------------------
// The exception in flight. The module sees it as a (type, value, traceback) triple of owned
// references. Until 3.12 the thread state holds exactly that, read and written straight
// there; from 3.12 on it holds one exception object that carries its own traceback, and the
// interpreter's public calls read and write it at no cost worth a field of our own.
// ---------------------------------------------------------------------------
struct ErrorTriple {
  PyObject* type;
  PyObject* value;
  PyObject* tb;
};

#if PY_VERSION_HEX < 0x030C0000 && !TARN_GENERIC_ROADS

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

#elif PY_VERSION_HEX < 0x030C0000

// The public calls of the same fields (the thread state is the calling thread's).
inline PyObject* raised_type(PyThreadState*) noexcept { return PyErr_Occurred(); }

inline ErrorTriple swap_raised(PyThreadState*, ErrorTriple next) noexcept {
  ErrorTriple held;
  PyErr_Fetch(&held.type, &held.value, &held.tb);
  PyErr_Restore(next.type, next.value, next.tb);
  return held;
}

#else

inline PyObject* raised_type(PyThreadState*) noexcept { return PyErr_Occurred(); }

inline ErrorTriple swap_raised(PyThreadState*, ErrorTriple next) noexcept {
  PyObject* held = PyErr_GetRaisedException();
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
// The guard of a C call, made as the interpreter's own call of a method descriptor makes it,
// on the calling thread's state ts: enter_c_call is true when the call is refused (the
// interpreter's RecursionError set, nothing to undo); leave_c_call follows every call
// entered. Until 3.11 a depth counts up to the limit (3.8 clears the overflow flag below its
// low-water mark on the way back), from 3.11 a count of room left counts down, and from
// 3.14 on the machine stack is measured against the thread's soft limit. The generic roads
// take the interpreter's exported guard, and so does a build that could not find where the
// guard's fields stand.
// ---------------------------------------------------------------------------
#if TARN_GENERIC_ROADS || TARN_EXPORTED_GUARD

// The thread state the guard reads: none, the exported guard finds its own.
inline PyThreadState* c_call_thread_state() noexcept { return nullptr; }
inline bool enter_c_call(PyThreadState*, const char* where) noexcept { return Py_EnterRecursiveCall(where) != 0; }
inline void leave_c_call(PyThreadState*) noexcept { Py_LeaveRecursiveCall(); }

#else

inline PyThreadState* c_call_thread_state() noexcept { return PyThreadState_GetUnchecked(); }

#if PY_VERSION_HEX < 0x03090000

inline bool enter_c_call(PyThreadState* ts, const char* where) noexcept {
  return _Py_MakeRecCheck(ts->recursion_depth) && _Py_CheckRecursiveCall(where);
}
inline void leave_c_call(PyThreadState* ts) noexcept {
  if (_Py_MakeEndRecCheck(ts->recursion_depth)) ts->overflowed = 0;
}

#else

// The interpreter's own check past the limit (exported; layout_check.c ties its signature).
extern "C" int _Py_CheckRecursiveCall(PyThreadState* tstate, const char* where);

#if PY_VERSION_HEX < 0x030B0000
inline bool enter_c_call(PyThreadState* ts, const char* where) noexcept {
  int limit = *reinterpret_cast<int*>(reinterpret_cast<char*>(ts->interp) + TARN_INTERP_RECURSION_LIMIT_AT);
  return ++ts->recursion_depth > limit && _Py_CheckRecursiveCall(ts, where);
}
inline void leave_c_call(PyThreadState* ts) noexcept { --ts->recursion_depth; }
#elif PY_VERSION_HEX < 0x030C0000
inline bool enter_c_call(PyThreadState* ts, const char* where) noexcept {
  return --ts->recursion_remaining < 0 && _Py_CheckRecursiveCall(ts, where);  // none was left
}
inline void leave_c_call(PyThreadState* ts) noexcept { ++ts->recursion_remaining; }
#elif PY_VERSION_HEX < 0x030E0000
inline bool enter_c_call(PyThreadState* ts, const char* where) noexcept {
  return --ts->c_recursion_remaining < 0 && _Py_CheckRecursiveCall(ts, where);  // none was left
}
inline void leave_c_call(PyThreadState* ts) noexcept { ++ts->c_recursion_remaining; }
#else
inline bool enter_c_call(PyThreadState* ts, const char* where) noexcept {
#if defined(__has_builtin) && __has_builtin(__builtin_stack_address)
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_stack_address());
#else
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
  std::uintptr_t soft = *reinterpret_cast<std::uintptr_t*>(reinterpret_cast<char*>(ts) + TARN_TSTATE_STACK_SOFT_LIMIT_AT);
  // Within the band of twice the margin past the soft limit, in one comparison:
#if _Py_STACK_GROWS_DOWN
  std::uintptr_t into_band = here - (soft - 2 * TARN_STACK_MARGIN_BYTES);  // soft - 2 * margin <= here < soft
#else
  std::uintptr_t into_band = here - (soft + 1);  // soft < here <= soft + 2 * margin
#endif
  return into_band < 2 * TARN_STACK_MARGIN_BYTES && _Py_CheckRecursiveCall(ts, where);
}
inline void leave_c_call(PyThreadState*) noexcept {}
#endif

#endif
#endif

// ---------------------------------------------------------------------------
// Dictionaries.
//
// A change signal: dict_version(d) gives a number that differs from every number it gave
// before, for any dictionary, unless d is unchanged since (a cache that keeps the number
// with what it read may answer again while the number is the same). Until 3.14 every
// dictionary carries such a number, its version tag. From 3.14 on the module counts the
// changes itself, through a dictionary watcher of the interpreter, of the dictionaries it
// gave to watch_dict; dict_version serves only those. Without a watcher to be had (the
// generic roads: none before 3.12, and none in the stable ABI's limited API), dict_version
// gives a new number every time: nothing is ever taken from a cache.
// ---------------------------------------------------------------------------
static_assert(sizeof(std::uint64_t) == 8, "version numbers are 64 bits wide");

#if PY_VERSION_HEX < 0x030E0000 && !TARN_GENERIC_ROADS


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
inline void watch_dict(PyObject*) noexcept {}  // every dictionary carries its tag

#else


namespace detail {
// The count of changes to the watched dictionaries; every watched change makes it greater.
inline std::uint64_t dict_changes = 1;
// The module's dictionary watcher, or -1 while it has none.
inline int dict_watcher = -1;
#if PY_VERSION_HEX >= 0x030C0000 && !TARN_STABLE_ABI
// Called by the interpreter before each change of a watched dictionary.
inline int count_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++dict_changes;
  return 0;
}
#endif
}  // namespace detail

inline std::uint64_t dict_version(PyObject*) noexcept {
  return detail::dict_watcher >= 0 ? detail::dict_changes : ++detail::dict_changes;
}

// Starts counting the changes of dict. When the interpreter has no watcher left (or no
// watchers at all), nothing is counted and dict_version never repeats; no error is left set.
inline void watch_dict(PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && !TARN_STABLE_ABI
  if (detail::dict_watcher < 0) {
    int id = PyDict_AddWatcher(detail::count_dict_change);
    if (id < 0) {
      PyErr_Clear();
      return;
    }
    detail::dict_watcher = id;
  }
  if (PyDict_Watch(detail::dict_watcher, dict) < 0) {
    PyErr_Clear();
    return;
  }
  ++detail::dict_changes;  // whatever was read of dict before it was watched is stale
#else
  (void)dict;
#endif
}

#endif

// Looks key up in an exact dict with the key's hash computed beforehand. Returns a borrowed
// reference, or null (with an error set only when the lookup failed).
inline PyObject* dict_get_with_hash(PyObject* dict, PyObject* key, Py_hash_t hash) noexcept {
#if !TARN_GENERIC_ROADS
  return _PyDict_GetItem_KnownHash(dict, key, hash);
#else
  (void)hash;  // the lookup reads the str key's stored hash
  return PyDict_GetItemWithError(dict, key);
#endif
}

// Stores value under key in an exact dict, with the key's hash computed beforehand.
inline int dict_set_with_hash(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t hash) noexcept {
#if PY_VERSION_HEX < 0x030D0000 && !TARN_GENERIC_ROADS
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
// Objects whose layout the limited API keeps to the interpreter. Each operation reads the
// object's fields where the headers define them for the module's code, and answers by the
// public interface on the stable ABI; where that has no answer, it says "none" (a null slot,
// no parts), and the caller takes its generic road. The parts of builtin function records
// are read only for objects the caller has checked the type of.
// ---------------------------------------------------------------------------

// The str's stored hash (an identifier's is computed when it is made). The generic roads'
// dictionary operations take the hash from the str themselves, and get -1.
inline Py_hash_t stored_hash(PyObject* name) noexcept {
#if !TARN_GENERIC_ROADS
  Py_hash_t h = reinterpret_cast<PyASCIIObject*>(name)->hash;
  return h != -1 ? h : PyObject_Hash(name);
#else
  (void)name;
  return -1;
#endif
}

// A record of the module's own that begins with the fields of a builtin function's, so that
// code reading those (cfunction_def) reads it too; on the stable ABI the record is the
// module's alone.
#if !TARN_STABLE_ABI
#define TARN_ASSERT_CFUNCTION_PREFIX(T)                                                                     \
  static_assert(offsetof(T, m_ml) == offsetof(PyCFunctionObject, m_ml) &&                                   \
                    offsetof(T, m_self) == offsetof(PyCFunctionObject, m_self) &&                           \
                    offsetof(T, m_module) == offsetof(PyCFunctionObject, m_module) &&                       \
                    offsetof(T, m_weakreflist) == offsetof(PyCFunctionObject, m_weakreflist) &&             \
                    offsetof(T, vectorcall) == offsetof(PyCFunctionObject, vectorcall) &&                   \
                    offsetof(T, dict) == sizeof(PyCFunctionObject),                                         \
                "the record begins with the fields of PyCFunctionObject, and its own fields follow")
#else
#define TARN_ASSERT_CFUNCTION_PREFIX(T) static_assert(offsetof(T, m_ml) == sizeof(PyObject), "the record's head")
#endif

// The attribute of obj under the name text, interned once and kept in *name: a name made
// afresh for each lookup would take a new place in the interpreter's cache of type lookups
// every time, and keep it there. A new reference, or null with an error set.
inline PyObject* interned_attribute(PyObject* obj, const char* text, PyObject** name) noexcept {
  if (!*name && !(*name = PyUnicode_InternFromString(text))) return nullptr;
  return PyObject_GetAttr(obj, *name);
}

// Slots of a type: null where it has none, and on the stable ABI, where the interpreter's
// generic entry (PyObject_GetAttr, PyObject_Call, ...) dispatches to the slot itself.
#if !TARN_STABLE_ABI
inline getattrofunc type_getattro(PyTypeObject* tp) noexcept { return tp->tp_getattro; }
inline setattrofunc type_setattro(PyTypeObject* tp) noexcept { return tp->tp_setattro; }
inline ternaryfunc type_call(PyTypeObject* tp) noexcept { return tp->tp_call; }
inline descrgetfunc type_descr_get(PyTypeObject* tp) noexcept { return tp->tp_descr_get; }
inline descrsetfunc type_descr_set(PyTypeObject* tp) noexcept { return tp->tp_descr_set; }
inline PyObject* type_mro(PyTypeObject* tp) noexcept { return tp->tp_mro; }
inline PyTypeObject* type_base(PyTypeObject* tp) noexcept { return tp->tp_base; }
inline const char* type_name(PyTypeObject* tp) noexcept { return tp->tp_name; }
inline bool type_unready(PyTypeObject* tp) noexcept { return !tp->tp_dict; }
inline Py_ssize_t type_basicsize(PyTypeObject* tp) noexcept { return tp->tp_basicsize; }
// The vectorcall entry of obj, or null.
inline vectorcallfunc vectorcall_of(PyObject* obj) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  if (!PyType_HasFeature(tp, Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
  return *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(obj) + tp->tp_vectorcall_offset);
}
// The method definition and self of a builtin function record (a PyCFunctionObject, or a
// function object of the module's own, which begins with the same fields).
inline PyMethodDef* cfunction_def(PyObject* f) noexcept { return reinterpret_cast<PyCFunctionObject*>(f)->m_ml; }
inline PyObject* cfunction_self(PyObject* f) noexcept { return reinterpret_cast<PyCFunctionObject*>(f)->m_self; }
// The C function of a builtin function record, and the self it is called with (null for
// METH_STATIC).
inline PyCFunction cfunction_entry(PyObject* f) noexcept { return cfunction_def(f)->ml_meth; }
// Is builtin function f the one of method record def?
inline bool cfunction_is(PyObject* f, const PyMethodDef* def) noexcept { return cfunction_def(f) == def; }
inline PyObject* cfunction_call_self(PyObject* f) noexcept {
  return (cfunction_def(f)->ml_flags & METH_STATIC) ? nullptr : cfunction_self(f);
}
// The method definition of a method descriptor (checked by the caller).
inline PyMethodDef* method_descr_def(PyObject* d) noexcept { return reinterpret_cast<PyMethodDescrObject*>(d)->d_method; }
inline PyTypeObject* method_descr_type(PyObject* d) noexcept { return PyDescr_TYPE(d); }
// The C function and flags (METH_CLASS, METH_STATIC and METH_COEXIST left out) of method
// descriptor d, which obj's type has; false when they cannot be read.
inline bool method_descr_entry(PyObject* d, PyObject*, PyCFunction* entry, int* flags) noexcept {
  PyMethodDef* def = method_descr_def(d);
  *entry = def->ml_meth;
  *flags = def->ml_flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST);
  return true;
}
// A bound method's function and self, when attr is one.
inline bool bound_method_parts(PyObject* attr, PyObject** func, PyObject** self) noexcept {
  if (!attr || Py_TYPE(attr) != &PyMethod_Type) return false;
  *func = PyMethod_GET_FUNCTION(attr);
  *self = PyMethod_GET_SELF(attr);
  return true;
}
inline PyObject* new_bound_method(PyObject* func, PyObject* self) noexcept { return PyMethod_New(func, self); }
inline PyObject* new_cell(PyObject* content) noexcept { return PyCell_New(content); }
// Appends item to an exact list in place while no resize is due; false when it did not (the
// caller takes PyList_Append).
inline bool list_append_in_place(PyObject* list, PyObject* item) noexcept {
  auto* l = reinterpret_cast<PyListObject*>(list);
  Py_ssize_t size = Py_SIZE(l);
  Py_ssize_t capacity = l->allocated;
  if (capacity <= size || size <= (capacity >> 1)) return false;
  Py_INCREF(item);
  l->ob_item[size] = item;
  Py_SET_SIZE(l, size + 1);
  return true;
}
// Pops the last item of an exact list in place while no shrink is due, the list's reference
// handed over; null when it did not.
inline PyObject* list_pop_in_place(PyObject* list) noexcept {
  auto* l = reinterpret_cast<PyListObject*>(list);
  Py_ssize_t size = Py_SIZE(l);
  if (size <= (l->allocated >> 1)) return nullptr;
  Py_SET_SIZE(l, size - 1);
  return l->ob_item[size - 1];
}
#else
inline getattrofunc type_getattro(PyTypeObject*) noexcept { return nullptr; }
inline setattrofunc type_setattro(PyTypeObject*) noexcept { return nullptr; }
inline ternaryfunc type_call(PyTypeObject*) noexcept { return nullptr; }
inline descrgetfunc type_descr_get(PyTypeObject* tp) noexcept {
  return reinterpret_cast<descrgetfunc>(PyType_GetSlot(tp, Py_tp_descr_get));
}
inline descrsetfunc type_descr_set(PyTypeObject* tp) noexcept {
  return reinterpret_cast<descrsetfunc>(PyType_GetSlot(tp, Py_tp_descr_set));
}
inline PyObject* type_mro(PyTypeObject*) noexcept { return nullptr; }
inline PyTypeObject* type_base(PyTypeObject* tp) noexcept {
  return static_cast<PyTypeObject*>(PyType_GetSlot(tp, Py_tp_base));
}
inline const char* type_name(PyTypeObject*) noexcept { return "?"; }
inline bool type_unready(PyTypeObject*) noexcept { return false; }
// __basicsize__ of a type object, or -1 (no error left set).
inline Py_ssize_t type_basicsize(PyTypeObject* tp) noexcept {
  static PyObject* name = nullptr;
  PyObject* size = interned_attribute(reinterpret_cast<PyObject*>(tp), "__basicsize__", &name);
  Py_ssize_t n = size ? PyLong_AsSsize_t(size) : -1;
  Py_XDECREF(size);
  if (n < 0) PyErr_Clear();
  return n;
}
inline vectorcallfunc vectorcall_of(PyObject*) noexcept { return nullptr; }
inline PyMethodDef* cfunction_def(PyObject*) noexcept { return nullptr; }
inline PyObject* cfunction_self(PyObject*) noexcept { return nullptr; }
// Of a builtin function (PyCFunction_Check), from the interpreter's exported getters.
inline PyCFunction cfunction_entry(PyObject* f) noexcept { return PyCFunction_GetFunction(f); }
inline bool cfunction_is(PyObject* f, const PyMethodDef* def) noexcept { return PyCFunction_GetFunction(f) == def->ml_meth; }
inline PyObject* cfunction_call_self(PyObject* f) noexcept { return PyCFunction_GetSelf(f); }
inline PyMethodDef* method_descr_def(PyObject*) noexcept { return nullptr; }
inline PyTypeObject* method_descr_type(PyObject*) noexcept { return nullptr; }
// The stable ABI reads them from the built-in method that binding d to obj makes (the
// method record is the descriptor's), and leaves errors cleared.
inline bool method_descr_entry(PyObject* d, PyObject* obj, PyCFunction* entry, int* flags) noexcept {
  descrgetfunc bind = type_descr_get(Py_TYPE(d));
  PyObject* bound = bind ? bind(d, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))) : nullptr;
  bool read = bound && PyCFunction_CheckExact(bound) && PyCFunction_GetSelf(bound) == obj;
  if (read) {
    *entry = PyCFunction_GetFunction(bound);
    *flags = PyCFunction_GetFlags(bound) & ~(METH_CLASS | METH_STATIC | METH_COEXIST);
  }
  Py_XDECREF(bound);
  PyErr_Clear();
  return read && *entry;
}
inline bool bound_method_parts(PyObject*, PyObject**, PyObject**) noexcept { return false; }
// An attribute of the module types (MethodType, FunctionType, CellType), kept for the life of
// the process once read (borrowed), or null with an error set.
PyObject* types_attribute(const char* name, PyObject** kept) noexcept;
inline PyObject* new_bound_method(PyObject* func, PyObject* self) noexcept {
  static PyObject* method_type = nullptr;
  PyObject* type = types_attribute("MethodType", &method_type);
  return type ? PyObject_CallFunctionObjArgs(type, func, self, nullptr) : nullptr;
}
inline PyObject* new_cell(PyObject* content) noexcept {
  static PyObject* cell_type = nullptr;
  PyObject* type = types_attribute("CellType", &cell_type);
  return type ? PyObject_CallOneArg(type, content) : nullptr;
}
inline bool list_append_in_place(PyObject*, PyObject*) noexcept { return false; }
inline PyObject* list_pop_in_place(PyObject*) noexcept { return nullptr; }
// After a failure of the interpreter's compiler or type maker, which can give up at a failed
// allocation without a word: the MemoryError it did not set, where it set none.
inline void failed_allocation_reported(const char* what) noexcept {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_MemoryError, what);
}
// The dictionary of a heap type, as the collector sees it (borrowed), or null with an error
// set: the one road to it the limited API has, for a type the module has just made.
PyObject* heap_type_dict(PyTypeObject* tp) noexcept;
#endif

// The items of a tuple as an array (borrowed references): the tuple's own where the headers
// define its layout; on the stable ABI a copy, in place for a few items, else on the heap.
// data() is null, with MemoryError set, when the copy cannot be made.
class TupleItems {
 public:
#if !TARN_STABLE_ABI
  explicit TupleItems(PyObject* tuple) noexcept : items_(&PyTuple_GET_ITEM(tuple, 0)) {}
#else
  explicit TupleItems(PyObject* tuple) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    PyObject** items = n <= kInPlace ? in_place_ : heap_ = static_cast<PyObject**>(PyMem_Malloc(n * sizeof(PyObject*)));
    if (!items) {
      PyErr_NoMemory();
      return;
    }
    for (Py_ssize_t i = 0; i < n; ++i) items[i] = PyTuple_GET_ITEM(tuple, i);
    items_ = items;
  }
  ~TupleItems() { PyMem_Free(heap_); }
#endif
  TupleItems(const TupleItems&) = delete;
  TupleItems& operator=(const TupleItems&) = delete;
  PyObject* const* data() const noexcept { return items_; }

 private:
  PyObject* const* items_ = nullptr;
#if TARN_STABLE_ABI
  static constexpr Py_ssize_t kInPlace = 8;
  PyObject* in_place_[kInPlace];
  PyObject** heap_ = nullptr;
#endif
};

// Do two exact str hold the same text? 1, 0, or -1 with an error set. Read from their data
// (length, stored hashes, kind, first character, then all) where the headers define it.
inline int exact_str_equal(PyObject* a, PyObject* b) noexcept {
#if !TARN_STABLE_ABI
  if (unicode_ready(a) < 0 || unicode_ready(b) < 0) return -1;
  Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  if (length != PyUnicode_GET_LENGTH(b)) return 0;
  Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
  Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
  if (ha != -1 && hb != -1 && ha != hb) return 0;
  int kind = PyUnicode_KIND(a);
  if (kind != static_cast<int>(PyUnicode_KIND(b))) return 0;
  const void* da = PyUnicode_DATA(a);
  const void* db = PyUnicode_DATA(b);
  if (PyUnicode_READ(kind, da, 0) != PyUnicode_READ(kind, db, 0)) return 0;
  if (length == 1) return 1;
  return std::memcmp(da, db, static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
#else
  int order = PyUnicode_Compare(a, b);
  if (order == -1 && PyErr_Occurred()) return -1;
  return order == 0;
#endif
}

// ---------------------------------------------------------------------------
// Attributes, types and instance storage.
//
// A type's version tag changes whenever the type or one on its MRO changes (the interpreter's
// own caches rely on it); 0 when it has none that is valid, and always 0 on the generic
// roads, so that nothing is cached by type. Tags are never given twice.
//
// From 3.11 on the interpreter keeps the attributes of instances of most classes (those with
// managed dictionaries) in values of their own, indexed like the type's shared keys, until
// something asks for the instance's dictionary; asking makes it, as reading __dict__ from
// Python does, and slows the interpreter's own reads of that instance from then on.
// ---------------------------------------------------------------------------

// The message of a missing attribute, as the interpreter words it: from 3.12 on it keeps up
// to 100 characters of the type's name, before 50.
#if PY_VERSION_HEX < 0x030C0000
constexpr char kNoAttributeFormat[] = "'%.50s' object has no attribute '%U'";
#else
constexpr char kNoAttributeFormat[] = "'%.100s' object has no attribute '%U'";
#endif

inline unsigned int type_version(PyTypeObject* tp) noexcept {
#if TARN_GENERIC_ROADS
  (void)tp;
  return 0;
#elif PY_VERSION_HEX < 0x030A0000
  // A changed type keeps its old tag until a lookup gives it a new one; the flag says so.
  return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
#else
  return tp->tp_version_tag;  // from 3.10 on a changed type's tag is 0 until a new one is given
#endif
}

// The class attribute of name on tp and its bases (borrowed), or null: the fast roads' type
// lookup.
#if !TARN_GENERIC_ROADS
inline PyObject* type_lookup(PyTypeObject* tp, PyObject* name) noexcept { return _PyType_Lookup(tp, name); }
#else
PyObject* type_lookup(PyTypeObject* tp, PyObject* name) noexcept;
#endif

// The generic attribute lookup of obj (whose type uses it), with a missing attribute
// reported as null without an error.
inline PyObject* generic_getattr_quiet(PyObject* obj, PyObject* name) noexcept {
#if !TARN_GENERIC_ROADS
  return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
#else
  PyObject* result = PyObject_GenericGetAttr(obj, name);
  if (!result && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  return result;
#endif
}

// Can nothing change tp's attributes (a static type, or from 3.10 on one made immutable)?
inline bool type_is_immutable(PyTypeObject* tp) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
  if (PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE)) return true;
#endif
  return !PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE);
}

// Does tp look its instances' attributes up with the interpreter's generic lookup?
inline bool attributes_looked_up_generically(PyTypeObject* tp) noexcept {
#if TARN_STABLE_ABI
  return PyType_GetSlot(tp, Py_tp_getattro) == reinterpret_cast<void*>(PyObject_GenericGetAttr);
#else
  return tp->tp_getattro == PyObject_GenericGetAttr;
#endif
}

// Can instances of tp have attributes of their own (a dictionary, or managed values)? The
// stable ABI asks the type's __dictoffset__ (an error counts as "yes").
inline bool instances_have_dict(PyTypeObject* tp) noexcept {
#if TARN_STABLE_ABI
  static PyObject* name = nullptr;
  PyObject* offset = interned_attribute(reinterpret_cast<PyObject*>(tp), "__dictoffset__", &name);
  long value = offset ? PyLong_AsLong(offset) : -1;
  Py_XDECREF(offset);
  PyErr_Clear();
  return value != 0;
#else
#if PY_VERSION_HEX >= 0x030B0000
  if (PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) return true;
#endif
  return tp->tp_dictoffset != 0;
#endif
}

#if TARN_GENERIC_ROADS
// The instance dictionary of obj as the interpreter's public interface gives it, made where it
// is not made yet (borrowed: the object keeps it), or null without an error.
inline PyObject* generic_instance_dict(PyObject* obj) noexcept {
  PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
  if (!dict) {
    PyErr_Clear();
    return nullptr;
  }
  Py_DECREF(dict);
  return dict;
}
#endif

// The instance dictionary of obj (borrowed), or null when it has none. Made where the
// interpreter keeps managed values instead; on the generic roads, made wherever it is not
// made yet.
inline PyObject* instance_dict(PyObject* obj) noexcept {
#if TARN_STABLE_ABI
  return generic_instance_dict(obj);
#else
  Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
  if (offset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
#if !TARN_GENERIC_ROADS
  PyObject** slot = offset ? _PyObject_GetDictPtr(obj) : nullptr;  // from the end of a variable-size object
  return slot ? *slot : nullptr;
#else
  if (!instances_have_dict(Py_TYPE(obj))) return nullptr;
  return generic_instance_dict(obj);
#endif
#endif
}

// Where the fast roads find one attribute in the storage of the objects of one type: decided
// when a cache for the type is filled, and trusted while the type keeps its version, as the
// interpreter's own specialised reads trust it. From 3.11 on, the name's position among the
// keys the type shares with its instances (and, from 3.13 on, where the inline values
// start); until 3.11, where the instance dictionary is, with the version tag of the last
// dictionary the attribute was read from and what it held there (a tag is never given twice,
// so an unchanged tag is that dictionary, unchanged).
struct StoragePlace {
  Py_ssize_t index = -1;       // 3.11 on: among the type's shared keys; -1: not there
  Py_ssize_t values_at = 0;    // 3.13 on: the inline values, this far into the object
  Py_ssize_t dict_at = 0;      // until 3.11: the dictionary's offset (tp_dictoffset), 0: none fixed
  std::uint64_t dict_tag = 0;  // until 3.11: that dictionary's version tag when value was read
  PyObject* value = nullptr;   // until 3.11: borrowed; the dictionary holds it while unchanged
};

// What an instance's own storage holds under a name.
enum class StoredAttr { found, absent, error };

namespace detail {

// Looks name up in a dictionary, holding it meanwhile (a key's comparison may run Python
// code). *value: a new reference when found. With remember (until 3.11), what is found is
// remembered with the dictionary's version tag, unless the lookup itself changed it.
inline StoredAttr dict_attr(PyObject* dict, PyObject* name, Py_hash_t hash, PyObject** value,
                            StoragePlace* remember = nullptr) noexcept {
  Py_INCREF(dict);
  std::uint64_t tag = remember ? dict_version(dict) : 0;
  PyObject* found = dict_get_with_hash(dict, name, hash);
  if (remember && found && dict_version(dict) == tag) {
    remember->dict_tag = tag;
    remember->value = found;
  }
  Py_XINCREF(found);
  Py_DECREF(dict);
  *value = found;
  return found ? StoredAttr::found : PyErr_Occurred() ? StoredAttr::error : StoredAttr::absent;
}

#if !TARN_GENERIC_ROADS && PY_VERSION_HEX >= 0x030B0000
// The position of name among a type's shared keys (identity, as the interpreter stores the
// interned name), or -1. *hint remembers it; it is checked on every use.
inline Py_ssize_t shared_key_index(PyTypeObject* tp, PyObject* name, Py_ssize_t* hint) noexcept {
  if (!PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) return -1;
  auto* keys = reinterpret_cast<tarn_keys_head*>(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys);
  if (!keys || keys->dk_kind != TARN_DICT_KEYS_SPLIT) return -1;
  auto* entries = reinterpret_cast<tarn_keys_entry*>(reinterpret_cast<char*>(keys + 1) +
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
  char* base = reinterpret_cast<char*>(obj);
#if PY_VERSION_HEX < 0x030C0000
  // 3.11: the values pointer one word before the dictionary.
  auto* values = *reinterpret_cast<tarn_values**>(base + TARN_MANAGED_DICT_OFFSET - Py_ssize_t{sizeof(void*)});
  return {values ? values->values : nullptr, *reinterpret_cast<PyObject**>(base + TARN_MANAGED_DICT_OFFSET)};
#elif PY_VERSION_HEX < 0x030D0000
  // 3.12: one word, the dictionary, or the values pointer less one byte (an odd word).
  auto word = *reinterpret_cast<std::uintptr_t*>(base + TARN_MANAGED_DICT_OFFSET);
  if (word & 1) return {reinterpret_cast<tarn_values*>(word + 1)->values, nullptr};
  return {nullptr, reinterpret_cast<PyObject*>(word)};
#else
  // 3.13 on: the values inline after the object, used while valid.
  PyObject* dict = *reinterpret_cast<PyObject**>(base + TARN_MANAGED_DICT_OFFSET);
  if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES)) return {nullptr, dict};
  auto* values = reinterpret_cast<tarn_values*>(base + Py_TYPE(obj)->tp_basicsize);
  return {values->valid ? values->values : nullptr, dict};
#endif
}
#endif

}  // namespace detail

// What obj's own storage holds under name (hash: name's), as the interpreter's generic
// attribute lookup finds it there, without making a dictionary the interpreter would keep
// inline (on the fast roads). *value: a new reference when found. *hint: see
// shared_key_index.
inline StoredAttr read_instance_attr(PyObject* obj, PyObject* name, Py_hash_t hash, Py_ssize_t* hint,
                                     PyObject** value) noexcept {
#if !TARN_GENERIC_ROADS && PY_VERSION_HEX >= 0x030B0000
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

// The place of name in objects of tp, whose attribute lookup is the generic one.
inline StoragePlace storage_place(PyTypeObject* tp, PyObject* name) noexcept {
  StoragePlace place;
#if !TARN_GENERIC_ROADS && PY_VERSION_HEX >= 0x030B0000
  Py_ssize_t hint = -1;
  if (PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) place.index = detail::shared_key_index(tp, name, &hint);
#if PY_VERSION_HEX >= 0x030D0000
  if (!PyType_HasFeature(tp, Py_TPFLAGS_INLINE_VALUES)) place.index = -1;
  place.values_at = tp->tp_basicsize;
#endif
#elif !TARN_GENERIC_ROADS
  (void)name;
  if (tp->tp_dictoffset > 0) place.dict_at = tp->tp_dictoffset;
#else
  (void)tp;
  (void)name;
#endif
  return place;
}

// What obj's storage holds at the place (borrowed), or null when the place cannot tell.
inline PyObject* read_at_place(PyObject* obj, const StoragePlace& place) noexcept {
#if !TARN_GENERIC_ROADS && PY_VERSION_HEX >= 0x030D0000
  if (place.index < 0) return nullptr;
  auto* values = reinterpret_cast<tarn_values*>(reinterpret_cast<char*>(obj) + place.values_at);
  return values->valid ? values->values[place.index] : nullptr;
#elif !TARN_GENERIC_ROADS && PY_VERSION_HEX >= 0x030C0000
  if (place.index < 0) return nullptr;
  // one word: the values pointer less one byte (an odd word), or the dictionary
  auto word = *reinterpret_cast<std::uintptr_t*>(reinterpret_cast<char*>(obj) + TARN_MANAGED_DICT_OFFSET);
  return word & 1 ? reinterpret_cast<tarn_values*>(word + 1)->values[place.index] : nullptr;
#elif !TARN_GENERIC_ROADS && PY_VERSION_HEX >= 0x030B0000
  if (place.index < 0) return nullptr;
  PyObject** values = detail::managed_storage(obj).values;
  return values ? values[place.index] : nullptr;
#elif !TARN_GENERIC_ROADS
  if (!place.dict_at) return nullptr;
  PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + place.dict_at);
  return dict && dict_version(dict) == place.dict_tag ? place.value : nullptr;
#else
  (void)obj;
  (void)place;
  return nullptr;
#endif
}

// read_instance_attr for an object of the type the place is for; until 3.11 what it finds in
// the instance dictionary is remembered in the place.
inline StoredAttr read_instance_attr_at(PyObject* obj, PyObject* name, Py_hash_t hash, StoragePlace* place,
                                        PyObject** value) noexcept {
#if !TARN_GENERIC_ROADS && PY_VERSION_HEX < 0x030B0000
  if (place->dict_at) {
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + place->dict_at);
    if (!dict) return StoredAttr::absent;
    return detail::dict_attr(dict, name, hash, value, place);
  }
#endif
  Py_ssize_t hint = place->index;
  return read_instance_attr(obj, name, hash, &hint, value);
}

// ---------------------------------------------------------------------------
// Code objects and frames of traceback entries. Until 3.11 a frame holds its current line
// in f_lineno; from 3.11 on frames are opaque and a new frame reads its line from the
// location of the instruction it stands at, so the code object of an entry gets a body
// whose instructions all sit at its first line: a RESUME (where new frames are taken to
// have started; from 3.15 on followed by its one cache entry) and a no-op after it (where
// 3.13 places them), with a line table of one entry without columns. The generic roads
// take the interpreter's own empty code object at that line; the stable ABI, which can make
// neither code objects nor frames, takes the code of a generator function of the
// interpreter's library, renamed and moved to the line, and the frame of a generator made
// of it and never started (so that no code runs and no tracer sees a call), which stands
// at that first line as a new frame does.
// ---------------------------------------------------------------------------
#if PY_VERSION_HEX < 0x030B0000 || TARN_GENERIC_ROADS
constexpr char kTracebackBody[] = "";
constexpr char kTracebackLineTable[] = "";
#else
#if PY_VERSION_HEX < 0x030F0000
constexpr char kTracebackBody[] = {static_cast<char>(RESUME), 0, static_cast<char>(NOP), 0, 0};
#else
constexpr char kTracebackBody[] = {static_cast<char>(RESUME), 0, static_cast<char>(CACHE), 0,
                                   static_cast<char>(NOP),    0, 0};
#endif
// The body in code units of two bytes.
constexpr int kTracebackCodeUnits = (sizeof(kTracebackBody) - 1) / 2;
constexpr char kTracebackLineTable[] = {
    static_cast<char>(0x80 | (PY_CODE_LOCATION_INFO_NO_COLUMNS << 3) | (kTracebackCodeUnits - 1)),  // every unit...
    0,                                                                                             // ...at co_firstlineno
    0};
#endif
// Lengths in bytes of the two (0: the empty bytes object serves).
constexpr Py_ssize_t kTracebackBodySize = sizeof(kTracebackBody) - 1;
constexpr Py_ssize_t kTracebackLineTableSize = sizeof(kTracebackLineTable) - 1;

#if PY_VERSION_HEX < 0x030B0000
static_assert(std::is_same<decltype(PyFrameObject::f_lineno), int>::value, "f_lineno is an int");
inline void set_frame_line(PyFrameObject* frame, int line) noexcept { frame->f_lineno = line; }
#else
inline void set_frame_line(PyFrameObject*, int) noexcept {}
#endif

// The flags of a hook's code object: CO_OPTIMIZED | CO_NEWLOCALS.
constexpr int kFunctionCodeFlags = 0x0001 | 0x0002;

#if !TARN_STABLE_ABI

// The code object of a hook: argcount parameters, the variables varnames, no bytecode, at
// firstlineno of filename. A new reference, or null with an error set.
inline PyObject* new_function_code(int argcount, PyObject* varnames, PyObject* filename, PyObject* name,
                                   PyObject* qualname, int firstlineno, PyObject* empty_tuple,
                                   PyObject* empty_bytes) noexcept {
  return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
      argcount, /* posonlyargcount */ 0, /* kwonlyargcount */ 0, /* nlocals */ argcount, /* stacksize */ 0,
      kFunctionCodeFlags, empty_bytes, empty_tuple, empty_tuple, varnames, empty_tuple, empty_tuple, filename, name,
      qualname, firstlineno, empty_bytes, /* exceptiontable */ empty_bytes));
}

// The code object of a traceback entry named name at line of filename. A new reference, or
// null with an error set.
inline PyObject* new_entry_code(PyObject* name, const char* filename, int line, PyObject* empty_tuple,
                                PyObject* empty_bytes) noexcept {
#if TARN_GENERIC_ROADS
  (void)empty_tuple;
  (void)empty_bytes;
  const char* chars = PyUnicode_AsUTF8(name);
  return chars ? reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, chars, line)) : nullptr;
#else
  PyObject* file = PyUnicode_FromString(filename);
  if (!file) return nullptr;
  // The bytecode and line table that place a new frame at line, where the interpreter reads
  // a frame's line from them; else the empty bytes.
  PyObject* body = kTracebackBodySize ? PyBytes_FromStringAndSize(kTracebackBody, kTracebackBodySize)
                                      : Py_NewRef(empty_bytes);
  PyObject* lines = !body ? nullptr
                    : kTracebackLineTableSize ? PyBytes_FromStringAndSize(kTracebackLineTable, kTracebackLineTableSize)
                                              : Py_NewRef(empty_bytes);
  PyObject* code = lines ? reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
                               0, 0, 0, 0, 0, 0, body, empty_tuple, empty_tuple, empty_tuple, empty_tuple,
                               empty_tuple, file, name, name, line, lines, empty_bytes))
                         : nullptr;
  Py_XDECREF(lines);
  Py_XDECREF(body);
  Py_DECREF(file);
  return code;
#endif
}

// Adds an entry of a frame of code, with globals, at line to the traceback of the exception
// in flight (which it never replaces, but with the error of a frame that cannot be made).
inline void add_frame_entry(PyThreadState* ts, PyObject* code, PyObject* globals, int line) noexcept {
  PyFrameObject* frame = PyFrame_New(ts, reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
  if (!frame) return;
  set_frame_line(frame, line);
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

// The name of a code object as ASCII characters and their count, or null when it is none.
inline const char* code_name_chars(PyCodeObject* code, Py_ssize_t* length) noexcept {
  PyObject* name = code->co_name;
  if (!PyUnicode_Check(name) || !PyUnicode_IS_COMPACT_ASCII(name)) return nullptr;
  *length = PyUnicode_GET_LENGTH(name);
  return static_cast<const char*>(PyUnicode_DATA(name));
}

#else

PyObject* new_function_code(int argcount, PyObject* varnames, PyObject* filename, PyObject* name, PyObject* qualname,
                            int firstlineno, PyObject* empty_tuple, PyObject* empty_bytes) noexcept;
PyObject* new_entry_code(PyObject* name, const char* filename, int line, PyObject* empty_tuple,
                         PyObject* empty_bytes) noexcept;
void add_frame_entry(PyThreadState* ts, PyObject* code, PyObject* globals, int line) noexcept;
// The name as UTF-8 (ASCII names read the same; others never match an ASCII one).
inline const char* code_name_chars(PyCodeObject* code, Py_ssize_t* length) noexcept {
  PyObject* raised = PyErr_GetRaisedException();  // asked while an exception is in flight: kept aside
  static PyObject* co_name = nullptr;
  PyObject* name = interned_attribute(reinterpret_cast<PyObject*>(code), "co_name", &co_name);
  const char* chars = name && PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, length) : nullptr;
  Py_XDECREF(name);  // the code object keeps its name, and the name its UTF-8
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  return chars;
}

#endif

// ---------------------------------------------------------------------------
// Static type objects: the slots after tp_vectorcall differ by version; a version this
// layer does not know leaves them to the compiler's zeros.
// ---------------------------------------------------------------------------
#if PY_VERSION_HEX < 0x03090000
#define TARN_TYPE_SLOTS_AFTER_VECTORCALL /* tp_print */ nullptr,
#elif PY_VERSION_HEX < 0x030C0000
#define TARN_TYPE_SLOTS_AFTER_VECTORCALL
#elif PY_VERSION_HEX < 0x030D0000
#define TARN_TYPE_SLOTS_AFTER_VECTORCALL /* tp_watched */ 0,
#elif PY_VERSION_HEX < 0x030F0000
#define TARN_TYPE_SLOTS_AFTER_VECTORCALL /* tp_watched */ 0, /* tp_versions_used */ 0,
#elif PY_VERSION_HEX < TARN_NEWEST_KNOWN_PYTHON + 0x00010000
#define TARN_TYPE_SLOTS_AFTER_VECTORCALL /* tp_watched */ 0, /* tp_versions_used */ 0, /* _tp_iteritem */ nullptr,
#else
#define TARN_TYPE_SLOTS_AFTER_VECTORCALL
#endif

// ---------------------------------------------------------------------------
// The version check of the exec step compares the running interpreter with the one built
// for. Until 3.10 it reads characters 0 and 2 of "3.8"-style strings; those cannot tell
// 3.10 from 3.13, so builds for 3.10 and later compare the major and minor numbers. The
// stable ABI is built for its floor, 3.12, and every later version, whichever headers
// built it (another CPU's roots have 3.13 as their oldest).
// ---------------------------------------------------------------------------
constexpr bool kVersionCheckByNumbers = PY_VERSION_HEX >= 0x030A0000;
constexpr bool kVersionCheckFromMinor = TARN_STABLE_ABI;
constexpr int kBuiltForMajor = TARN_STABLE_ABI ? TARN_STABLE_ABI_FLOOR >> 24 : PY_MAJOR_VERSION;
constexpr int kBuiltForMinor = TARN_STABLE_ABI ? (TARN_STABLE_ABI_FLOOR >> 16) & 0xff : PY_MINOR_VERSION;
// Does the build serve an interpreter of this version: its own, or for the stable ABI its
// floor and every later one?
constexpr bool serves_version(int major, int minor) noexcept {
  return major == kBuiltForMajor && (kVersionCheckFromMinor ? minor >= kBuiltForMinor : minor == kBuiltForMinor);
}

// ---------------------------------------------------------------------------
// What differs between the interpreters the module runs on, asked of the running one:
//
// Attributes of Python functions that came with later versions: __builtins__ (3.10),
// __type_params__ (3.12), __annotate__ (3.14), each version's attributes a prefix of the
// next's.
// ---------------------------------------------------------------------------
inline TARN_RUNNING_CONSTEXPR bool functions_have_builtins() noexcept { return running_since(0x030A0000); }
inline TARN_RUNNING_CONSTEXPR bool functions_have_type_params() noexcept { return running_since(0x030C0000); }
inline TARN_RUNNING_CONSTEXPR bool functions_have_annotate() noexcept { return running_since(0x030E0000); }

// The TypeError of an __annotate__ that gave something other than a dict, in each version's
// words; returns null.
inline PyObject* raise_annotate_not_dict(PyObject* result) noexcept {
  if (running_since(0x030F0000)) {
    PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %T", result);
  } else {
#if TARN_STABLE_ABI
    PyObject* name = PyType_GetName(Py_TYPE(result));
    if (name) PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100U'", name);
    Py_XDECREF(name);
#else
    PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'", Py_TYPE(result)->tp_name);
#endif
  }
  return nullptr;
}

// What a class body stores besides its functions: from 3.13 on the line of the class
// statement first, and the attributes its methods assign on self last; from 3.14 on, after
// those, a cell holding the namespace for the functions of the body (the class's creation
// takes it out again).
inline TARN_RUNNING_CONSTEXPR bool class_body_stores_line_and_attributes() noexcept {
  return running_since(0x030D0000);
}
inline TARN_RUNNING_CONSTEXPR bool class_body_stores_dict_cell() noexcept { return running_since(0x030E0000); }

// A module found in sys.modules by an import statement is asked whether it is still being
// initialised (its __spec__._initializing). Until 3.13 an error in asking counts as "no";
// from 3.13 on the import fails with it (an AttributeError, of a missing attribute, still
// counts as "no").
inline TARN_RUNNING_CONSTEXPR bool import_fails_when_spec_fails() noexcept { return running_since(0x030D0000); }

// Layouts the rest of the module relies on, asserted against the headers built with.
static_assert(sizeof(std::size_t) == 8 && PY_VECTORCALL_ARGUMENTS_OFFSET == (std::size_t{1} << 63),
              "the offset flag is the top bit of a 64-bit count word");
#if !TARN_GENERIC_ROADS
static_assert(std::is_same<decltype(PyASCIIObject::hash), Py_hash_t>::value, "a str stores its hash");
#endif

}  // namespace tarn

#endif  // __cplusplus

#endif  // TARN_CORE_PYVERSION_H
