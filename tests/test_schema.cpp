// The schema model loader and the simple type's mask test, against the model
// library stand-in runtime/tavmdr (concurrent first loads are the stress
// test's). The loader's slot keeps its library or its failure for the life of
// the process, so the loader's cases run in a fresh process that finds the
// library through LD_LIBRARY_PATH: the stand-in, a copy without its factory,
// or none.
#include <dlfcn.h>

#include "docdef.hpp"
#include "qelschema.hpp"
#include "test_support.hpp"

using namespace qeltest;

namespace {

// A root element "order" with one field of the simple type "amount".
QelXmlDocDef makeDef(const std::u16string& ns, int64_t mask) {
  return {ns, u"order", {{u"amount", mask}}, {{u"total", u"amount", u"0"}}};
}

// A counter of the model library, if it is loaded.
int counter(const char* name) {
  void* model = dlopen("libtavmdr.so", RTLD_NOW | RTLD_NOLOAD);
  const int value = model ? reinterpret_cast<int (*)()>(dlsym(model, name))() : -1;
  if (model) dlclose(model);
  return value;
}

TEST(SchemaLoader, LoadsOnceUntilTheCleanupAndHandsEachCallerItsDefinition) {
  setenv("LD_LIBRARY_PATH", QELSCHEMA_MODEL_DIR, 1);
  inFreshProcess([] {
    QelXmlDocDef first = makeDef(u"urn:first", 4), second = makeDef(u"urn:second", 8);
    std::unique_ptr<QelXmlSchema> a(QelXmlSchema::getXmlSchema(first)), b(QelXmlSchema::getXmlSchema(second));
    EXPECT_EQ(std::make_pair(counter("tavmdrLoadCount"), counter("tavmdrFactoryCalls")), std::make_pair(1, 2));
    EXPECT_EQ(std::u16string(a->getTargetNamespace()) + b->getTargetNamespace(), u"urn:firsturn:second");
    a.reset(), b.reset();
    qelDomCleanup();
    EXPECT_EQ(counter("tavmdrLoadCount"), -1) << "still loaded after the clean-up";
    a.reset(QelXmlSchema::getXmlSchema(first));
    EXPECT_EQ(std::u16string(a->getTargetNamespace()), u"urn:first");
  });
}

// No model library, or one without the factory: the first call fails, and
// so does every later one with the same error, also once a model library
// with a factory is loaded.
TEST(SchemaLoader, AFailureIsRaisedAgainToEveryLaterCaller) {
  const std::pair<const char*, const char*> rows[] = {
      {"", "libtavmdr.so"},
      {QELSCHEMA_NOFACTORY_DIR, "The schema model library \"libtavmdr.so\" does not export \"tavCreateQelXmlSchema\""}};
  for (const auto& [dir, piece] : rows) {
    setenv("LD_LIBRARY_PATH", dir, 1);
    inFreshProcess([piece = piece] {
      const auto call = [] { delete QelXmlSchema::getXmlSchema(makeDef(u"urn:none", 1)); };
      const std::string message = errorOf(call).getMessage();
      EXPECT_NE(message.find(piece), std::string::npos) << message;
      ASSERT_NE(dlopen(QELSCHEMA_MODEL_DIR "/libtavmdr.so", RTLD_NOW), nullptr) << dlerror();
      std::vector<std::string> later(4);
      race(4, [&](int i) { later[i] = errorOf(call).getMessage(); });
      EXPECT_EQ(later, std::vector<std::string>(4, message));
    });
  }
}

// Any bit in common, in either half of the 64 bits.
TEST(SimpleType, MatchesAMaskWithWhichItSharesABit) {
  ASSERT_NE(dlopen(QELSCHEMA_MODEL_DIR "/libtavmdr.so", RTLD_NOW), nullptr) << dlerror();
  const std::tuple<int64_t, int64_t, bool> rows[] = {{0x5, 0, false},
                                                     {0x7, 0x8, false},
                                                     {INT64_MIN, INT64_MIN, true},
                                                     {int64_t{1} << 40, int64_t{1} << 40, true},
                                                     {int64_t{1} << 40, 0xFFFFFFFF, false}};
  for (const auto& [typeMask, mask, expected] : rows) {
    std::unique_ptr<QelXmlSchema> schema(QelXmlSchema::getXmlSchema(makeDef(u"urn:mask", typeMask)));
    auto* type = dynamic_cast<const QelSchSimpleTypeDef*>(schema->getTypeDefinition(u"amount", u"urn:mask"));
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->isEqualOrDerivedFrom(mask), expected) << std::hex << typeMask << " & " << mask;
  }
}

}  // namespace
