// The schema model facade: the destructors of the abstract model classes, the
// type test on a simple type's bits, and the once-only loader of the model
// library that implements the classes.
#include "qelschema.hpp"

#include <mutex>
#include <string>

#include "qelframe.hpp"

// No function of this file is traced; its errors name the file.
namespace {
constexpr const char* s_sourcePath = "qeldom/qelschema";
constexpr const char* s_revision = "$Revision: 1.3 $";
}  // namespace

QelXmlSchema::~QelXmlSchema() = default;
QelSchDecl::~QelSchDecl() = default;
QelSchAttributeDecl::~QelSchAttributeDecl() = default;
QelSchElementDecl::~QelSchElementDecl() = default;
QelSchTypeDef::~QelSchTypeDef() = default;
QelSchComplexTypeDef::~QelSchComplexTypeDef() = default;
QelSchSimpleTypeDef::~QelSchSimpleTypeDef() = default;
QelSchParticle::~QelSchParticle() = default;
QelSchModelGroup::~QelSchModelGroup() = default;
QelSchWildcard::~QelSchWildcard() = default;
QelSchValueConstraint::~QelSchValueConstraint() = default;

bool QelSchSimpleTypeDef::isEqualOrDerivedFrom(int64_t mask) const { return (getTypeMask() & mask) != 0; }

// --- the model library ---------------------------------------------------------------

namespace {

constexpr const char* s_factoryName = "tavCreateQelXmlSchema";

QelPoolCtrl s_modelSlot;
std::mutex s_modelLock;  // constant-initialised: ready when the library is loaded

void modelCleanup() { delete static_cast<QelSharedLib*>(s_modelSlot.release()); }

void modelInit() {
  if (s_modelSlot.state() != 0) return;
  try {
    QelSharedLib* model = new QelSharedLib("tavmdr", true, false);
    s_modelSlot.initOk(model, modelCleanup, qel_detail::poolList(), 0);
  } catch (const QelError& e) {
    s_modelSlot.initError(e, modelCleanup, qel_detail::poolList(), 0);
  }
}

}  // namespace

QelXmlSchema* QelXmlSchema::getXmlSchema(const QelXmlDocDef& definition) {
  auto* model = static_cast<QelSharedLib*>(s_modelSlot.get(s_modelLock, modelInit));
  // The address is looked up on every call. A library without the factory is
  // an error of its own rather than a call through null.
  auto* factory = reinterpret_cast<QelXmlSchemaFactory*>(model->getFuncAddress(s_factoryName));
  if (!factory) {
    qel_detail::raise(
        nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "getXmlSchema", s_revision, s_sourcePath,
        "The schema model library \"" + model->getPath() + "\" does not export \"" + s_factoryName + "\"");
  }
  return factory(definition);
}
