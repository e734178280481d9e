// Attribute, name and call helpers: method lookup without bound methods, the call roads
// of call_vector, the recursion guard, cached module globals and the quiet lookups.
#include "embedded.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tarn::Ref;
using tarn::state;
using tarn_test::eval_python;
using tarn_test::exec_python;
using tarn_test::pending_error;

Ref interned(const char* text) {
  PyObject* s = PyUnicode_FromString(text);
  PyUnicode_InternInPlace(&s);
  return Ref::steal(s);
}
Ref eval(const char* expr) { return Ref::steal(eval_python(expr)); }

// What the test built-ins received on their last call.
struct Seen {
  int calls;
  PyObject* self;
  PyObject* arg;
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* first;
  PyObject* second;
} seen;

PyObject* record(PyObject* self, PyObject* arg) noexcept {
  ++seen.calls;
  seen.self = self;
  seen.arg = arg;
  Py_RETURN_NONE;
}
PyObject* record_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  ++seen.calls;
  seen.self = self;
  seen.args = args;
  seen.nargs = nargs;
  seen.first = nargs > 0 ? args[0] : nullptr;
  seen.second = nargs > 1 ? args[1] : nullptr;
  Py_RETURN_NONE;
}
PyObject* return_null(PyObject*, PyObject*) noexcept {
  ++seen.calls;
  return nullptr;
}
PyObject* record_tuple(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  ++seen.calls;
  seen.self = self;
  seen.arg = args;
  seen.nargs = PyTuple_GET_SIZE(args);
  seen.first = kwargs;
  Py_INCREF(args);  // the tuple, as the result
  return args;
}

PyMethodDef noargs_def = {"rt_noargs", record, METH_NOARGS, nullptr};
PyMethodDef static_def = {"rt_static", record, METH_NOARGS | METH_STATIC, nullptr};
PyMethodDef o_def = {"rt_o", record, METH_O, nullptr};
PyMethodDef fast_def = {"rt_fast", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(record_fast)),
                        METH_FASTCALL, nullptr};
PyMethodDef null_noargs_def = {"rt_null_noargs", return_null, METH_NOARGS, nullptr};
PyMethodDef null_o_def = {"rt_null_o", return_null, METH_O, nullptr};
PyMethodDef tarn_noargs_def = {"rt_tarn_noargs", record, METH_NOARGS, nullptr};
PyMethodDef tarn_o_def = {"rt_tarn_o", record, METH_O, nullptr};
PyMethodDef tarn_varkw_def = {"rt_tarn_varkw",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(record_tuple)),
                              METH_VARARGS | METH_KEYWORDS, nullptr};

Ref builtin(PyMethodDef* def, PyObject* self) { return Ref::steal(PyCFunction_New(def, self)); }
Ref tarn_function(PyMethodDef* def, int flags) {
  Ref qualname = interned(def->ml_name);
  return Ref::steal(tarn::function_object_new(def, flags, qualname.get(), nullptr, state.ids.module_name,
                                              state.module_dict, nullptr));
}

class RuntimeHelpers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(exec_python(
        "class RtHost:\n"
        "    klass_int = 12345678\n"
        "    def meth(self): return 'meth'\n"
        "    def other(self): return 'other'\n"
        "    @property\n"
        "    def prop(self): return self._prop_value\n"
        "    @property\n"
        "    def failing(self): raise ValueError('getter failed')\n"
        "class RtAttrMiss(AttributeError): pass\n"
        "class RtDynamic:\n"
        "    def __getattr__(self, name):\n"
        "        if name == 'same': return self.real\n"
        "        if name == 'missing': raise RtAttrMiss(name)\n"
        "        if name == 'bad': raise ValueError(name)\n"
        "        return 'dyn:' + name\n"
        "    def real(self): pass\n"
        "class RtCallable:\n"
        "    def __call__(self, *a): return a\n"
        "class RtCollider:\n"
        "    def __init__(self, h): self.h = h\n"
        "    def __hash__(self): return self.h\n"
        "    def __eq__(self, other): raise ValueError('eq failed')\n"
        "class RtFlaky:\n"
        "    # Hashes as `name`; each comparison takes the next of `steps` ('raise', 'match', or\n"
        "    # 'change': changes the class `owner`, then raises), then compares unequal.\n"
        "    def __init__(self, name, steps): self.h, self.steps, self.owner = hash(name), list(steps), None\n"
        "    def __hash__(self): return self.h\n"
        "    def __eq__(self, other):\n"
        "        step = self.steps.pop(0) if self.steps else 'miss'\n"
        "        if step == 'change': self.owner.rt_changes = getattr(self.owner, 'rt_changes', 0) + 1\n"
        "        if step in ('raise', 'change'): raise ValueError('compare: ' + step)\n"
        "        return step == 'match'\n"
        "def rt_plant_collider(obj, name):  # in a dictionary of obj's own: one that shares its keys\n"
        "    d = obj.__dict__                 # compares a key with those of any instance (3.13.18)\n"
        "    d[0] = None; del d[0]; d[RtCollider(hash(name))] = None\n"
        "def rt_args(*a): return a\n"
        "rt_host, rt_other = RtHost(), RtHost()\n"
        "rt_long = type('L' * 120, (), {})()\n"));
  }
  void SetUp() override { seen = Seen{}; }
};

// --- lookup_method ---------------------------------------------------------------

struct Lookup {
  int result;
  PyObject* method;  // owned
};
Lookup lookup(PyObject* obj, const char* name) {
  Ref n = interned(name);
  PyObject* method = nullptr;
  int result = tarn::lookup_method(obj, n.get(), &method);
  return {result, method};
}

