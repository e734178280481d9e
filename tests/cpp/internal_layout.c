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

/* From 3.14 on the interpreter guards C calls by the machine stack: a guarded call is refused
   while the stack pointer stands within the margin below the thread's soft limit. Sets that
   limit (at_limit: just above this call's own frame, so that the calls made next from the
   caller are refused; else to `limit`) and returns what it was; 0 before 3.14. */
#if PY_VERSION_HEX >= 0x030E0000
#include <internal/pycore_pythonrun.h>
#include <internal/pycore_tstate.h>
#endif
#include <stdint.h>

uintptr_t tarn_swap_stack_soft_limit(PyThreadState *ts, int at_limit, uintptr_t limit)
{
#if PY_VERSION_HEX >= 0x030E0000
    _PyThreadStateImpl *t = (_PyThreadStateImpl *)ts;
    uintptr_t old = t->c_stack_soft_limit;
    /* the frame, as the interpreter reads the stack pointer (a local may live elsewhere
       under the sanitizer) */
    uintptr_t here = (uintptr_t)__builtin_frame_address(0);
    /* the interpreter's margin: the headers double it for a sanitized build, which this may be
       where the interpreter is not */
#if defined(_Py_ADDRESS_SANITIZER) && !defined(Py_DEBUG)
    uintptr_t margin = _PyOS_STACK_MARGIN_BYTES / 2;
#else
    uintptr_t margin = _PyOS_STACK_MARGIN_BYTES;
#endif
    t->c_stack_soft_limit = at_limit ? here + margin : limit;
    return old;
#else
    (void)ts; (void)at_limit; (void)limit;
    return 0;
#endif
}
