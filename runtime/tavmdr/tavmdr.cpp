// The schema model library stand-in: its factory builds the schema of a
// QelXmlDocDef (a root element with a sequence of typed fields) and counts
// its loads and calls. Built with TAVMDR_NO_FACTORY it exports no factory.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "docdef.hpp"
#include "qelschema.hpp"

#define TAVMDR_API extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<int> s_loads{0};
std::atomic<int> s_calls{0};
std::atomic<const QelXmlDocDef*> s_lastDefinition{nullptr};

struct LoadCounter {
  LoadCounter() { ++s_loads; }
} s_loadCounter;

const XMLCh* orNull(const std::u16string& s) { return s.empty() ? nullptr : s.c_str(); }
bool same(const XMLCh* a, const std::u16string& b) { return a ? b == a : b.empty(); }

class Schema;

class SimpleType : public QelSchSimpleTypeDef {
 public:
  SimpleType(const Schema* schema, const QelXmlDocDef::SimpleType& def) : m_schema(schema), m_def(def) {}
  const XMLCh* getName() const override { return m_def.name.c_str(); }
  const XMLCh* getNamespace() const override;
  bool isAnonymous() const override { return false; }
  const QelSchTypeDef* getBaseType() const override { return nullptr; }
  Category getTypeCategory() const override { return simpleType; }
  unsigned getFinal() const override { return 0; }
  bool derivedFromType(const QelSchTypeDef* ancestor) const override { return ancestor == this; }
  const QelXmlSchema* getSchema() const override;
  Variety getVariety() const override { return atomicVariety; }
  const QelSchSimpleTypeDef* getPrimitiveType() const override { return this; }
  const QelSchSimpleTypeDef* getItemType() const override { return nullptr; }
  size_t getMemberTypeCount() const override { return 0; }
  const QelSchSimpleTypeDef* getMemberType(size_t) const override { return nullptr; }
  int64_t getTypeMask() const override { return m_def.typeMask; }
  bool isValidValue(const XMLCh* value) const override { return value != nullptr; }

 private:
  const Schema* m_schema;
  QelXmlDocDef::SimpleType m_def;
};

class ValueConstraint : public QelSchValueConstraint {
 public:
  explicit ValueConstraint(const std::u16string& value) : m_value(value) {}
  bool isFixed() const override { return false; }
  const XMLCh* getValue() const override { return m_value.c_str(); }

 private:
  std::u16string m_value;
};

class ComplexType;

class ElementDecl : public QelSchElementDecl {
 public:
  ElementDecl(const Schema* schema, std::u16string name, const QelSchTypeDef* type, const ComplexType* enclosing,
              const std::u16string& defaultValue)
      : m_schema(schema), m_name(std::move(name)), m_type(type), m_enclosing(enclosing) {
    if (!defaultValue.empty()) m_default = std::make_unique<ValueConstraint>(defaultValue);
  }
  const XMLCh* getName() const override { return m_name.c_str(); }
  const XMLCh* getNamespace() const override;
  const QelSchTypeDef* getTypeDefinition() const override { return m_type; }
  bool isGlobal() const override { return m_enclosing == nullptr; }
  const QelSchComplexTypeDef* getEnclosingTypeDef() const override;
  const QelSchValueConstraint* getValueConstraint() const override { return m_default.get(); }
  const XMLCh* getAnnotation() const override { return nullptr; }
  const QelXmlSchema* getSchema() const override;
  const XMLCh* getId() const override { return nullptr; }
  Kind getDeclKind() const override { return elementDecl; }
  bool isNillable() const override { return false; }
  bool isAbstract() const override { return false; }
  const QelSchElementDecl* getSubstitutionGroup() const override { return nullptr; }
  unsigned getDisallowedSubstitutions() const override { return 0; }
  unsigned getSubstitutionGroupExclusions() const override { return 0; }
  const QelSchComplexTypeDef* getComplexTypeDef() const override;

 private:
  const Schema* m_schema;
  std::u16string m_name;
  const QelSchTypeDef* m_type;
  const ComplexType* m_enclosing;
  std::unique_ptr<ValueConstraint> m_default;
};

class Particle : public QelSchParticle {
 public:
  explicit Particle(const ElementDecl* element) : m_element(element) {}
  int getMinOccurs() const override { return 1; }
  int getMaxOccurs() const override { return 1; }
  TermType getTermType() const override { return elementTerm; }
  const QelSchElementDecl* getElementTerm() const override { return m_element; }
  const QelSchModelGroup* getModelGroupTerm() const override { return nullptr; }
  const QelSchWildcard* getWildcardTerm() const override { return nullptr; }

 private:
  const ElementDecl* m_element;
};

class Sequence : public QelSchModelGroup {
 public:
  Compositor getCompositor() const override { return sequenceGroup; }
  const QelSchParticle* getParticle(size_t index) const override {
    return index < m_particles.size() ? m_particles[index].get() : nullptr;
  }
  std::vector<std::unique_ptr<Particle>> m_particles;
};