// lookup_method hands out `expected` with exactly one reference of the caller's own.
void expect_lookup(PyObject* obj, const char* name, int result, PyObject* expected) {
  SCOPED_TRACE(name);
  Py_ssize_t before = Py_REFCNT(expected);
  Lookup l = lookup(obj, name);
  EXPECT_EQ(l.result, result);
  EXPECT_EQ(l.method, expected);
  EXPECT_EQ(Py_REFCNT(expected), tarn_test::count_after(expected, before, 1));
  Py_XDECREF(l.method);
  EXPECT_EQ(Py_REFCNT(expected), before);
  EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(RuntimeHelpers, LookupMethodDescriptorsAndClassAttributes) {
  TARN_FAST_ROADS_ONLY();
  Ref list = Ref::steal(PyList_New(0));
  Ref append = eval("list.__dict__['append']");
  expect_lookup(list.get(), "append", 1, append.get());
  Ref host = eval("rt_host");
  Ref meth = eval("RtHost.__dict__['meth']");
  expect_lookup(host.get(), "meth", 1, meth.get());  // a Python function is a method descriptor
  Ref klass_int = eval("RtHost.klass_int");
  expect_lookup(host.get(), "klass_int", 0, klass_int.get());
}

TEST_F(RuntimeHelpers, LookupInstanceAttributeShadowsMethod) {
  TARN_NOT_ON_THE_STABLE_ABI();
  Ref host = eval("rt_host");
  ASSERT_TRUE(exec_python("rt_host.meth = 'shadow'"));
  Ref shadow = eval("rt_host.__dict__['meth']");
  expect_lookup(host.get(), "meth", 0, shadow.get());

  // A bound method of the object itself is unpacked into its function.
  ASSERT_TRUE(exec_python("rt_host.meth = rt_host.other"));
  Ref bound_same = eval("rt_host.__dict__['meth']");
  Py_ssize_t bound_count = Py_REFCNT(bound_same.get());
  Ref other = eval("RtHost.__dict__['other']");
  expect_lookup(host.get(), "meth", 1, other.get());
  EXPECT_EQ(Py_REFCNT(bound_same.get()), bound_count);

  ASSERT_TRUE(exec_python("rt_host.meth = rt_other.other"));
  Ref bound_other = eval("rt_host.__dict__['meth']");
  expect_lookup(host.get(), "meth", 0, bound_other.get());
  ASSERT_TRUE(exec_python("del rt_host.meth"));
}

TEST_F(RuntimeHelpers, LookupDataDescriptor) {
  TARN_NOT_ON_THE_STABLE_ABI();
  Ref host = eval("rt_host");
  ASSERT_TRUE(exec_python("rt_host._prop_value = 'plain'\nrt_host.__dict__['prop'] = 'ignored'"));
  Ref plain = eval("rt_host._prop_value");
  expect_lookup(host.get(), "prop", 0, plain.get());  // the property wins over the instance dict

  ASSERT_TRUE(exec_python("rt_host._prop_value = rt_host.other"));
  Ref bound_same = eval("rt_host._prop_value");
  Py_ssize_t bound_count = Py_REFCNT(bound_same.get());
  Ref other = eval("RtHost.__dict__['other']");
  expect_lookup(host.get(), "prop", 1, other.get());
  EXPECT_EQ(Py_REFCNT(bound_same.get()), bound_count);

  ASSERT_TRUE(exec_python("rt_host._prop_value = rt_other.meth"));
  Ref bound_other = eval("rt_host._prop_value");
  expect_lookup(host.get(), "prop", 0, bound_other.get());
  ASSERT_TRUE(exec_python("del rt_host._prop_value, rt_host.__dict__['prop']"));

  Lookup failing = lookup(host.get(), "failing");
  EXPECT_EQ(failing.result, 0);
  EXPECT_EQ(failing.method, nullptr);
  EXPECT_EQ(pending_error(), "ValueError: getter failed");
}

TEST_F(RuntimeHelpers, LookupMissingAttributeCutsLongTypeName) {
  Ref obj = eval("rt_long");
  Lookup l = lookup(obj.get(), "nope");
  EXPECT_EQ(l.result, 0);
  EXPECT_EQ(l.method, nullptr);
  // As the interpreter cuts it: to 50 characters, to 100 from 3.12 on.
  std::size_t cut = PY_VERSION_HEX >= 0x030C0000 ? 100 : 50;
  EXPECT_EQ(pending_error(), "AttributeError: '" + std::string(cut, 'L') + "' object has no attribute 'nope'");
}

TEST_F(RuntimeHelpers, LookupThroughCustomGetattro) {
  TARN_NOT_ON_THE_STABLE_ABI();
  Ref dyn = eval("RtDynamic()");
  ASSERT_NE(Py_TYPE(dyn.get())->tp_getattro, PyObject_GenericGetAttr);
  Lookup l = lookup(dyn.get(), "anything");
  EXPECT_EQ(l.result, 0);
  EXPECT_EQ(tarn_test::str_of(l.method), "dyn:anything");
  EXPECT_EQ(Py_REFCNT(l.method), 1);
  Py_XDECREF(l.method);

  Ref real = eval("RtDynamic.__dict__['real']");
  expect_lookup(dyn.get(), "same", 1, real.get());  // __getattr__ gave a fresh bound method of dyn

  l = lookup(dyn.get(), "missing");  // the slot's error is not swallowed here
  EXPECT_EQ(l.result, 0);
  EXPECT_EQ(l.method, nullptr);
  EXPECT_EQ(pending_error(), "RtAttrMiss: missing");
}

// An instance dictionary whose lookup of the name fails (a key of the same hash that cannot
// be compared): the failure is the answer, as the interpreter's own lookups give it, never a
// class attribute found behind it. A data descriptor is read before the dictionary is asked.
TEST_F(RuntimeHelpers, LookupInstanceDictionaryThatFailsToCompare) {
  for (const char* name : {"meth", "klass_int", "nope"}) {
    SCOPED_TRACE(name);
    Ref host = eval("RtHost()");
    Ref n = interned(name);
    ASSERT_TRUE(Ref::steal(PyObject_CallFunction(eval("rt_plant_collider").get(), "OO", host.get(), n.get())));
    Py_ssize_t host_count = Py_REFCNT(host.get());

    Ref generic = Ref::steal(PyObject_GetAttr(host.get(), n.get()));
    EXPECT_FALSE(generic);
    EXPECT_EQ(pending_error(), "ValueError: eq failed");
    Lookup l = lookup(host.get(), name);
    EXPECT_EQ(l.result, 0);
    EXPECT_EQ(l.method, nullptr);
    EXPECT_EQ(pending_error(), "ValueError: eq failed");
    EXPECT_EQ(Py_REFCNT(host.get()), host_count);
  }
  ASSERT_TRUE(exec_python("rt_prop_host = RtHost()\nrt_prop_host._prop_value = 'by the property'\n"
                          "rt_plant_collider(rt_prop_host, 'prop')"));
  Ref prop_host = eval("rt_prop_host");
  Ref value = eval("rt_prop_host._prop_value");
  expect_lookup(prop_host.get(), "prop", 0, value.get());
  ASSERT_TRUE(exec_python("del rt_prop_host"));
}

// A name made at run time has no hash yet: it is computed and kept, and the lookups find
// what the interned name finds.
TEST_F(RuntimeHelpers, LookupsWithNamesNotHashedYet) {
  TARN_NOT_ON_THE_STABLE_ABI();
  auto fresh = [](const char* text) {
    Ref name = Ref::steal(PyUnicode_FromFormat("%s", text));
    EXPECT_EQ(reinterpret_cast<PyASCIIObject*>(name.get())->hash, -1);
    return name;
  };
  auto stored = [](const Ref& name) { return reinterpret_cast<PyASCIIObject*>(name.get())->hash; };
  Ref host = eval("rt_host");
  Ref meth = eval("RtHost.__dict__['meth']");
  Ref name = fresh("meth");
  PyObject* method = nullptr;
  EXPECT_EQ(tarn::lookup_method(host.get(), name.get(), &method), 1);
  EXPECT_EQ(method, meth.get());
  Py_XDECREF(method);
  EXPECT_EQ(stored(name), PyObject_Hash(interned("meth").get()));

  Ref dict = eval("{'rt_key': 'rt value'}");
  name = fresh("rt_key");
  EXPECT_EQ(tarn_test::str_of(tarn::dict_get_quiet(dict.get(), name.get())), "rt value");
  EXPECT_EQ(stored(name), PyObject_Hash(interned("rt_key").get()));
  EXPECT_FALSE(PyErr_Occurred());
}

// --- objects of types defined here -------------------------------------------------

// A type that nothing has readied yet: the first method lookup on one of its objects
// readies it, as the interpreter's own lookup does.
PyObject* unready_meth(PyObject* self, PyObject*) noexcept {
  Py_INCREF(self);
  return self;
}
PyMethodDef unready_methods[] = {{"meth", unready_meth, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
void free_object(PyObject* self) noexcept { PyObject_Free(self); }
PyTypeObject unready_type;

// Objects of variable size that keep their dictionary after their items (a negative
// tp_dictoffset), as subclasses of int or tuple did before managed dictionaries.
void var_dict_dealloc(PyObject* self) noexcept {
  PyObject** slot = _PyObject_GetDictPtr(self);
  if (slot) Py_CLEAR(*slot);
  PyObject_Free(self);
}
PyTypeObject var_dict_type;

// A type with only the slots that take the name as a C string.
struct {
  std::string name;
  PyObject* value;
  int calls;
} char_set;
PyObject* char_getattr(PyObject*, char* name) noexcept {
  if (std::string(name) == "missing") {
    PyErr_Format(PyExc_AttributeError, "no %s here", name);
    return nullptr;
  }
  return PyUnicode_FromFormat("got %s", name);
}
int char_setattr(PyObject*, char* name, PyObject* value) noexcept {
  char_set = {name, value, char_set.calls + 1};
  return 0;
}
PyTypeObject char_slots_type;

PyTypeObject* static_type(PyTypeObject* t, const char* name) {
  if (!t->tp_name) {
    // The head every static type is given, immortal from 3.12 on as the interpreter's own.
    static const PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
    t->ob_base = head;
    t->tp_name = name;
    t->tp_basicsize = sizeof(PyObject);
    t->tp_flags = Py_TPFLAGS_DEFAULT;
    t->tp_dealloc = free_object;
  }
  return t;
}
Ref new_object(PyTypeObject* t, Py_ssize_t items = 0) {
  if (!(t->tp_flags & Py_TPFLAGS_READY) && PyType_Ready(t) < 0) return Ref();
  return Ref::steal(PyType_GenericAlloc(t, items));
}

TEST_F(RuntimeHelpers, LookupMethodReadiesTheTypeFirst) {
  TARN_FAST_ROADS_ONLY();
  PyTypeObject* t = static_type(&unready_type, "rt_unready");
  t->tp_getattro = PyObject_GenericGetAttr;
  t->tp_methods = unready_methods;
  ASSERT_FALSE(t->tp_flags & Py_TPFLAGS_READY);
  Ref obj = Ref::steal(PyObject_Init(static_cast<PyObject*>(PyObject_Malloc(sizeof(PyObject))), t));
  Ref name = interned("meth");
  PyObject* method = nullptr;
  PyGC_Collect();  // empties the free lists, so that readying the type allocates from the start
  {
    tarn_test::FailNth fail(1);
    EXPECT_EQ(tarn::lookup_method(obj.get(), name.get(), &method), 0);
    EXPECT_TRUE(fail.failed());
  }
  EXPECT_EQ(method, nullptr);
  EXPECT_EQ(pending_error(), "MemoryError: ");
  EXPECT_FALSE(t->tp_flags & Py_TPFLAGS_READY);

  EXPECT_EQ(tarn::lookup_method(obj.get(), name.get(), &method), 1);
  Ref held = Ref::steal(method);
  EXPECT_TRUE(t->tp_flags & Py_TPFLAGS_READY);
  ASSERT_NE(t->tp_dict, nullptr);
  EXPECT_EQ(method, PyDict_GetItemString(t->tp_dict, "meth"));
  Ref called = Ref::steal(tarn::call_one_arg(method, obj.get()));
  EXPECT_EQ(called.get(), obj.get());
}

TEST_F(RuntimeHelpers, VariableSizeObjectsKeepTheirDictionaryAfterTheItems) {
  TARN_FAST_ROADS_ONLY();
  PyTypeObject* t = static_type(&var_dict_type, "rt_var_dict");
  t->tp_basicsize = sizeof(PyVarObject) + sizeof(PyObject*);
  t->tp_itemsize = sizeof(PyObject*);
  t->tp_dictoffset = -static_cast<Py_ssize_t>(sizeof(PyObject*));
  t->tp_dealloc = var_dict_dealloc;
  t->tp_getattro = PyObject_GenericGetAttr;
  t->tp_setattro = PyObject_GenericSetAttr;
  Ref colour = interned("colour");
  Ref red = Ref::steal(PyUnicode_FromString("red"));
  for (Py_ssize_t items : {0, 1, 5}) {
    SCOPED_TRACE(items);
    Ref obj = new_object(t, items);
    ASSERT_TRUE(obj) << pending_error();
    ASSERT_EQ(Py_TYPE(obj.get())->tp_dictoffset, -8);
    EXPECT_EQ(tarn::instance_dict(obj.get()), nullptr);  // none made yet
    Py_ssize_t hint = -1;
    PyObject* value = nullptr;
    EXPECT_EQ(tarn::read_instance_attr(obj.get(), colour.get(), PyObject_Hash(colour.get()), &hint, &value),
              tarn::StoredAttr::absent);

    ASSERT_EQ(PyObject_SetAttr(obj.get(), colour.get(), red.get()), 0);
    PyObject* dict = tarn::instance_dict(obj.get());
    ASSERT_NE(dict, nullptr);
    EXPECT_EQ(dict, *_PyObject_GetDictPtr(obj.get()));
    EXPECT_EQ(tarn::read_instance_attr(obj.get(), colour.get(), PyObject_Hash(colour.get()), &hint, &value),
              tarn::StoredAttr::found);
    EXPECT_EQ(value, red.get());
    Py_XDECREF(value);
    expect_lookup(obj.get(), "colour", 0, red.get());
  }
}

TEST_F(RuntimeHelpers, TypesWithOnlyTheCStringAttributeSlots) {
  PyTypeObject* t = static_type(&char_slots_type, "rt_char_slots");
  t->tp_getattr = char_getattr;
  t->tp_setattr = char_setattr;
  Ref obj = new_object(t);
  ASSERT_TRUE(obj) << pending_error();
  ASSERT_EQ(t->tp_getattro, nullptr);  // readying left them empty
  ASSERT_EQ(t->tp_setattro, nullptr);
  Ref colour = interned("colour");
  Ref red = Ref::steal(PyUnicode_FromString("red"));
  EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::get_attr_by_slot(obj.get(), colour.get())).get()), "got colour");
  tarn::AttrCache cache{nullptr, 0, false, {}};
  EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::get_attr_cached(obj.get(), colour.get(), &cache)).get()),
            "got colour");
  EXPECT_EQ(cache.type, nullptr);
  Lookup l = lookup(obj.get(), "colour");
  EXPECT_EQ(l.result, 0);
  EXPECT_EQ(tarn_test::str_of(l.method), "got colour");
  Py_XDECREF(l.method);
  EXPECT_EQ(tarn::get_attr_quiet(obj.get(), interned("missing").get()), nullptr);
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(tarn::get_attr_by_slot(obj.get(), interned("missing").get()), nullptr);
  EXPECT_EQ(pending_error(), "AttributeError: no missing here");

  Py_ssize_t red_count = Py_REFCNT(red.get());
  EXPECT_EQ(tarn::set_attr_by_slot(obj.get(), colour.get(), red.get()), 0);
  EXPECT_EQ(char_set.name, "colour");
  EXPECT_EQ(char_set.value, red.get());
  EXPECT_EQ(tarn::set_attr_by_slot(obj.get(), colour.get(), nullptr), 0);  // a deletion
  EXPECT_EQ(char_set.value, nullptr);
  EXPECT_EQ(char_set.calls, 2);
  EXPECT_EQ(Py_REFCNT(red.get()), red_count);
  EXPECT_FALSE(PyErr_Occurred());
}

