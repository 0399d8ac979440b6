// The schema model loader and the simple type's mask test, against the model
// library stand-in runtime/tavmdr (concurrent first loads are the stress
// test's).
// Built three times (tests/schema.cmake): QELSCHEMA_MODEL 1 finds the model
// library, 0 finds none, 2 finds a copy without the factory. Every test runs
// in a process of its own, so each one starts with the library not loaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <type_traits>

#include "docdef.hpp"
#include "qelschema.hpp"
#include "test_support.hpp"

namespace {

// A handle on the model library if it is loaded, without loading it.
struct LoadedModel {
  LoadedModel() : handle(dlopen("libtavmdr.so", RTLD_NOW | RTLD_NOLOAD)) {}
  ~LoadedModel() {
    if (handle) dlclose(handle);
  }
  template <typename F>
  F* fn(const char* name) const {
    return reinterpret_cast<F*>(dlsym(handle, name));
  }
  void* handle;
};

QelXmlDocDef makeDef(const std::u16string& ns, int64_t mask) {
  QelXmlDocDef def;
  def.targetNamespace = ns;
  def.rootName = u"order";
  def.types = {{u"amount", mask}, {u"text", 1}};
  def.fields = {{u"total", u"amount", u"0"}, {u"note", u"text", u""}};
  return def;
}

// The type of the root's first field, reached through the model.
[[maybe_unused]] const QelSchSimpleTypeDef* firstFieldType(const QelXmlSchema& schema) {
  const QelSchElementDecl* root = schema.getElementDecl(u"order", schema.getTargetNamespace());
  if (!root || !root->getComplexTypeDef()) return nullptr;
  const QelSchParticle* content = root->getComplexTypeDef()->getParticle();
  const QelSchParticle* first = content->getModelGroupTerm()->getParticle(0);
  return dynamic_cast<const QelSchSimpleTypeDef*>(first->getElementTerm()->getTypeDefinition());
}

}  // namespace

#if QELSCHEMA_MODEL == 1

static_assert(std::is_abstract<QelXmlSchema>::value && std::is_abstract<QelSchSimpleTypeDef>::value, "");
static_assert(!std::is_default_constructible<QelSchParticle>::value, "only the model library creates objects");
static_assert(!std::is_copy_constructible<QelSchElementDecl>::value, "only the model library copies objects");
static_assert(!std::is_copy_assignable<QelSchValueConstraint>::value, "only the model library assigns objects");
static_assert(std::has_virtual_destructor<QelSchAttributeDecl>::value, "");

TEST(SchemaLoader, LoadsOnceAndHandsEachCallerItsDefinition) {
  qelDomCleanup();  // unloads what an earlier test loaded
  ASSERT_EQ(LoadedModel().handle, nullptr) << "nothing loads the model library before the first call";
  QelXmlDocDef first = makeDef(u"urn:first", 4);
  QelXmlDocDef second = makeDef(u"urn:second", 8);

  std::unique_ptr<QelXmlSchema> a(QelXmlSchema::getXmlSchema(first));
  LoadedModel model;
  ASSERT_NE(model.handle, nullptr);
  EXPECT_EQ(model.fn<TavmdrLastDefinition>("tavmdrLastDefinition")(), &first);
  std::unique_ptr<QelXmlSchema> b(QelXmlSchema::getXmlSchema(second));
  EXPECT_EQ(model.fn<TavmdrLastDefinition>("tavmdrLastDefinition")(), &second);
  EXPECT_EQ(model.fn<TavmdrLoadCount>("tavmdrLoadCount")(), 1);
  EXPECT_EQ(model.fn<TavmdrFactoryCalls>("tavmdrFactoryCalls")(), 2);

  ASSERT_TRUE(a && b);
  EXPECT_EQ(std::u16string(a->getTargetNamespace()), u"urn:first");
  EXPECT_EQ(std::u16string(b->getTargetNamespace()), u"urn:second");
  const QelSchSimpleTypeDef* type = firstFieldType(*b);
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->getTypeMask(), 8);
  EXPECT_EQ(b->getElementDecl(u"order", u"urn:first"), nullptr);
}

