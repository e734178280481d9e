/* The interpreter's own reading of an instance's managed storage, from its internal headers,
   which only C can include: the reference the version layer's reading is checked against.
   Returns 0 and leaves the outputs alone before 3.11, where there is no managed storage. */
#define Py_BUILD_CORE 1
#include <Python.h>
#if PY_VERSION_HEX >= 0x030B0000
#include <internal/pycore_dict.h>
#include <internal/pycore_object.h>
#endif

int tarn_reference_storage(PyObject *obj, PyObject ***values, PyObject **dict, PyObject **first_key)
{
#if PY_VERSION_HEX >= 0x030B0000
    PyTypeObject *tp = Py_TYPE(obj);
    PyDictKeysObject *keys = ((PyHeapTypeObject *)tp)->ht_cached_keys;
    *first_key = keys && keys->dk_nentries ? DK_UNICODE_ENTRIES(keys)[0].me_key : NULL;
#if PY_VERSION_HEX < 0x030C0000
    PyDictValues *v = *_PyObject_ValuesPointer(obj);
    *values = v ? v->values : NULL;
    *dict = *_PyObject_ManagedDictPointer(obj);
#elif PY_VERSION_HEX < 0x030D0000
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    *values = _PyDictOrValues_IsValues(dorv) ? _PyDictOrValues_GetValues(dorv)->values : NULL;
    *dict = _PyDictOrValues_IsValues(dorv) ? NULL : dorv.dict;
#else
    PyDictValues *v = (tp->tp_flags & Py_TPFLAGS_INLINE_VALUES) ? _PyObject_InlineValues(obj) : NULL;
    *values = v && v->valid ? v->values : NULL;
    *dict = (PyObject *)_PyObject_GetManagedDict(obj);
#endif
    return 1;
#else
    (void)obj; (void)values; (void)dict; (void)first_key;
    return 0;
#endif
}

/* From 3.14 on a guarded C call is refused while the stack stands within the margin below the
   thread's soft limit. Sets that limit (at_limit: just above this frame, for the calls made
   next; else to `limit`) and returns what it was; 0 before 3.14. The margin is the
   interpreter's, which the headers double for a sanitized build such as this one may be. */
#if PY_VERSION_HEX >= 0x030E0000
#include <internal/pycore_pythonrun.h>
#include <internal/pycore_tstate.h>
#endif

uintptr_t tarn_swap_stack_soft_limit(PyThreadState *ts, int at_limit, uintptr_t limit)
{
#if PY_VERSION_HEX >= 0x030E0000
    uintptr_t margin = _PyOS_STACK_MARGIN_BYTES;
#if defined(_Py_ADDRESS_SANITIZER) && !defined(Py_DEBUG)
    margin /= 2;
#endif
    _PyThreadStateImpl *t = (_PyThreadStateImpl *)ts;
    uintptr_t old = t->c_stack_soft_limit;
    t->c_stack_soft_limit = at_limit ? (uintptr_t)__builtin_frame_address(0) + margin : limit;
    return old;
#else
    (void)ts; (void)at_limit; (void)limit;
    return 0;
#endif
}
