/// \file
/// qelschema: the abstract schema model (a schema, its declarations, type
/// definitions, particles, model groups, wildcards and value constraints) and
/// the loader of the model library "tavmdr" that implements it.
///
/// This library implements none of the model's operations. The model library
/// owns what every pure operation below means, returns and accepts; the names
/// here are the ones a schema model uses, and only their number and order per
/// class are fixed by this header. Only the model library, through derived
/// classes, creates, copies or assigns these objects.
///
/// The model library contract: a shared library "libtavmdr.so" that exports,
/// with C linkage,
/// ~~~
/// QelXmlSchema* tavCreateQelXmlSchema(const QelXmlDocDef& definition);
/// ~~~
/// The library is found the way the dynamic loader finds libraries: the
/// directories of LD_LIBRARY_PATH, the run path (RPATH) of the program, the
/// ld.so cache and the system directories. To use a particular copy, put its
/// directory on LD_LIBRARY_PATH, or load it yourself with
/// `dlopen("/path/to/libtavmdr.so", RTLD_NOW)` before the first getXmlSchema
/// call: a library whose SONAME is "libtavmdr.so" that is already loaded is
/// the one used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qeldomapi.hpp"
#include "qelrtdefs.hpp"

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

/// The factory the model library exports as "tavCreateQelXmlSchema": the
/// model of the product's document definition, which this library only
/// passes on.
extern "C" typedef QelXmlSchema* QelXmlSchemaFactory(const QelXmlDocDef& definition);

/// A schema: the model of one document definition.
class QELDOM_API QelXmlSchema {
 public:
  virtual ~QelXmlSchema();  ///< Destroys the object of the model library.

  virtual const XMLCh* getTargetNamespace() const = 0;  ///< The target namespace.
  /// The global element declaration of `name` in namespace `ns`, or null.
  virtual const QelSchElementDecl* getElementDecl(const XMLCh* name, const XMLCh* ns) const = 0;
  /// The global attribute declaration of `name` in namespace `ns`, or null.
  virtual const QelSchAttributeDecl* getAttributeDecl(const XMLCh* name, const XMLCh* ns) const = 0;
  /// The type definition of `name` in namespace `ns`, or null.
  virtual const QelSchTypeDef* getTypeDefinition(const XMLCh* name, const XMLCh* ns) const = 0;
  virtual size_t getElementDeclCount() const = 0;  ///< The number of global element declarations.
  /// The global element declaration at `index`.
  virtual const QelSchElementDecl* getElementDeclAt(size_t index) const = 0;

  /// The model of `definition`, made by the model library's factory on every
  /// call; the caller owns the result (delete it). The library is loaded on
  /// the first call and stays loaded until qelDomCleanup, which unloads it
  /// (destroy every model before that). A library that cannot be loaded
  /// raises its QelError (QELRT_SHLIB_ERROR) to this and every later caller;
  /// a library without the factory raises a QelError with
  /// QELRC_DOM_API_ERROR. Safe to call from any thread; the factory may run
  /// on several at once.
  static QelXmlSchema* getXmlSchema(const QelXmlDocDef& definition);

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelXmlSchema() = default;
  QelXmlSchema(const QelXmlSchema&) {}
  QelXmlSchema& operator=(const QelXmlSchema&) { return *this; }
  ///@}
};

/// What element and attribute declarations share.
class QELDOM_API QelSchDecl {
 public:
  /// What a declaration declares.
  enum Kind { elementDecl = 1, attributeDecl = 2 };

  virtual ~QelSchDecl();  ///< Destroys the object of the model library.

  virtual const XMLCh* getName() const = 0;                    ///< The name.
  virtual const XMLCh* getNamespace() const = 0;               ///< The namespace.
  virtual const QelSchTypeDef* getTypeDefinition() const = 0;  ///< The declared type.
  virtual bool isGlobal() const = 0;  ///< Whether the declaration is global (else local to a type).
  /// The complex type a local declaration belongs to, or null.
  virtual const QelSchComplexTypeDef* getEnclosingTypeDef() const = 0;
  virtual const QelSchValueConstraint* getValueConstraint() const = 0;  ///< The default or fixed value, or null.
  virtual const XMLCh* getAnnotation() const = 0;                       ///< The annotation text, or null.
  virtual const QelXmlSchema* getSchema() const = 0;                    ///< The schema this belongs to.
  virtual const XMLCh* getId() const = 0;                               ///< The id, or null.
  virtual Kind getDeclKind() const = 0;  ///< Whether this declares an element or an attribute.

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelSchDecl() = default;
  QelSchDecl(const QelSchDecl&) {}
  QelSchDecl& operator=(const QelSchDecl&) { return *this; }
  ///@}
};