// --- call_vector and the call helpers --------------------------------------------

TEST_F(RuntimeHelpers, CallVectorBuiltinsDirectly) {
  TARN_NOT_ON_THE_STABLE_ABI();
  Ref marker = Ref::steal(PyUnicode_FromString("marker"));
  Ref arg = Ref::steal(PyUnicode_FromString("arg"));

  Ref noargs = builtin(&noargs_def, marker.get());
  Ref r = Ref::steal(tarn::call_vector(noargs.get(), nullptr, 0));
  EXPECT_EQ(r.get(), Py_None);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.self, marker.get());
  EXPECT_EQ(seen.arg, nullptr);

  Ref stat = builtin(&static_def, marker.get());
  r = Ref::steal(tarn::call_vector(stat.get(), nullptr, PY_VECTORCALL_ARGUMENTS_OFFSET));
  EXPECT_EQ(seen.calls, 2);
  EXPECT_EQ(seen.self, nullptr);

  Ref one = builtin(&o_def, marker.get());
  for (std::size_t nargsf : {std::size_t{1}, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET}) {
    seen = Seen{};
    PyObject* slots[2] = {nullptr, arg.get()};
    r = Ref::steal(tarn::call_vector(one.get(), slots + 1, nargsf));
    EXPECT_EQ(r.get(), Py_None);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.self, marker.get());
    EXPECT_EQ(seen.arg, arg.get());
    EXPECT_EQ(slots[0], nullptr);
  }

  // One argument for a built-in of another calling convention: its own vectorcall.
  Ref fast = builtin(&fast_def, marker.get());
  seen = Seen{};
  PyObject* slots[2] = {nullptr, arg.get()};
  r = Ref::steal(tarn::call_one_arg(fast.get(), arg.get()));
  EXPECT_EQ(r.get(), Py_None);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.self, marker.get());
  EXPECT_EQ(seen.nargs, 1);
  EXPECT_EQ(seen.first, arg.get());
  Ref selfless = builtin(&noargs_def, nullptr);  // (the interpreter's message names the type of a self)
  EXPECT_EQ(tarn::call_vector(selfless.get(), slots + 1, 1), nullptr);
  EXPECT_EQ(pending_error(), "TypeError: rt_noargs() takes no arguments (1 given)");
  EXPECT_EQ(seen.calls, 1);
}

