// The schema model facade: the destructors of the abstract model classes, the
// type test on a simple type's bits, and the once-only loader of the model
// library that implements the classes.
#include "qelschema.hpp"

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

// The model library, loaded once, on the first request.
struct ModelLibrary : QelSharedLib {
  ModelLibrary() : QelSharedLib("tavmdr", true, false) {}
};

}  // namespace

QelXmlSchema* QelXmlSchema::getXmlSchema(const QelXmlDocDef& definition) {
  const QelSharedLib& model = qel_detail::OnceOnly<ModelLibrary>::get();
  // The address is looked up on every call. A library without the factory is
  // an error of its own rather than a call through null.
  auto* factory = reinterpret_cast<QelXmlSchemaFactory*>(model.getFuncAddress(s_factoryName));
  if (!factory) {
    qel_detail::raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "getXmlSchema", s_revision,
                      s_sourcePath,
                      "The schema model library \"" + model.getPath() + "\" does not export \"" + s_factoryName + "\"");
  }
  return factory(definition);
}
