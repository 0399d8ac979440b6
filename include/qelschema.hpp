// qelschema: the abstract schema model (a schema, its declarations, type
// definitions, particles, model groups, wildcards and value constraints) and
// the loader of the model library "tavmdr" that implements it.
//
// This library implements none of the model's operations. The model library
// owns what every pure operation below means, returns and accepts; the names
// here are the ones a schema model uses, and only their number and order per
// class are fixed by this header. Only the model library, through derived
// classes, creates, copies or assigns these objects.
//
// The model library contract: a shared library "libtavmdr.so" that exports,
// with C linkage,
//   QelXmlSchema* tavCreateQelXmlSchema(const QelXmlDocDef& definition);
// The library is found the way the dynamic loader finds libraries: the
// directories of LD_LIBRARY_PATH, the run path (RPATH) of the program, the
// ld.so cache and the system directories. To use a particular copy, put its
// directory on LD_LIBRARY_PATH, or load it yourself with
// dlopen("/path/to/libtavmdr.so", RTLD_NOW) before the first getXmlSchema
// call: a library whose SONAME is "libtavmdr.so" that is already loaded is
// the one used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qeldomapi.hpp"
#include "qelrtdefs.hpp"

// The product's document definition; this library only passes it on.
class QelXmlDocDef;

class QelXmlSchema;
class QelSchDecl;
class QelSchAttributeDecl;
class QelSchElementDecl;
class QelSchTypeDef;
class QelSchComplexTypeDef;
class QelSchSimpleTypeDef;
class QelSchParticle;
class QelSchModelGroup;
class QelSchWildcard;
class QelSchValueConstraint;

// The factory the model library exports as "tavCreateQelXmlSchema".
extern "C" typedef QelXmlSchema* QelXmlSchemaFactory(const QelXmlDocDef& definition);

// A schema: the model of one document definition.
class QELDOM_API QelXmlSchema {
 public:
  virtual ~QelXmlSchema();

  virtual const XMLCh* getTargetNamespace() const = 0;
  virtual const QelSchElementDecl* getElementDecl(const XMLCh* name, const XMLCh* ns) const = 0;
  virtual const QelSchAttributeDecl* getAttributeDecl(const XMLCh* name, const XMLCh* ns) const = 0;
  virtual const QelSchTypeDef* getTypeDefinition(const XMLCh* name, const XMLCh* ns) const = 0;
  virtual size_t getElementDeclCount() const = 0;
  virtual const QelSchElementDecl* getElementDeclAt(size_t index) const = 0;

  // The model of the definition, made by the model library's factory on every
  // call; the library is loaded on the first call and stays loaded until
  // qelDomCleanup, which unloads it (destroy every model before that). A
  // library that cannot be loaded raises its QelError to this and every later
  // caller; a library without the factory raises a QelError with
  // QELRC_DOM_API_ERROR. The caller owns the result (delete it).
  static QelXmlSchema* getXmlSchema(const QelXmlDocDef& definition);

 protected:
  QelXmlSchema() = default;
  QelXmlSchema(const QelXmlSchema&) {}
  QelXmlSchema& operator=(const QelXmlSchema&) { return *this; }
};

// What element and attribute declarations share.
class QELDOM_API QelSchDecl {
 public:
  enum Kind { elementDecl = 1, attributeDecl = 2 };

  virtual ~QelSchDecl();

  virtual const XMLCh* getName() const = 0;
  virtual const XMLCh* getNamespace() const = 0;
  virtual const QelSchTypeDef* getTypeDefinition() const = 0;
  virtual bool isGlobal() const = 0;
  virtual const QelSchComplexTypeDef* getEnclosingTypeDef() const = 0;
  virtual const QelSchValueConstraint* getValueConstraint() const = 0;
  virtual const XMLCh* getAnnotation() const = 0;
  virtual const QelXmlSchema* getSchema() const = 0;
  virtual const XMLCh* getId() const = 0;
  virtual Kind getDeclKind() const = 0;

 protected:
  QelSchDecl() = default;
  QelSchDecl(const QelSchDecl&) {}
  QelSchDecl& operator=(const QelSchDecl&) { return *this; }
};

class QELDOM_API QelSchAttributeDecl : public virtual QelSchDecl {
 public:
  ~QelSchAttributeDecl() override;

  virtual bool isRequired() const = 0;

 protected:
  QelSchAttributeDecl() = default;
  QelSchAttributeDecl(const QelSchAttributeDecl&) : QelSchDecl() {}
  QelSchAttributeDecl& operator=(const QelSchAttributeDecl&) { return *this; }
};

class QELDOM_API QelSchElementDecl : public virtual QelSchDecl {
 public:
  ~QelSchElementDecl() override;

  virtual bool isNillable() const = 0;
  virtual bool isAbstract() const = 0;
  virtual const QelSchElementDecl* getSubstitutionGroup() const = 0;
  virtual unsigned getDisallowedSubstitutions() const = 0;
  virtual unsigned getSubstitutionGroupExclusions() const = 0;
  virtual const QelSchComplexTypeDef* getComplexTypeDef() const = 0;

 protected:
  QelSchElementDecl() = default;
  QelSchElementDecl(const QelSchElementDecl&) : QelSchDecl() {}
  QelSchElementDecl& operator=(const QelSchElementDecl&) { return *this; }
};

// What simple and complex type definitions share.
class QELDOM_API QelSchTypeDef {
 public:
  enum Category { simpleType = 1, complexType = 2 };

  virtual ~QelSchTypeDef();