TEST_F(RuntimeHelpers, CallVectorNullResultWithoutError) {
  TARN_NOT_ON_THE_STABLE_ABI();
  Ref arg = Ref::steal(PyLong_FromLong(3));
  Ref noargs = builtin(&null_noargs_def, nullptr);
  EXPECT_EQ(tarn::call_vector(noargs.get(), nullptr, 0), nullptr);
  EXPECT_EQ(pending_error(), "SystemError: NULL result without error in PyObject_Call");
  Ref one = builtin(&null_o_def, nullptr);
  EXPECT_EQ(tarn::call_one_arg(one.get(), arg.get()), nullptr);
  EXPECT_EQ(pending_error(), "SystemError: NULL result without error in PyObject_Call");
  EXPECT_EQ(seen.calls, 2);
}

TEST_F(RuntimeHelpers, CallVectorTarnFunctions) {
  TARN_NOT_ON_THE_STABLE_ABI();
  Ref arg = Ref::steal(PyUnicode_FromString("arg"));
  // Class-bound functions tell the roads apart: their vectorcall entries take the
  // first argument as self, the direct call uses the function object.
  Ref noargs = tarn_function(&tarn_noargs_def, tarn::FLAG_CLASS_BOUND);
  ASSERT_TRUE(noargs) << pending_error();
  Ref r = Ref::steal(tarn::call_vector(noargs.get(), nullptr, 0));
  EXPECT_EQ(r.get(), Py_None) << pending_error();
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.self, noargs.get());
  EXPECT_EQ(seen.arg, nullptr);
  EXPECT_EQ(_PyObject_Vectorcall(noargs.get(), nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(pending_error(), "TypeError: rt_tarn_noargs() needs an argument");

  Ref bound_o = tarn_function(&tarn_o_def, tarn::FLAG_CLASS_BOUND);
  EXPECT_EQ(tarn::call_one_arg(bound_o.get(), arg.get()), nullptr);
  EXPECT_EQ(pending_error(), "TypeError: rt_tarn_o() takes exactly one argument (0 given)");

  seen = Seen{};
  Ref plain_o = tarn_function(&tarn_o_def, 0);
  r = Ref::steal(tarn::call_one_arg(plain_o.get(), arg.get()));
  EXPECT_EQ(r.get(), Py_None);
  EXPECT_EQ(seen.self, plain_o.get());
  EXPECT_EQ(seen.arg, arg.get());

  // Before the exec step knows the function type, its functions take the general roads.
  PyTypeObject* known = state.function_type;
  state.function_type = nullptr;
  seen = Seen{};
  EXPECT_EQ(tarn::call_vector(noargs.get(), nullptr, 0), nullptr);
  state.function_type = known;
  EXPECT_EQ(pending_error(), "TypeError: rt_tarn_noargs() needs an argument");
  EXPECT_EQ(seen.calls, 0);

  // A function without a vectorcall entry is called with a tuple.
  Ref varkw = tarn_function(&tarn_varkw_def, 0);
  ASSERT_TRUE(varkw) << pending_error();
  ASSERT_EQ(reinterpret_cast<tarn::TarnFunction*>(varkw.get())->vectorcall, nullptr);
  Py_ssize_t arg_count = Py_REFCNT(arg.get());
  for (std::size_t n : {std::size_t{0}, std::size_t{1}}) {
    seen = Seen{};
    PyObject* slots[2] = {nullptr, arg.get()};
    r = Ref::steal(tarn::call_vector(varkw.get(), slots + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET));
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.self, varkw.get());
    EXPECT_EQ(seen.first, nullptr);  // no keywords
    ASSERT_EQ(seen.nargs, static_cast<Py_ssize_t>(n));
    EXPECT_EQ(r.get(), seen.arg);
    if (n) {
      EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 0), arg.get());
    } else {
      EXPECT_EQ(r.get(), state.empty_tuple);
    }
    r.reset();
    EXPECT_EQ(Py_REFCNT(arg.get()), arg_count);
  }
}