/// An attribute declaration.
class QELDOM_API QelSchAttributeDecl : public virtual QelSchDecl {
 public:
  ~QelSchAttributeDecl() override;  ///< Destroys the object of the model library.

  virtual bool isRequired() const = 0;  ///< Whether the attribute is required.

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelSchAttributeDecl() = default;
  QelSchAttributeDecl(const QelSchAttributeDecl&) : QelSchDecl() {}
  QelSchAttributeDecl& operator=(const QelSchAttributeDecl&) { return *this; }
  ///@}
};

/// An element declaration.
class QELDOM_API QelSchElementDecl : public virtual QelSchDecl {
 public:
  ~QelSchElementDecl() override;  ///< Destroys the object of the model library.

  virtual bool isNillable() const = 0;                                ///< Whether the element is nillable.
  virtual bool isAbstract() const = 0;                                ///< Whether it is abstract.
  virtual const QelSchElementDecl* getSubstitutionGroup() const = 0;  ///< The head of its substitution group, or null.
  /// The disallowed substitutions (bits the model library assigns).
  virtual unsigned getDisallowedSubstitutions() const = 0;
  /// The substitution group exclusions (bits the model library assigns).
  virtual unsigned getSubstitutionGroupExclusions() const = 0;
  /// The complex type of the element, or null for a simple type.
  virtual const QelSchComplexTypeDef* getComplexTypeDef() const = 0;

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelSchElementDecl() = default;
  QelSchElementDecl(const QelSchElementDecl&) : QelSchDecl() {}
  QelSchElementDecl& operator=(const QelSchElementDecl&) { return *this; }
  ///@}
};

/// What simple and complex type definitions share.
class QELDOM_API QelSchTypeDef {
 public:
  /// Whether a type is simple or complex.
  enum Category { simpleType = 1, complexType = 2 };

  virtual ~QelSchTypeDef();  ///< Destroys the object of the model library.

  virtual const XMLCh* getName() const = 0;              ///< The name.
  virtual const XMLCh* getNamespace() const = 0;         ///< The namespace.
  virtual bool isAnonymous() const = 0;                  ///< Whether the type is anonymous.
  virtual const QelSchTypeDef* getBaseType() const = 0;  ///< The base type, or null.
  virtual Category getTypeCategory() const = 0;          ///< Whether the type is simple or complex.
  virtual unsigned getFinal() const = 0;                 ///< The final derivations (bits the model library assigns).
  /// Whether the type is `ancestor` or derived from it.
  virtual bool derivedFromType(const QelSchTypeDef* ancestor) const = 0;
  virtual const QelXmlSchema* getSchema() const = 0;  ///< The schema this belongs to.

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelSchTypeDef() = default;
  QelSchTypeDef(const QelSchTypeDef&) {}
  QelSchTypeDef& operator=(const QelSchTypeDef&) { return *this; }
  ///@}
};

/// A complex type definition.
class QELDOM_API QelSchComplexTypeDef : public virtual QelSchTypeDef {
 public:
  /// How a complex type derives from its base.
  enum Derivation { extension = 1, restriction = 2 };
  /// The content of a complex type.
  enum ContentType { emptyContent = 0, simpleContent = 1, elementContent = 2, mixedContent = 3 };

  ~QelSchComplexTypeDef() override;  ///< Destroys the object of the model library.

  virtual Derivation getDerivationMethod() const = 0;                          ///< How the type derives from its base.
  virtual bool isAbstract() const = 0;                                         ///< Whether it is abstract.
  virtual ContentType getContentType() const = 0;                              ///< The kind of content.
  virtual const QelSchSimpleTypeDef* getSimpleContentType() const = 0;         ///< The type of simple content, or null.
  virtual const QelSchParticle* getParticle() const = 0;                       ///< The content particle, or null.
  virtual size_t getAttributeUseCount() const = 0;                             ///< The number of attribute uses.
  virtual const QelSchAttributeDecl* getAttributeUse(size_t index) const = 0;  ///< The attribute use at `index`.
  virtual const QelSchWildcard* getAttributeWildcard() const = 0;              ///< The attribute wildcard, or null.
  /// The prohibited substitutions (bits the model library assigns).
  virtual unsigned getProhibitedSubstitutions() const = 0;

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelSchComplexTypeDef() = default;
  QelSchComplexTypeDef(const QelSchComplexTypeDef&) : QelSchTypeDef() {}
  QelSchComplexTypeDef& operator=(const QelSchComplexTypeDef&) { return *this; }
  ///@}
};

/// A simple type definition.
class QELDOM_API QelSchSimpleTypeDef : public virtual QelSchTypeDef {
 public:
  /// The variety of a simple type.
  enum Variety { atomicVariety = 1, listVariety = 2, unionVariety = 3 };

  ~QelSchSimpleTypeDef() override;  ///< Destroys the object of the model library.

