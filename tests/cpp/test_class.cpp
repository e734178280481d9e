// Class construction helpers on what the module's one class statement never gives them:
// several bases or none, and a namespace prepared without a metaclass.
#include "embedded.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tarn::Ref;
using tarn::state;
using tarn_test::eval_python;
using tarn_test::pending_error;

// calculate_metaclass picks what the interpreter's class statement would: the most derived
// of the bases' metaclasses (type for none), or the interpreter's metaclass conflict.
TEST(CalculateMetaclass, AgreesWithTheInterpreter) {
  ASSERT_TRUE(tarn_test::exec_python(
      "import abc, enum, types\n"
      "class CmPlain: pass\n"
      "class CmAbstract(abc.ABC): pass\n"
      "class CmMeta(type): pass\n"
      "class CmMetaChild(CmMeta): pass\n"
      "class CmA(metaclass=CmMeta): pass\n"
      "class CmB(metaclass=CmMetaChild): pass\n"
      "def cm_interpreter(bases):\n"
      "    try:\n"
      "        return types.prepare_class('X', bases)[0]\n"
      "    except TypeError as e:\n"
      "        return 'TypeError: ' + str(e)\n"));
  const char* bases_cases[] = {
      "()",
      "(CmPlain,)",
      "(int, str)",              // the same metaclass twice
      "(CmPlain, CmAbstract)",   // a later base's metaclass is more derived
      "(CmAbstract, CmPlain)",   // the first one already is
      "(CmA, CmB)",
      "(CmB, CmA, CmPlain)",
      "(CmAbstract, enum.Enum)",  // unrelated metaclasses
      "(CmA, CmAbstract)",
  };
  for (const char* expr : bases_cases) {
    SCOPED_TRACE(expr);
    Ref bases = Ref::steal(eval_python(expr));
    ASSERT_TRUE(bases) << pending_error();
    std::string call = std::string("cm_interpreter(") + expr + ")";
    Ref expected = Ref::steal(eval_python(call.c_str()));
    ASSERT_TRUE(expected) << pending_error();
    if (PyUnicode_Check(expected.get())) {  // the conflict
      EXPECT_EQ(tarn::calculate_metaclass(bases.get()), nullptr);
      EXPECT_EQ(pending_error(), tarn_test::str_of(expected.get()));
      continue;
    }
    Py_ssize_t before = Py_REFCNT(expected.get());
    Ref got = Ref::steal(tarn::calculate_metaclass(bases.get()));
    EXPECT_EQ(got.get(), expected.get()) << tarn_test::str_of(got.get()) << pending_error();
    EXPECT_EQ(Py_REFCNT(expected.get()), tarn_test::count_after(expected.get(), before, 1));  // the caller's
  }
}

// Without a metaclass the namespace is a new dict holding __module__ and __qualname__ (and
// from 3.13 on __firstlineno__).
TEST(PrepareNamespace, WithoutAMetaclassAPlainDict) {
  Ref bases = tarn_test::tuple_of({});
  Ref ns = Ref::steal(tarn::prepare_namespace(nullptr, bases.get()));
  ASSERT_TRUE(ns) << pending_error();
  EXPECT_TRUE(PyDict_CheckExact(ns.get()));
  EXPECT_EQ(Py_REFCNT(ns.get()), 1);
  EXPECT_EQ(tarn_test::str_of(ns.get()), std::string("{'__module__': 'corvessa.util.queue', '__qualname__': 'LifoQueue'") +
                                             (tarn::class_body_stores_line_and_attributes() ? ", '__firstlineno__': 10}" : "}"));
  EXPECT_FALSE(PyErr_Occurred());
}

}  // namespace