TEST_F(RuntimeHelpers, CallArrayViaTupleWithoutMemoryForTheTuple) {
  Ref callable = eval("RtCallable()");
  Ref a = Ref::steal(PyUnicode_FromString("a")), b = Ref::steal(PyUnicode_FromString("b"));
  PyObject* args[2] = {a.get(), b.get()};
  Py_ssize_t counts[3] = {Py_REFCNT(callable.get()), Py_REFCNT(a.get()), Py_REFCNT(b.get())};
  PyObject* r;
  PyGC_Collect();  // empties the free lists: the tuple is allocated
  {
    tarn_test::FailNth fail(1);
    r = tarn::call_array_via_tuple(callable.get(), args, 2);
    EXPECT_TRUE(fail.failed());
  }
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(pending_error(), "MemoryError: ");
  EXPECT_EQ(Py_REFCNT(callable.get()), counts[0]);
  EXPECT_EQ(Py_REFCNT(a.get()), counts[1]);
  EXPECT_EQ(Py_REFCNT(b.get()), counts[2]);
}

TEST_F(RuntimeHelpers, CallVectorVectorcallAndTuplePaths) {
  TARN_NOT_ON_THE_STABLE_ABI();
  Ref a = Ref::steal(PyUnicode_FromString("a"));
  Ref b = Ref::steal(PyUnicode_FromString("b"));
  Ref c = Ref::steal(PyUnicode_FromString("c"));
  Py_ssize_t a_count = Py_REFCNT(a.get());
  Ref func = eval("rt_args");
  Ref callable = eval("RtCallable()");
  ASSERT_FALSE(PyType_HasFeature(Py_TYPE(callable.get()), _Py_TPFLAGS_HAVE_VECTORCALL));
  PyObject* slots[4] = {nullptr, a.get(), b.get(), c.get()};

  for (PyObject* target : {func.get(), callable.get()}) {
    EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::call_vector(target, slots + 1, 0)).get()), "()");
    EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::call_vector(target, slots + 1, 2)).get()), "('a', 'b')");
    EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::call_vector(target, slots + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET)).get()),
              "('a', 'b')");
    EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::call_one_arg(target, a.get())).get()), "('a',)");
    EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::call_two_args(target, a.get(), b.get())).get()), "('a', 'b')");
    EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::call_array_via_tuple(target, slots + 1, 3)).get()),
              "('a', 'b', 'c')");
    EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::call_array_via_tuple(target, slots + 1, 0)).get()), "()");
  }
  EXPECT_EQ(slots[0], nullptr);
  EXPECT_EQ(Py_REFCNT(a.get()), a_count);

  // The offset bit is not passed on: a bound method must not borrow the caller's scratch slot.
  Ref fast = builtin(&fast_def, nullptr);
  Ref method = Ref::steal(PyMethod_New(fast.get(), c.get()));
  Ref r = Ref::steal(tarn::call_vector(method.get(), slots + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET));
  EXPECT_EQ(r.get(), Py_None);
  EXPECT_EQ(seen.nargs, 2);
  EXPECT_EQ(seen.first, c.get());
  EXPECT_EQ(seen.second, a.get());
  EXPECT_NE(seen.args, slots);
  EXPECT_EQ(slots[0], nullptr);
}

TEST_F(RuntimeHelpers, CallWithTupleOnNonCallable) {
  Ref number = Ref::steal(PyLong_FromLong(7));
  Ref args = Ref::steal(PyTuple_New(0));
  EXPECT_EQ(tarn::call_with_tuple(number.get(), args.get()), nullptr);
  EXPECT_EQ(pending_error(), "TypeError: 'int' object is not callable");
  EXPECT_EQ(tarn::call_vector(number.get(), nullptr, 0), nullptr);
  EXPECT_EQ(pending_error(), "TypeError: 'int' object is not callable");
}

// --- recursion guard -------------------------------------------------------------

class RuntimeRecursionGuard : public RuntimeHelpers {
 protected:
  void SetUp() override {
    RuntimeHelpers::SetUp();
    trivial_ = builtin(&noargs_def, nullptr);
  }
  Ref trivial_;
};

#if PY_VERSION_HEX < 0x03090000
// Until 3.9 the guard is a macro compiled into the module: the depth and the overflowed
// flag are ours to keep right.
class RuntimeRecursionGuardMacro : public RuntimeRecursionGuard {
 protected:
  void SetUp() override {
    RuntimeRecursionGuard::SetUp();
    saved_limit_ = Py_GetRecursionLimit();
    ts_ = PyThreadState_Get();
    saved_depth_ = ts_->recursion_depth;
  }
  void TearDown() override {
    ts_->recursion_depth = saved_depth_;
    ts_->overflowed = 0;
    Py_SetRecursionLimit(saved_limit_);
  }
  static void set_limit(int limit) {
    std::string code = "import sys; sys.setrecursionlimit(" + std::to_string(limit) + ")";
    ASSERT_TRUE(exec_python(code.c_str()));
    ASSERT_EQ(_Py_CheckRecursionLimit, limit);
  }
  // Calls the trivial built-in at `depth` with overflowed set; returns overflowed after.
  int overflowed_after_call_at(int depth) {
    ts_->recursion_depth = depth;
    ts_->overflowed = 1;
    Ref r = Ref::steal(tarn::call_cfunction(trivial_.get(), nullptr));
    int depth_after = ts_->recursion_depth;
    int flag = ts_->overflowed;
    ts_->recursion_depth = saved_depth_;
    ts_->overflowed = 0;
    EXPECT_EQ(r.get(), Py_None);
    EXPECT_EQ(depth_after, depth);
    return flag;
  }

  int saved_limit_ = 0;
  int saved_depth_ = 0;
  PyThreadState* ts_ = nullptr;
};

TEST_F(RuntimeRecursionGuardMacro, LowWaterMarkClearsOverflowed) {
  set_limit(1000);
  EXPECT_EQ(overflowed_after_call_at(949), 0);
  EXPECT_EQ(overflowed_after_call_at(950), 1);
  set_limit(200);
  EXPECT_EQ(overflowed_after_call_at(149), 0);
  EXPECT_EQ(overflowed_after_call_at(150), 1);
  set_limit(150);  // 150 / 4 * 3 = 111, not 112
  EXPECT_EQ(overflowed_after_call_at(110), 0);
  EXPECT_EQ(overflowed_after_call_at(111), 1);
}

// Both guarded calls, from below the low-water mark to past the limit: once overflowed, the
// interpreter grants 50 levels beyond the limit for handling the error.
PyObject* plain_call(PyObject*, PyObject*, PyObject*) noexcept { Py_RETURN_NONE; }
PyTypeObject plain_call_type;  // its calls guard nothing themselves