class GroupParticle : public QelSchParticle {
 public:
  explicit GroupParticle(const Sequence* group) : m_group(group) {}
  int getMinOccurs() const override { return 1; }
  int getMaxOccurs() const override { return 1; }
  TermType getTermType() const override { return modelGroupTerm; }
  const QelSchElementDecl* getElementTerm() const override { return nullptr; }
  const QelSchModelGroup* getModelGroupTerm() const override { return m_group; }
  const QelSchWildcard* getWildcardTerm() const override { return nullptr; }

 private:
  const Sequence* m_group;
};

// The anonymous type of the root element.
class ComplexType : public QelSchComplexTypeDef {
 public:
  explicit ComplexType(const Schema* schema) : m_schema(schema), m_particle(&m_sequence) {}
  const XMLCh* getName() const override { return nullptr; }
  const XMLCh* getNamespace() const override;
  bool isAnonymous() const override { return true; }
  const QelSchTypeDef* getBaseType() const override { return nullptr; }
  Category getTypeCategory() const override { return complexType; }
  unsigned getFinal() const override { return 0; }
  bool derivedFromType(const QelSchTypeDef* ancestor) const override { return ancestor == this; }
  const QelXmlSchema* getSchema() const override;
  Derivation getDerivationMethod() const override { return restriction; }
  bool isAbstract() const override { return false; }
  ContentType getContentType() const override { return elementContent; }
  const QelSchSimpleTypeDef* getSimpleContentType() const override { return nullptr; }
  const QelSchParticle* getParticle() const override { return &m_particle; }
  size_t getAttributeUseCount() const override { return 0; }
  const QelSchAttributeDecl* getAttributeUse(size_t) const override { return nullptr; }
  const QelSchWildcard* getAttributeWildcard() const override { return nullptr; }
  unsigned getProhibitedSubstitutions() const override { return 0; }

  Sequence m_sequence;
  std::vector<std::unique_ptr<ElementDecl>> m_fields;

 private:
  const Schema* m_schema;
  GroupParticle m_particle;
};

class Schema : public QelXmlSchema {
 public:
  explicit Schema(const QelXmlDocDef& def) : m_namespace(def.targetNamespace), m_rootType(this) {
    for (const auto& t : def.types) m_types.push_back(std::make_unique<SimpleType>(this, t));
    for (const auto& f : def.fields) {
      auto field = std::make_unique<ElementDecl>(this, f.name, findType(f.typeName), &m_rootType, f.defaultValue);
      m_rootType.m_sequence.m_particles.push_back(std::make_unique<Particle>(field.get()));
      m_rootType.m_fields.push_back(std::move(field));
    }
    m_root = std::make_unique<ElementDecl>(this, def.rootName, &m_rootType, nullptr, u"");
  }
  const XMLCh* getTargetNamespace() const override { return orNull(m_namespace); }
  const QelSchElementDecl* getElementDecl(const XMLCh* name, const XMLCh* ns) const override {
    return same(ns, m_namespace) && name && m_root->getName() == std::u16string(name) ? m_root.get() : nullptr;
  }
  const QelSchAttributeDecl* getAttributeDecl(const XMLCh*, const XMLCh*) const override { return nullptr; }
  const QelSchTypeDef* getTypeDefinition(const XMLCh* name, const XMLCh* ns) const override {
    return same(ns, m_namespace) && name ? findType(name) : nullptr;
  }
  size_t getElementDeclCount() const override { return 1; }
  const QelSchElementDecl* getElementDeclAt(size_t index) const override { return index == 0 ? m_root.get() : nullptr; }

  const SimpleType* findType(const std::u16string& name) const {
    for (const auto& t : m_types)
      if (name == t->getName()) return t.get();
    return nullptr;
  }
  const std::u16string m_namespace;

 private:
  std::vector<std::unique_ptr<SimpleType>> m_types;
  ComplexType m_rootType;
  std::unique_ptr<ElementDecl> m_root;
};

const XMLCh* SimpleType::getNamespace() const { return m_schema->getTargetNamespace(); }
const QelXmlSchema* SimpleType::getSchema() const { return m_schema; }
const XMLCh* ElementDecl::getNamespace() const { return isGlobal() ? m_schema->getTargetNamespace() : nullptr; }
const QelSchComplexTypeDef* ElementDecl::getEnclosingTypeDef() const { return m_enclosing; }
const QelXmlSchema* ElementDecl::getSchema() const { return m_schema; }
const QelSchComplexTypeDef* ElementDecl::getComplexTypeDef() const {
  return dynamic_cast<const QelSchComplexTypeDef*>(m_type);
}
const XMLCh* ComplexType::getNamespace() const { return m_schema->getTargetNamespace(); }
const QelXmlSchema* ComplexType::getSchema() const { return m_schema; }

}  // namespace

#ifndef TAVMDR_NO_FACTORY
TAVMDR_API QelXmlSchema* tavCreateQelXmlSchema(const QelXmlDocDef& definition) {
  ++s_calls;
  s_lastDefinition = &definition;
  return new Schema(definition);
}
#endif

TAVMDR_API int tavmdrLoadCount() { return s_loads; }
TAVMDR_API int tavmdrFactoryCalls() { return s_calls; }
TAVMDR_API const QelXmlDocDef* tavmdrLastDefinition() { return s_lastDefinition; }
