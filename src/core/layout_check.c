/* The private layouts the version layer reads, asserted field by field against the
   interpreter's own definitions in the internal headers installed with it (which only C can
   include). A version whose layouts differ from the layer's copies fails to build here
   instead of reading the wrong memory. Holds no code. */
#define Py_BUILD_CORE 1
#include "core/pyversion.h"

#if !TARN_GENERIC_ROADS && !TARN_EXPORTED_GUARD && PY_VERSION_HEX >= 0x03090000
#include <internal/pycore_ceval.h>
#include <internal/pycore_interp.h>

#include <stddef.h>

_Static_assert(__builtin_types_compatible_p(__typeof__(&_Py_CheckRecursiveCall), int (*)(PyThreadState*, const char*)),
               "the interpreter's check past the recursion limit is as the version layer declares it");

#if PY_VERSION_HEX < 0x030B0000
_Static_assert(TARN_INTERP_RECURSION_LIMIT_AT == offsetof(PyInterpreterState, ceval.recursion_limit) &&
                   sizeof(((PyInterpreterState*)0)->ceval.recursion_limit) == sizeof(int),
               "the interpreter's recursion limit stands where the version layer reads it");
#elif PY_VERSION_HEX >= 0x030E0000
#include <internal/pycore_pythonrun.h>
#include <internal/pycore_tstate.h>
_Static_assert(TARN_TSTATE_STACK_SOFT_LIMIT_AT == offsetof(_PyThreadStateImpl, c_stack_soft_limit) &&
                   sizeof(((_PyThreadStateImpl*)0)->c_stack_soft_limit) == sizeof(uintptr_t),
               "the thread's soft stack limit stands where the version layer reads it");
#if defined(_Py_ADDRESS_SANITIZER) && !defined(Py_DEBUG)
_Static_assert(TARN_STACK_MARGIN_BYTES * 2 == _PyOS_STACK_MARGIN_BYTES, "the interpreter's stack margin");
#else
_Static_assert(TARN_STACK_MARGIN_BYTES == _PyOS_STACK_MARGIN_BYTES, "the interpreter's stack margin");
#endif
#endif
#endif

#if !TARN_GENERIC_ROADS && PY_VERSION_HEX >= 0x030B0000
#include <internal/pycore_dict.h>
#include <internal/pycore_object.h>

#include <stddef.h>

#define TARN_SAME_FIELD(ours, theirs, field)                                     \
  _Static_assert(offsetof(ours, field) == offsetof(theirs, field) &&           \
                     sizeof(((ours*)0)->field) == sizeof(((theirs*)0)->field), \
                 #theirs "." #field " stands where the version layer reads it")

TARN_SAME_FIELD(tarn_keys_head, PyDictKeysObject, dk_refcnt);
TARN_SAME_FIELD(tarn_keys_head, PyDictKeysObject, dk_log2_size);
TARN_SAME_FIELD(tarn_keys_head, PyDictKeysObject, dk_log2_index_bytes);
TARN_SAME_FIELD(tarn_keys_head, PyDictKeysObject, dk_kind);
TARN_SAME_FIELD(tarn_keys_head, PyDictKeysObject, dk_version);
TARN_SAME_FIELD(tarn_keys_head, PyDictKeysObject, dk_usable);
TARN_SAME_FIELD(tarn_keys_head, PyDictKeysObject, dk_nentries);
_Static_assert(sizeof(tarn_keys_head) == offsetof(PyDictKeysObject, dk_indices),
               "the index table of PyDictKeysObject follows its head");
_Static_assert(TARN_DICT_KEYS_SPLIT == DICT_KEYS_SPLIT, "the kind of split keys");

TARN_SAME_FIELD(tarn_keys_entry, PyDictUnicodeEntry, me_key);
TARN_SAME_FIELD(tarn_keys_entry, PyDictUnicodeEntry, me_value);
_Static_assert(sizeof(tarn_keys_entry) == sizeof(PyDictUnicodeEntry), "the size of a str-keyed entry");

TARN_SAME_FIELD(tarn_values, PyDictValues, values);
#if PY_VERSION_HEX >= 0x030D0000
TARN_SAME_FIELD(tarn_values, PyDictValues, capacity);
TARN_SAME_FIELD(tarn_values, PyDictValues, size);
TARN_SAME_FIELD(tarn_values, PyDictValues, embedded);
TARN_SAME_FIELD(tarn_values, PyDictValues, valid);
#endif

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030D0000
/* 3.12 names no offset; its reading (and 3.11's values pointer) is checked against the
   interpreter's own by the C++ tests. */
_Static_assert(TARN_MANAGED_DICT_OFFSET == MANAGED_DICT_OFFSET, "where a managed dictionary is kept");
#endif

#endif