TEST_F(RuntimeRecursionGuardMacro, BothGuardedCallsAtEveryDepth) {
  set_limit(1000);
  static_type(&plain_call_type, "rt_plain_call")->tp_call = plain_call;
  Ref callable = new_object(&plain_call_type);
  ASSERT_TRUE(callable) << pending_error();
  Ref args = Ref::steal(PyTuple_New(0));
  struct {
    const char* name;
    PyObject* (*call)(PyObject*, PyObject*);
    PyObject* target;
    PyObject* arg;
  } calls[] = {{"call_cfunction", tarn::call_cfunction, trivial_.get(), nullptr},
               {"call_with_tuple", tarn::call_with_tuple, callable.get(), args.get()}};
  struct {
    int depth;
    int overflowed_before;
    bool refused;
    int overflowed_after;
  } rows[] = {
      {949, 1, false, 0}, {950, 1, false, 1}, {999, 0, false, 0},
      {999, 1, false, 1}, {1000, 1, false, 1}, {1030, 1, false, 1},
      {1000, 0, true, 1},
  };
  for (auto& call : calls) {
    for (auto& row : rows) {
      SCOPED_TRACE(std::string(call.name) + " at " + std::to_string(row.depth) + ", overflowed " +
                   std::to_string(row.overflowed_before));
      ts_->recursion_depth = row.depth;
      ts_->overflowed = row.overflowed_before;
      Ref r = Ref::steal(call.call(call.target, call.arg));
      int depth_after = ts_->recursion_depth;
      int flag = ts_->overflowed;
      ts_->recursion_depth = saved_depth_;
      ts_->overflowed = 0;
      std::string error = pending_error();
      EXPECT_EQ(depth_after, row.depth);
      EXPECT_EQ(flag, row.overflowed_after);
      if (row.refused) {
        EXPECT_EQ(r.get(), nullptr);
        EXPECT_EQ(error, "RecursionError: maximum recursion depth exceeded while calling a Python object");
      } else {
        EXPECT_TRUE(r) << error;
      }
    }
  }
  // At a limit of 200 or less the low-water mark is three quarters of it, not 50 below.
  set_limit(150);
  for (auto& call : calls) {
    for (int depth : {110, 111}) {
      SCOPED_TRACE(std::string(call.name) + " at " + std::to_string(depth) + " of 150");
      ts_->recursion_depth = depth;
      ts_->overflowed = 1;
      Ref r = Ref::steal(call.call(call.target, call.arg));
      int flag = ts_->overflowed;
      ts_->recursion_depth = saved_depth_;
      ts_->overflowed = 0;
      EXPECT_TRUE(r) << pending_error();
      EXPECT_EQ(flag, depth == 111);
    }
  }
}
#endif

TEST_F(RuntimeRecursionGuard, AtTheLimitRaisesRecursionError) {
  TARN_NOT_ON_THE_STABLE_ABI();
  Ref callable = eval("RtCallable()");
  Ref args = Ref::steal(PyTuple_New(0));
  const std::string expected = tarn_test::recursion_refused();
  int count = 0;
  int count_after = 0;
  PyObject* r = nullptr;
  {
    tarn_test::AtRecursionLimit at_limit;
    count = at_limit.count();
    r = tarn::call_cfunction(trivial_.get(), nullptr);
    count_after = at_limit.count();
  }
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(count_after, count);  // the refused call leaves the count as it was
  EXPECT_EQ(seen.calls, 0);
  EXPECT_EQ(tarn_test::stack_use_hidden(pending_error()), expected);  // read once off the limit again
  {
    tarn_test::AtRecursionLimit at_limit;
    r = tarn::call_with_tuple(callable.get(), args.get());
  }
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(tarn_test::stack_use_hidden(pending_error()), expected);
  Ref fine = Ref::steal(tarn::call_cfunction(trivial_.get(), nullptr));
  EXPECT_EQ(fine.get(), Py_None);
}

// --- instance storage ------------------------------------------------------------

extern "C" int tarn_reference_storage(PyObject* obj, PyObject*** values, PyObject** dict, PyObject** first_key);

// Reads obj's own storage under name as the version layer does; "<absent>" or "<error>".
std::string stored(PyObject* obj, const char* name, Py_ssize_t* hint) {
  Ref n = interned(name);
  PyObject* value = nullptr;
  switch (tarn::read_instance_attr(obj, n.get(), PyObject_Hash(n.get()), hint, &value)) {
    case tarn::StoredAttr::found: return tarn_test::str_of(Ref::steal(value).get());
    case tarn::StoredAttr::absent: return "<absent>";
    default: return "<error>";
  }
}

TEST_F(RuntimeHelpers, InstanceStorageIsReadAsTheInterpreterKeepsIt) {
  ASSERT_TRUE(exec_python("class RtSlotless:\n"
                          "    def __init__(self):\n"
                          "        self.first = 'one'; self.second = 'two'\n"
                          "rt_fresh, rt_dicted, rt_replaced = RtSlotless(), RtSlotless(), RtSlotless()\n"
                          "rt_dicted.__dict__\n"
                          "rt_replaced.__dict__ = {'second': 'other'}\n"));
  for (const char* which : {"rt_fresh", "rt_dicted", "rt_replaced"}) {
    SCOPED_TRACE(which);
    Ref obj = eval(which);
#if PY_VERSION_HEX >= 0x030B0000 && !TARN_GENERIC_ROADS  // managed storage came with 3.11
    PyObject** values = nullptr;
    PyObject* dict = nullptr;
    PyObject* first_key = nullptr;
    ASSERT_TRUE(tarn_reference_storage(obj.get(), &values, &dict, &first_key));
    tarn::detail::ManagedStorage storage = tarn::detail::managed_storage(obj.get());
    EXPECT_EQ(storage.values, values);
    if (!values) {
      EXPECT_EQ(storage.dict, dict);
    }
    Py_ssize_t first_hint = -1;
    Ref first = interned("first");
    EXPECT_EQ(first_key, first.get());
    EXPECT_EQ(tarn::detail::shared_key_index(Py_TYPE(obj.get()), first.get(), &first_hint), 0);
#endif
    Ref expected_second = Ref::steal(PyObject_GetAttrString(obj.get(), "second"));
    for (Py_ssize_t stale : {7, 0}) {  // a stale hint, past the keys or at another key, is corrected
      Py_ssize_t hint = stale;
      EXPECT_EQ(stored(obj.get(), "second", &hint), tarn_test::str_of(expected_second.get()));
      EXPECT_EQ(stored(obj.get(), "second", &hint), tarn_test::str_of(expected_second.get()));
      EXPECT_EQ(stored(obj.get(), "nowhere", &hint), "<absent>");
    }
  }
  Ref replaced = eval("rt_replaced");
  Py_ssize_t hint = -1;
  EXPECT_EQ(stored(replaced.get(), "first", &hint), "<absent>");
  EXPECT_FALSE(PyErr_Occurred());
}

// --- versioned class lookups and the attribute cache --------------------------------

// A fresh class with the attribute `other`, and an object of it that holds `name` itself;
// with `steps`, a key of the class dictionary that hashes as name and compares by those steps.
struct Versioned {
  Ref klass;
  Ref obj;
  Ref name;
};
Versioned versioned_class(const char* name, const char* steps) {
  Versioned v;
  v.name = interned(name);
  v.klass = eval("type('RtVersioned', (), {'other': 'class other'})");
  v.obj = Ref::steal(PyObject_CallObject(v.klass.get(), nullptr));
  EXPECT_EQ(PyObject_SetAttr(v.obj.get(), v.name.get(), Ref::steal(PyUnicode_FromString("own value")).get()), 0);
  if (steps) {
    Ref flaky = Ref::steal(PyObject_CallFunction(eval("RtFlaky").get(), "sO", name,
                                                 eval(steps).get()));
    EXPECT_EQ(PyObject_SetAttrString(flaky.get(), "owner", v.klass.get()), 0);
    auto* tp = reinterpret_cast<PyTypeObject*>(v.klass.get());
    EXPECT_EQ(PyDict_SetItem(tp->tp_dict, flaky.get(), Ref::steal(PyUnicode_FromString("class value")).get()), 0);
    PyType_Modified(tp);
  }
  Ref other = Ref::steal(PyObject_GetAttrString(v.klass.get(), "other"));  // the class gets a version tag
  return v;
}