  virtual const XMLCh* getName() const = 0;
  virtual const XMLCh* getNamespace() const = 0;
  virtual bool isAnonymous() const = 0;
  virtual const QelSchTypeDef* getBaseType() const = 0;
  virtual Category getTypeCategory() const = 0;
  virtual unsigned getFinal() const = 0;
  virtual bool derivedFromType(const QelSchTypeDef* ancestor) const = 0;
  virtual const QelXmlSchema* getSchema() const = 0;

 protected:
  QelSchTypeDef() = default;
  QelSchTypeDef(const QelSchTypeDef&) {}
  QelSchTypeDef& operator=(const QelSchTypeDef&) { return *this; }
};

class QELDOM_API QelSchComplexTypeDef : public virtual QelSchTypeDef {
 public:
  enum Derivation { extension = 1, restriction = 2 };
  enum ContentType { emptyContent = 0, simpleContent = 1, elementContent = 2, mixedContent = 3 };

  ~QelSchComplexTypeDef() override;

  virtual Derivation getDerivationMethod() const = 0;
  virtual bool isAbstract() const = 0;
  virtual ContentType getContentType() const = 0;
  virtual const QelSchSimpleTypeDef* getSimpleContentType() const = 0;
  virtual const QelSchParticle* getParticle() const = 0;
  virtual size_t getAttributeUseCount() const = 0;
  virtual const QelSchAttributeDecl* getAttributeUse(size_t index) const = 0;
  virtual const QelSchWildcard* getAttributeWildcard() const = 0;
  virtual unsigned getProhibitedSubstitutions() const = 0;

 protected:
  QelSchComplexTypeDef() = default;
  QelSchComplexTypeDef(const QelSchComplexTypeDef&) : QelSchTypeDef() {}
  QelSchComplexTypeDef& operator=(const QelSchComplexTypeDef&) { return *this; }
};

class QELDOM_API QelSchSimpleTypeDef : public virtual QelSchTypeDef {
 public:
  enum Variety { atomicVariety = 1, listVariety = 2, unionVariety = 3 };

  ~QelSchSimpleTypeDef() override;

  virtual Variety getVariety() const = 0;
  virtual const QelSchSimpleTypeDef* getPrimitiveType() const = 0;
  virtual const QelSchSimpleTypeDef* getItemType() const = 0;
  virtual size_t getMemberTypeCount() const = 0;
  virtual const QelSchSimpleTypeDef* getMemberType(size_t index) const = 0;
  // The set of type bits of this type (the model library assigns the bits).
  virtual int64_t getTypeMask() const = 0;
  virtual bool isValidValue(const XMLCh* value) const = 0;

  // True when the type shares a bit with the mask (all 64 bits count).
  bool isEqualOrDerivedFrom(int64_t mask) const;

 protected:
  QelSchSimpleTypeDef() = default;
  QelSchSimpleTypeDef(const QelSchSimpleTypeDef&) : QelSchTypeDef() {}
  QelSchSimpleTypeDef& operator=(const QelSchSimpleTypeDef&) { return *this; }
};

class QELDOM_API QelSchParticle {
 public:
  enum TermType { elementTerm = 1, modelGroupTerm = 2, wildcardTerm = 3 };

  virtual ~QelSchParticle();

  virtual int getMinOccurs() const = 0;
  virtual int getMaxOccurs() const = 0;  // -1: unbounded
  virtual TermType getTermType() const = 0;
  virtual const QelSchElementDecl* getElementTerm() const = 0;
  virtual const QelSchModelGroup* getModelGroupTerm() const = 0;
  virtual const QelSchWildcard* getWildcardTerm() const = 0;

 protected:
  QelSchParticle() = default;
  QelSchParticle(const QelSchParticle&) {}
  QelSchParticle& operator=(const QelSchParticle&) { return *this; }
};

class QELDOM_API QelSchModelGroup {
 public:
  enum Compositor { sequenceGroup = 1, choiceGroup = 2, allGroup = 3 };

  virtual ~QelSchModelGroup();

  virtual Compositor getCompositor() const = 0;
  virtual const QelSchParticle* getParticle(size_t index) const = 0;  // null past the last

 protected:
  QelSchModelGroup() = default;
  QelSchModelGroup(const QelSchModelGroup&) {}
  QelSchModelGroup& operator=(const QelSchModelGroup&) { return *this; }
};

class QELDOM_API QelSchWildcard {
 public:
  enum Constraint { anyNamespace = 1, notNamespace = 2, namespaceList = 3 };
  enum ProcessContents { strictContents = 1, laxContents = 2, skipContents = 3 };

  virtual ~QelSchWildcard();

  virtual Constraint getConstraintType() const = 0;
  virtual const XMLCh* getNamespace(size_t index) const = 0;  // null past the last
  virtual ProcessContents getProcessContents() const = 0;
  virtual bool allowsNamespace(const XMLCh* ns) const = 0;

 protected:
  QelSchWildcard() = default;
  QelSchWildcard(const QelSchWildcard&) {}
  QelSchWildcard& operator=(const QelSchWildcard&) { return *this; }
};

class QELDOM_API QelSchValueConstraint {
 public:
  virtual ~QelSchValueConstraint();

  virtual bool isFixed() const = 0;
  virtual const XMLCh* getValue() const = 0;

 protected:
  QelSchValueConstraint() = default;
  QelSchValueConstraint(const QelSchValueConstraint&) {}
  QelSchValueConstraint& operator=(const QelSchValueConstraint&) { return *this; }
};