  virtual Variety getVariety() const = 0;                           ///< Atomic, list or union.
  virtual const QelSchSimpleTypeDef* getPrimitiveType() const = 0;  ///< The primitive type of an atomic type, or null.
  virtual const QelSchSimpleTypeDef* getItemType() const = 0;       ///< The item type of a list type, or null.
  virtual size_t getMemberTypeCount() const = 0;                    ///< The number of member types of a union type.
  virtual const QelSchSimpleTypeDef* getMemberType(size_t index) const = 0;  ///< The member type at `index`.
  virtual int64_t getTypeMask() const = 0;  ///< The set of type bits of this type (the model library assigns the bits).
  virtual bool isValidValue(const XMLCh* value) const = 0;  ///< Whether `value` is valid for the type.

  /// Whether the type's set of bits (getTypeMask) shares a bit with `mask`;
  /// all 64 bits count.
  bool isEqualOrDerivedFrom(int64_t mask) const;

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelSchSimpleTypeDef() = default;
  QelSchSimpleTypeDef(const QelSchSimpleTypeDef&) : QelSchTypeDef() {}
  QelSchSimpleTypeDef& operator=(const QelSchSimpleTypeDef&) { return *this; }
  ///@}
};

/// A particle: a term with its number of occurrences.
class QELDOM_API QelSchParticle {
 public:
  /// What a particle's term is.
  enum TermType { elementTerm = 1, modelGroupTerm = 2, wildcardTerm = 3 };

  virtual ~QelSchParticle();  ///< Destroys the object of the model library.

  virtual int getMinOccurs() const = 0;      ///< The least number of occurrences.
  virtual int getMaxOccurs() const = 0;      ///< The most occurrences; -1 for unbounded.
  virtual TermType getTermType() const = 0;  ///< Whether the term is an element, a model group or a wildcard.
  virtual const QelSchElementDecl* getElementTerm() const = 0;    ///< The element term, or null.
  virtual const QelSchModelGroup* getModelGroupTerm() const = 0;  ///< The model group term, or null.
  virtual const QelSchWildcard* getWildcardTerm() const = 0;      ///< The wildcard term, or null.

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelSchParticle() = default;
  QelSchParticle(const QelSchParticle&) {}
  QelSchParticle& operator=(const QelSchParticle&) { return *this; }
  ///@}
};

/// A model group: particles under a compositor.
class QELDOM_API QelSchModelGroup {
 public:
  /// How a model group combines its particles.
  enum Compositor { sequenceGroup = 1, choiceGroup = 2, allGroup = 3 };

  virtual ~QelSchModelGroup();  ///< Destroys the object of the model library.

  virtual Compositor getCompositor() const = 0;                       ///< Sequence, choice or all.
  virtual const QelSchParticle* getParticle(size_t index) const = 0;  ///< The particle at `index`; null past the last.

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelSchModelGroup() = default;
  QelSchModelGroup(const QelSchModelGroup&) {}
  QelSchModelGroup& operator=(const QelSchModelGroup&) { return *this; }
  ///@}
};

/// A wildcard: the namespaces whose elements or attributes it allows.
class QELDOM_API QelSchWildcard {
 public:
  /// Which namespaces a wildcard allows.
  enum Constraint { anyNamespace = 1, notNamespace = 2, namespaceList = 3 };
  /// How content a wildcard matches is validated.
  enum ProcessContents { strictContents = 1, laxContents = 2, skipContents = 3 };

  virtual ~QelSchWildcard();  ///< Destroys the object of the model library.

  virtual Constraint getConstraintType() const = 0;  ///< Any namespace, not a namespace, or a list of namespaces.
  virtual const XMLCh* getNamespace(size_t index) const = 0;  ///< The namespace at `index`; null past the last.
  virtual ProcessContents getProcessContents() const = 0;     ///< How matching content is validated.
  virtual bool allowsNamespace(const XMLCh* ns) const = 0;    ///< Whether `ns` matches the wildcard.

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelSchWildcard() = default;
  QelSchWildcard(const QelSchWildcard&) {}
  QelSchWildcard& operator=(const QelSchWildcard&) { return *this; }
  ///@}
};

/// The default or fixed value of a declaration.
class QELDOM_API QelSchValueConstraint {
 public:
  virtual ~QelSchValueConstraint();  ///< Destroys the object of the model library.

  virtual bool isFixed() const = 0;           ///< Whether the value is fixed (else a default).
  virtual const XMLCh* getValue() const = 0;  ///< The value.

 protected:
  ///@{
  /// Only the model library, through derived classes, creates, copies or
  /// assigns; a copy or assignment copies nothing.
  QelSchValueConstraint() = default;
  QelSchValueConstraint(const QelSchValueConstraint&) {}
  QelSchValueConstraint& operator=(const QelSchValueConstraint&) { return *this; }
  ///@}
};