TEST_F(RuntimeHelpers, VersionedTypeLookup) {
  TARN_FAST_ROADS_ONLY();
  Versioned plain = versioned_class("rt_name", nullptr);
  auto* tp = reinterpret_cast<PyTypeObject*>(plain.klass.get());
  unsigned int version = 12345;
  Ref other = interned("other");
  PyObject* found = tarn::versioned_type_lookup(tp, other.get(), &version);
  EXPECT_EQ(tarn_test::str_of(found), "class other");
  EXPECT_NE(version, 0u);
  EXPECT_EQ(version, tarn::type_version(tp));
  EXPECT_EQ(tarn::versioned_type_lookup(tp, plain.name.get(), &version), nullptr);
  EXPECT_EQ(version, tarn::type_version(tp));

  // A key comparison runs Python code: when the two lookups disagree, or the class changed
  // meanwhile, or it has no version tag left after the lookup, nothing may be cached.
  struct {
    const char* steps;
    const char* what;
  } rows[] = {
      {"['raise', 'match']", "the second lookup finds what the first did not"},
      {"['raise', 'change']", "the second lookup changes the class"},
      {"['change', 'change']", "the first lookup changes the class"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    Versioned v = versioned_class("rt_name", row.steps);
    auto* vt = reinterpret_cast<PyTypeObject*>(v.klass.get());
    version = 12345;
    EXPECT_EQ(tarn::versioned_type_lookup(vt, v.name.get(), &version), nullptr);
    EXPECT_EQ(version, 0u);
    EXPECT_FALSE(PyErr_Occurred());
  }
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    Versioned v = versioned_class("rt_name", row.steps);
    tarn::AttrCache cache{nullptr, 0, false, {}};
    EXPECT_FALSE(tarn::fill_attr_cache(reinterpret_cast<PyTypeObject*>(v.klass.get()), v.name.get(), &cache));
    EXPECT_EQ(cache.type, nullptr);
  }
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    Versioned v = versioned_class("rt_name", row.steps);
    tarn::AttrCache cache{nullptr, 0, false, {}};
    EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::get_attr_cached(v.obj.get(), v.name.get(), &cache)).get()),
              "own value");  // the generic road's answer
    EXPECT_EQ(cache.type, nullptr);
    EXPECT_FALSE(PyErr_Occurred());
  }
  tarn::AttrCache cache{nullptr, 0, false, {}};
  EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::get_attr_cached(plain.obj.get(), plain.name.get(), &cache)).get()),
            "own value");
  EXPECT_EQ(cache.type, tp);
  EXPECT_EQ(cache.version, tarn::type_version(tp));
  EXPECT_TRUE(cache.from_storage);
}

// The object's own storage answers through the cache: a failing lookup there is the answer,
// as for the interpreter's generic lookup.
TEST_F(RuntimeHelpers, AttrCacheReadsTheStorageAndItsFailures) {
  TARN_FAST_ROADS_ONLY();
  Versioned v = versioned_class("rt_name", nullptr);
  tarn::AttrCache cache{nullptr, 0, false, {}};
  EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::get_attr_cached(v.obj.get(), v.name.get(), &cache)).get()),
            "own value");
  ASSERT_EQ(cache.type, Py_TYPE(v.obj.get()));
  Ref bare = Ref::steal(PyObject_CallObject(v.klass.get(), nullptr));
  ASSERT_TRUE(Ref::steal(PyObject_CallFunction(eval("rt_plant_collider").get(), "OO", bare.get(), v.name.get())));
  EXPECT_EQ(PyObject_GetAttr(bare.get(), v.name.get()), nullptr);
  EXPECT_EQ(pending_error(), "ValueError: eq failed");
  EXPECT_EQ(tarn::get_attr_cached(bare.get(), v.name.get(), &cache), nullptr);
  EXPECT_EQ(pending_error(), "ValueError: eq failed");
  EXPECT_EQ(cache.type, Py_TYPE(v.obj.get()));  // still filled
}

// --- module globals --------------------------------------------------------------

TEST_F(RuntimeHelpers, ReadGlobalCachesAndFallsBackToBuiltins) {
  PyObject* dict = state.module_dict;
  if (tarn::dict_version(dict) != tarn::dict_version(dict))  // the generic roads: no watcher to be had
    GTEST_SKIP() << "no change signal of dictionaries without dictionary watchers";
  PyObject* builtins = PyModule_GetDict(state.builtins_module);
  auto tag = [dict] { return tarn::dict_version(dict); };
  PyObject* raw = PyUnicode_FromFormat("%s%c", "xy", 'z');  // made at run time, then interned
  PyUnicode_InternInPlace(&raw);
  Ref name = Ref::steal(raw);
  Ref unrelated = interned("rt_unrelated_global");
  const std::string missing = "NameError: name 'xyz' is not defined";
  ASSERT_EQ(PyDict_GetItem(dict, name.get()), nullptr);
  ASSERT_EQ(PyDict_GetItem(builtins, name.get()), nullptr);
  Ref in_module = Ref::steal(PyUnicode_FromString("module value"));
  Ref in_builtins = Ref::steal(PyUnicode_FromString("builtins value"));
  Ref planted = Ref::steal(PyUnicode_FromString("planted"));
  tarn::GlobalCache cache{0, nullptr};
  auto read = [&] { return Ref::steal(tarn::read_global(name.get(), &cache)); };

  ASSERT_EQ(PyDict_SetItem(dict, name.get(), in_module.get()), 0);
  Py_ssize_t count = Py_REFCNT(in_module.get());
  {
    Ref r = read();
    EXPECT_EQ(r.get(), in_module.get());
    EXPECT_EQ(cache.version, tag());
    EXPECT_EQ(cache.value, in_module.get());
    EXPECT_EQ(Py_REFCNT(in_module.get()), count + 1);
  }
  EXPECT_EQ(Py_REFCNT(in_module.get()), count);  // the value slot holds no reference

  // At an unchanged version the slots answer without a dictionary lookup.
  cache.value = planted.get();
  EXPECT_EQ(read().get(), planted.get());
  cache.value = nullptr;  // a cached miss: straight to builtins, though the module has the name
  EXPECT_EQ(read().get(), nullptr);
  EXPECT_EQ(pending_error(), missing);
  ASSERT_EQ(PyDict_SetItem(builtins, name.get(), in_builtins.get()), 0);
  ASSERT_EQ(cache.version, tag());
  EXPECT_EQ(read().get(), in_builtins.get());

  // Any change to the module dictionary sends the next read back to it.
  ASSERT_EQ(PyDict_SetItem(dict, unrelated.get(), Py_None), 0);
  EXPECT_EQ(read().get(), in_module.get());
  EXPECT_EQ(cache.value, in_module.get());
  ASSERT_EQ(PyDict_DelItem(dict, unrelated.get()), 0);

  ASSERT_EQ(PyDict_DelItem(dict, name.get()), 0);
  EXPECT_EQ(read().get(), in_builtins.get());
  EXPECT_EQ(cache.value, nullptr);
  EXPECT_EQ(cache.version, tag());
  ASSERT_EQ(PyDict_DelItem(builtins, name.get()), 0);
  EXPECT_EQ(read().get(), nullptr);
  EXPECT_EQ(pending_error(), missing);
  EXPECT_EQ(Py_REFCNT(in_module.get()), count - 1);  // the module dict let go of it
}