TEST(SchemaLoader, CleanupUnloadsTheLibraryAndTheNextCallLoadsItAgain) {
  QelXmlDocDef def = makeDef(u"urn:x", 1);
  delete QelXmlSchema::getXmlSchema(def);
  ASSERT_NE(LoadedModel().handle, nullptr);
  qelDomCleanup();
  EXPECT_EQ(LoadedModel().handle, nullptr);
  std::unique_ptr<QelXmlSchema> again(QelXmlSchema::getXmlSchema(def));
  ASSERT_TRUE(again);
  EXPECT_EQ(std::u16string(again->getTargetNamespace()), u"urn:x");
}

TEST(SimpleTypeMask, EveryBitOfBothHalvesCounts) {
  struct Case {
    int64_t typeMask, mask;
    bool expected;
  } cases[] = {
      {0x5, 0, false},                                         // an empty mask never matches
      {0, -1, false},                                          // nor does a type without bits
      {int64_t{1} << 40, int64_t{1} << 40, true},              // upper half only
      {int64_t{1} << 40, 0xFFFFFFFF, false},                   // the lower half does not reach it
      {int64_t{1} << 32 | 0x2, int64_t{1} << 33 | 0x2, true},  // lower half only
      {int64_t{1} << 32, int64_t{1} << 33, false},
      {INT64_MIN, INT64_MIN, true},  // the sign bit
      {0x7, 0x8, false},
  };
  for (const Case& c : cases) {
    QelXmlDocDef def = makeDef(u"urn:mask", c.typeMask);
    std::unique_ptr<QelXmlSchema> schema(QelXmlSchema::getXmlSchema(def));
    const QelSchSimpleTypeDef* type = firstFieldType(*schema);
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->isEqualOrDerivedFrom(c.mask), c.expected) << std::hex << c.typeMask << " & " << c.mask;
  }
}

#elif QELSCHEMA_MODEL == 0

TEST(SchemaLoaderWithoutModel, AFailedLoadIsRaisedAgainToEveryLaterCaller) {
  QelXmlDocDef def = makeDef(u"urn:none", 1);
  std::string message;
  try {
    QelXmlSchema::getXmlSchema(def);
    FAIL() << "no model library is findable";
  } catch (const QelError& e) {
    message = e.getMessage();
  }
  EXPECT_NE(message.find("libtavmdr.so"), std::string::npos) << message;

  // Make the library loadable: a retry would now succeed, so an error on the
  // later calls is the one remembered from the first.
  void* model = dlopen(QELSCHEMA_MODEL_DIR "/libtavmdr.so", RTLD_NOW);
  ASSERT_NE(model, nullptr) << dlerror();
  std::vector<std::string> later(4);
  qeltest::race(4, [&](int i) {
    try {
      delete QelXmlSchema::getXmlSchema(def);
      later[i] = "no error";
    } catch (const QelError& e) {
      later[i] = e.getMessage();
    }
  });
  for (const auto& text : later) EXPECT_EQ(text, message);
  EXPECT_EQ(reinterpret_cast<TavmdrFactoryCalls*>(dlsym(model, "tavmdrFactoryCalls"))(), 0);
  dlclose(model);
}

#elif QELSCHEMA_MODEL == 2

TEST(SchemaLoaderWithoutFactory, RaisesAnErrorOnEveryCallInsteadOfCallingNull) {
  QelXmlDocDef def = makeDef(u"urn:none", 1);
  for (int i = 0; i < 2; ++i) {
    try {
      QelXmlSchema::getXmlSchema(def);
      FAIL() << "the library has no factory";
    } catch (const QelError& e) {
      EXPECT_EQ(e.getRc(), QELRC_DOM_API_ERROR);
      EXPECT_EQ(std::string(e.getMessage()),
                "The schema model library \"libtavmdr.so\" does not export \"tavCreateQelXmlSchema\"");
    }
  }
  LoadedModel model;
  ASSERT_NE(model.handle, nullptr);
  EXPECT_EQ(model.fn<TavmdrLoadCount>("tavmdrLoadCount")(), 1);
}

#endif