// The change signal of the caches answers as a dictionary's version tag does: what changes
// the dictionary gives a new number, what does not keeps it. Without a watcher to be had
// (where the module counts the changes itself) nothing is taken from a cache.
TEST_F(RuntimeHelpers, DictVersionChangesWithTheDictionaryOnly) {
  Ref d = eval("{}");
  tarn::watch_dict(d.get());
  ASSERT_EQ(PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "rt_d", d.get()), 0);
  struct {
    const char* code;
    bool changes;
  } rows[] = {{"rt_d['a'] = 1", true},           {"rt_d['a'] = rt_d['a']", false}, {"rt_d['a'] = 2", true},
              {"rt_d.get('zz')", false},         {"rt_d.pop('zz', None)", false},  {"rt_d.setdefault('a', 5)", false},
              {"rt_d.update({})", false},        {"rt_d.setdefault('b', 5)", true}, {"del rt_d['a']", true},
              {"rt_d.clear()", true},            {"rt_d.clear()", false},          {"rt_d.update(c=3)", true},
              {"rt_d.popitem()", true}};
  bool signal = true;
#if PY_VERSION_HEX >= 0x030E0000 || TARN_GENERIC_ROADS
  signal = tarn::detail::dict_watcher >= 0;  // none on the generic roads
#endif
  for (auto& row : rows) {
    std::uint64_t before = tarn::dict_version(d.get());
    ASSERT_TRUE(exec_python(row.code));
    if (signal) {
      EXPECT_EQ(tarn::dict_version(d.get()) != before, row.changes) << row.code;
    }
  }
  ASSERT_TRUE(exec_python("del rt_d"));
#if PY_VERSION_HEX >= 0x030E0000 || TARN_GENERIC_ROADS
  int watcher = tarn::detail::dict_watcher;
  tarn::detail::dict_watcher = -1;  // as when the interpreter had none left
  EXPECT_NE(tarn::dict_version(d.get()), tarn::dict_version(d.get()));
  tarn::GlobalCache cache{0, nullptr};
  Ref first = Ref::steal(tarn::read_global(tarn::state.ids.collections, &cache));
  Ref planted = Ref::steal(PyUnicode_FromString("planted"));
  cache.value = planted.get();
  Ref again = Ref::steal(tarn::read_global(tarn::state.ids.collections, &cache));
  tarn::detail::dict_watcher = watcher;
  EXPECT_EQ(again.get(), first.get());
#endif
}

TEST_F(RuntimeHelpers, GlobalLookupErrorsPropagateButDictGetQuietClears) {
  Ref name = interned("rt_collided");
  Ref collider = Ref::steal(PyObject_CallFunction(eval("RtCollider").get(), "n", PyObject_Hash(name.get())));
  Ref scratch = Ref::steal(PyDict_New());
  ASSERT_EQ(PyDict_SetItem(scratch.get(), collider.get(), Py_None), 0);

  PyObject* saved_dict = state.module_dict;
  state.module_dict = scratch.get();
  std::uint64_t version = 0;
  PyObject* value = Py_None;
  PyObject* r = tarn::get_module_global(name.get(), &version, &value);
  state.module_dict = saved_dict;
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(value, nullptr);
  if (tarn::dict_version(scratch.get()) == tarn::dict_version(scratch.get())) {  // a change signal
    EXPECT_EQ(version, tarn::dict_version(scratch.get()));
  }
  EXPECT_EQ(pending_error(), "ValueError: eq failed");

  EXPECT_EQ(tarn::dict_get_quiet(scratch.get(), name.get()), nullptr);
  EXPECT_FALSE(PyErr_Occurred());
  Ref other = interned("rt_present");
  ASSERT_EQ(PyDict_SetItem(scratch.get(), other.get(), collider.get()), 0);
  Py_ssize_t count = Py_REFCNT(collider.get());
  EXPECT_EQ(tarn::dict_get_quiet(scratch.get(), other.get()), collider.get());
  EXPECT_EQ(Py_REFCNT(collider.get()), count);  // borrowed
}

// --- quiet attribute and builtin lookups -----------------------------------------

TEST_F(RuntimeHelpers, GetAttrQuiet) {
  Ref host = eval("rt_host");
  Ref dyn = eval("RtDynamic()");
  Ref nope = interned("nope");
  EXPECT_EQ(tarn::get_attr_quiet(host.get(), nope.get()), nullptr);
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(tarn::get_attr_quiet(host.get(), interned("failing").get()), nullptr);
  EXPECT_EQ(pending_error(), "ValueError: getter failed");

  EXPECT_EQ(tarn::get_attr_quiet(dyn.get(), interned("missing").get()), nullptr);  // RtAttrMiss counts as missing
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(tarn::get_attr_quiet(dyn.get(), interned("bad").get()), nullptr);
  EXPECT_EQ(pending_error(), "ValueError: bad");
  EXPECT_EQ(tarn_test::str_of(Ref::steal(tarn::get_attr_quiet(dyn.get(), nope.get())).get()), "dyn:nope");

  EXPECT_EQ(tarn::get_attr_quiet(state.builtins_module, nope.get()), nullptr);  // module getattro
  EXPECT_FALSE(PyErr_Occurred());

  // Nothing in flight, or another error: clear_attribute_error leaves it as it is.
  tarn::clear_attribute_error();
  EXPECT_FALSE(PyErr_Occurred());
  PyErr_SetString(PyExc_KeyError, "kept");
  tarn::clear_attribute_error();
  EXPECT_EQ(pending_error(), "KeyError: 'kept'");
}

TEST_F(RuntimeHelpers, GetBuiltin) {
  Ref len = eval("len");
  EXPECT_EQ(Ref::steal(tarn::get_builtin(state.ids.len)).get(), len.get());
  EXPECT_EQ(tarn::get_builtin(interned("rt_no_such_builtin").get()), nullptr);
  EXPECT_EQ(pending_error(), "NameError: name 'rt_no_such_builtin' is not defined");

  // The builtins module is asked through its attribute lookup: an error other than
  // AttributeError from it is the answer, not a NameError.
  ASSERT_TRUE(exec_python("import builtins\n"
                          "def rt_builtins_getattr(name):\n"
                          "    if name == 'rt_refused': raise LookupError('refused: ' + name)\n"
                          "    raise AttributeError(name)\n"
                          "builtins.__getattr__ = rt_builtins_getattr\n"));
  PyObject* refused = tarn::get_builtin(interned("rt_refused").get());
  std::string refused_error = pending_error();
  PyObject* missing = tarn::get_builtin(interned("rt_no_such_builtin").get());
  std::string missing_error = pending_error();
  ASSERT_TRUE(exec_python("del builtins.__getattr__"));
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(refused_error, "LookupError: refused: rt_refused");
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(missing_error, "NameError: name 'rt_no_such_builtin' is not defined");
}

}  // namespace
