// Reading the internal subset as Xerces-C rebuilds it, and turning it into
// pieces that write each declaration in a form that parses back to it.
//
// The rebuilt text follows a small grammar of its own (AbstractDOMParser's
// declaration events): white space as it came, "<!-- text -->",
// "<?target data?>", "<!ELEMENT name model>", "<!ATTLIST name" with its
// definitions and ">" (each definition: name, type or "(a|b)", "#REQUIRED",
// "#IMPLIED" or "#FIXED", then "\"value\""), "<!ENTITY name" with
// " PUBLIC \"p\"", " SYSTEM \"s\"", " NDATA n" and " \"value\"", and
// "<!NOTATION name" with " PUBLIC \"p\" \"s\"" or " SYSTEM \"s\"". Values and
// system identifiers may hold the double quote that ends them, so where one
// ends is found by reading the rest: a literal ends at the first closing
// quote after which the rest of the text reads, a declared name must be one
// of the document type's entities or notations, and without an external
// subset each of those must be declared. A value that holds a quote and
// ">" (a declaration in a parameter entity's value, for one) is read whole,
// since the rest of the text cannot continue after the quote inside it. Only
// a value holding an unclosed declaration of a name that is declared anyway
// would be read otherwise: its text reads as that declaration. A text that
// does not read is refused.
#include "qelsubset.hpp"

#include <algorithm>
#include <sstream>
#include <string_view>
#include <unordered_set>
#include <xercesc/dom/DOM.hpp>

#include "qeldstr.hpp"
#include "qelframe.hpp"

XERCES_CPP_NAMESPACE_USE

namespace qel_detail {
namespace {

// Nothing here is traced: the source is named only in the errors it raises.
constexpr const char* s_sourcePath = "qeldom/qelsubset";
constexpr const char* s_revision = "$Revision: 1.1 $";

using Text = std::u16string;

[[noreturn]] void refuse(const DOMNode* node, const std::string& message) {
  std::ostringstream os;
  ::operator<<(os, node);  // the library's node text; qel_detail's own operator<< hides it here
  raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelDomWriter::QelDomWriter", s_revision,
        s_sourcePath, message + ": " + os.str());
}

// A range of the rebuilt text.
struct Span {
  size_t at = 0, length = 0;
  bool present = false;
};

enum State : unsigned char { top, inAttlist };

// One unit of the rebuilt text: white space, a comment, a processing
// instruction, a declaration, or a part of an attribute-list declaration.
struct Unit {
  enum Type { space, comment, pi, element, attlistStart, attdef, attlistEnd, entity, notation } type = space;
  size_t start = 0, end = 0;
  State next = top;  // where the reading continues after the unit
  Span name, text, publicId, systemId, notationName, value, defaultKind;
};

bool isSpace(XMLCh c) { return c == 0x20 || c == 0x9 || c == 0xA || c == 0xD; }

const XMLCh* const s_attTypes[] = {u"CDATA",    u"IDREFS",  u"IDREF",    u"ID",      u"ENTITY",
                                   u"ENTITIES", u"NMTOKEN", u"NMTOKENS", u"NOTATION"};
const XMLCh* const s_defaultKinds[] = {u"#REQUIRED", u"#IMPLIED", u"#FIXED"};

class Reader {
 public:
  Reader(const Text& text, const DOMDocumentType* docType)
      : m_s(text), m_docType(docType), m_reads(2 * (text.size() + 1), s_unknown) {}

  // The units of the reading: each literal ends at the first closing quote
  // after which the rest of the text reads.
  std::vector<Unit> read() {
    if (!reads(Node{0, top}))
      refuse(m_docType, "The internal subset cannot be read at position " + std::to_string(m_furthest));
    std::vector<Unit> units;
    Unit unit;
    for (Node node{0, top}; node.pos < m_s.size(); node = Node{unit.end, unit.next}) {
      size_t cursor = 0;
      while (next(node, cursor, unit) && m_reads[key(Node{unit.end, unit.next})] != 1) {
      }
      units.push_back(unit);
    }
    checkCoverage(units);
    return units;
  }

 private:
  struct Node {
    size_t pos;
    State state;
  };
  static constexpr signed char s_unknown = -1;
  size_t key(const Node& node) const { return 2 * node.pos + node.state; }

  // Whether the rest of the text reads from `node`: a depth-first search that
  // tries the ways to read each unit in order, the shortest literal first,
  // and remembers each position's answer. Its own stack keeps the depth of a
  // long subset off the call stack.
  bool reads(const Node& start) {
    struct Frame {
      Node node;
      size_t cursor;  // how far the ways to read the unit here were tried
      Node pending;   // where the way being decided continues
      bool waiting;
    };
    std::vector<Frame> stack{Frame{start, 0, start, false}};
    Unit unit;
    while (!stack.empty()) {
      Frame& f = stack.back();
      signed char& answer = m_reads[key(f.node)];
      if (f.node.pos == m_s.size()) answer = f.node.state == top;
      if (f.waiting && m_reads[key(f.pending)] == 1) answer = 1;
      f.waiting = false;
      if (answer != s_unknown) {
        stack.pop_back();
        continue;
      }
      m_furthest = std::max(m_furthest, f.node.pos);
      if (!next(f.node, f.cursor, unit)) {
        answer = 0;
        continue;
      }
      f.pending = Node{unit.end, unit.next};
      f.waiting = true;
      if (m_reads[key(f.pending)] == s_unknown) stack.push_back(Frame{f.pending, 0, f.pending, false});
    }
    return m_reads[key(start)] == 1;
  }

  bool at(size_t pos, const XMLCh* literal) const {
    const size_t length = std::char_traits<XMLCh>::length(literal);
    return pos <= m_s.size() && m_s.size() - pos >= length &&
           std::char_traits<XMLCh>::compare(m_s.data() + pos, literal, length) == 0;
  }
  size_t skip(size_t pos, const XMLCh* literal) const { return pos + std::char_traits<XMLCh>::length(literal); }
  XMLCh charAt(size_t pos) const { return pos < m_s.size() ? m_s[pos] : 0; }

  // A name, an nmtoken or a PI target: up to white space or a delimiter.
  Span name(size_t pos) const {
    static constexpr XMLCh s_delimiters[] = u">\"'()|";
    size_t end = pos;
    while (end < m_s.size() && !isSpace(m_s[end]) && !std::char_traits<XMLCh>::find(s_delimiters, 6, m_s[end])) ++end;
    return Span{pos, end - pos, end > pos};
  }
  bool declared(const DOMNamedNodeMap* map, const Span& s) const {
    m_name.assign(m_s, s.at, s.length);
    return map && map->getNamedItem(m_name.c_str());
  }

  // The next double quote from `cursor` (at least `open`) that may end a
  // literal, as `follows` tells from the text after it; the cursor moves past
  // it. A text with so many candidates that reading it would take long is
  // refused.
  template <typename Follows>
  bool closingQuote(size_t open, size_t& cursor, size_t& quote, Follows follows) {
    for (size_t q = m_s.find(u'"', std::max(open, cursor)); q != Text::npos; q = m_s.find(u'"', q + 1)) {
      if (++m_work > 16 * m_s.size() + 1000000)
        refuse(m_docType, "The internal subset reads in too many ways to be written");
      if (follows(q + 1)) {
        cursor = q + 1;
        quote = q;
        return true;
      }
    }
    cursor = Text::npos;
    return false;
  }
  // A unit that reads in one way only: the first time.
  static bool once(size_t& cursor) {
    const bool first = cursor == 0;
    cursor = Text::npos;
    return first;
  }
  static bool done(Unit& u, size_t end, State next) {
    u.end = end;
    u.next = next;
    return true;
  }

  // Without an external subset every entity and notation of the document
  // type is declared in the internal subset: a reading that leaves one out
  // is not the one Xerces-C wrote.
  void checkCoverage(const std::vector<Unit>& units) const {
    if (!QelDomStr::empty(m_docType->getSystemId())) return;
    std::unordered_set<std::u16string_view> names[2];  // of entities, of notations
    for (const Unit& u : units)
      if (u.type == Unit::entity || u.type == Unit::notation)
        names[u.type == Unit::notation].insert(std::u16string_view(m_s).substr(u.name.at, u.name.length));
    for (const DOMNamedNodeMap* map : {m_docType->getEntities(), m_docType->getNotations()})
      for (XMLSize_t i = 0; map && i < map->getLength(); ++i) {
        const XMLCh* name = map->item(i)->getNodeName();
        if (!names[map == m_docType->getNotations()].count(name))
          refuse(m_docType, "The internal subset reads without a declaration of " + qelToMbcs(name) +
                                ", which the document type holds");
      }
  }

  // The next way to read a unit at `node`, after those `cursor` has passed.
  bool next(const Node& node, size_t& cursor, Unit& u) {
    const size_t pos = node.pos;
    u = Unit();
    u.start = pos;
    if (cursor == Text::npos) return false;
    if (isSpace(m_s[pos])) {
      size_t end = pos;
      while (end < m_s.size() && isSpace(m_s[end])) ++end;
      u.type = Unit::space;
      return once(cursor) && done(u, end, node.state);
    }
    if (node.state == inAttlist) {
      u.type = Unit::attlistEnd;
      if (m_s[pos] == u'>') return once(cursor) && done(u, pos + 1, top);
      return attributeDefinition(pos, cursor, u);
    }
    if (m_s[pos] != u'<') return false;
    if (at(pos, u"<!-- ")) {
      // The text holds no "--": the first one ends it, after the padding blank.
      const size_t dashes = m_s.find(u"--", pos + 5);
      u.type = Unit::comment;
      u.text = Span{pos + 5, dashes - 1 - (pos + 5), true};
      return dashes != Text::npos && dashes >= pos + 6 && m_s[dashes - 1] == u' ' && charAt(dashes + 2) == u'>' &&
             once(cursor) && done(u, dashes + 3, top);
    }
    if (at(pos, u"<?")) {
      u.type = Unit::pi;
      u.name = name(pos + 2);
      const size_t data = u.name.at + u.name.length + 1;
      const size_t end = m_s.find(u"?>", data - 1);
      u.text = Span{data, end - data, true};
      return u.name.present && end != Text::npos && charAt(data - 1) == u' ' && once(cursor) && done(u, end + 2, top);
    }
    if (at(pos, u"<!ELEMENT ")) {
      u.type = Unit::element;
      u.name = name(skip(pos, u"<!ELEMENT "));
      const size_t p = u.name.at + u.name.length;
      const size_t end = m_s.find(u'>', p);
      if (charAt(p) == u' ') u.text = Span{p + 1, end - p - 1, true};
      return u.name.present && end != Text::npos && (charAt(p) == u' ' || p == end) && once(cursor) &&
             done(u, end + 1, top);
    }
    if (at(pos, u"<!ATTLIST ")) {
      u.type = Unit::attlistStart;
      u.name = name(skip(pos, u"<!ATTLIST "));
      return u.name.present && once(cursor) && done(u, u.name.at + u.name.length, inAttlist);
    }
    if (at(pos, u"<!ENTITY ")) return entityDeclaration(pos, cursor, u);
    if (at(pos, u"<!NOTATION ")) return notationDeclaration(pos, cursor, u);
    return false;
  }

  // name, a type keyword or "(a|b)", a default keyword, a default value.
  bool attributeDefinition(size_t pos, size_t& cursor, Unit& u) {
    u.type = Unit::attdef;
    u.name = name(pos);
    size_t p = u.name.at + u.name.length;
    if (!u.name.present || charAt(p) != u' ') return false;
    ++p;
    auto ends = [&](size_t q) { return q >= m_s.size() || isSpace(m_s[q]) || m_s[q] == u'>'; };
    const size_t type = p;
    if (charAt(p) == u'(') {
      const size_t close = m_s.find(u')', p);
      if (close == Text::npos) return false;
      p = close + 1;
    } else {
      const XMLCh* const* keyword = std::find_if(std::begin(s_attTypes), std::end(s_attTypes),
                                                 [&](const XMLCh* t) { return at(p, t) && ends(skip(p, t)); });
      if (keyword == std::end(s_attTypes)) return false;
      p = skip(p, *keyword);
    }
    u.text = Span{type, p - type, true};
    if (charAt(p) == u' ' && charAt(p + 1) == u'#') {
      const XMLCh* const* kind = std::find_if(std::begin(s_defaultKinds), std::end(s_defaultKinds),
                                              [&](const XMLCh* k) { return at(p + 1, k) && ends(skip(p + 1, k)); });
      if (kind == std::end(s_defaultKinds)) return false;
      u.defaultKind = Span{p + 1, std::char_traits<XMLCh>::length(*kind), true};
      p = skip(p + 1, *kind);
      if (*kind != s_defaultKinds[2]) return once(cursor) && done(u, p, inAttlist);  // no value
    }
    size_t q;
    if (!at(p, u" \"") || !closingQuote(p + 2, cursor, q, ends)) return false;
    u.value = Span{p + 2, q - p - 2, true};
    return done(u, q + 1, inAttlist);
  }

  bool entityDeclaration(size_t pos, size_t& cursor, Unit& u) {
    u.type = Unit::entity;
    u.name = name(skip(pos, u"<!ENTITY "));
    if (!u.name.present || !declared(m_docType->getEntities(), u.name)) return false;
    size_t p = u.name.at + u.name.length;
    if (at(p, u" PUBLIC \"")) {
      const size_t open = skip(p, u" PUBLIC \"");
      const size_t close = m_s.find(u'"', open);
      if (close == Text::npos) return false;
      u.publicId = Span{open, close - open, true};
      p = close + 1;
      if (!at(p, u" SYSTEM \"")) return false;
    }
    size_t q;
    if (at(p, u" SYSTEM \"")) {
      const size_t open = skip(p, u" SYSTEM \"");
      while (
          closingQuote(open, cursor, q, [&](size_t after) { return charAt(after) == u'>' || at(after, u" NDATA "); })) {
        u.systemId = Span{open, q - open, true};
        if (charAt(q + 1) == u'>') return done(u, q + 2, top);
        u.notationName = name(skip(q + 1, u" NDATA "));
        const size_t end = u.notationName.at + u.notationName.length;
        if (u.notationName.present && charAt(end) == u'>') return done(u, end + 1, top);
      }
      return false;
    }
    if (at(p, u" \"")) {
      if (!closingQuote(p + 2, cursor, q, [&](size_t after) { return charAt(after) == u'>'; })) return false;
      u.value = Span{p + 2, q - p - 2, true};
      return done(u, q + 2, top);
    }
    u.systemId = Span{p, 0, true};  // an external entity whose identifiers are empty
    return charAt(p) == u'>' && once(cursor) && done(u, p + 1, top);
  }

  bool notationDeclaration(size_t pos, size_t& cursor, Unit& u) {
    u.type = Unit::notation;
    u.name = name(skip(pos, u"<!NOTATION "));
    if (!u.name.present || !declared(m_docType->getNotations(), u.name)) return false;
    const size_t p = u.name.at + u.name.length;
    size_t open;
    if (at(p, u" PUBLIC \"")) {
      const size_t publicOpen = skip(p, u" PUBLIC \"");
      const size_t close = m_s.find(u'"', publicOpen);
      if (close == Text::npos) return false;
      u.publicId = Span{publicOpen, close - publicOpen, true};
      if (charAt(close + 1) == u'>') return once(cursor) && done(u, close + 2, top);
      if (!at(close + 1, u" \"")) return false;
      open = close + 3;
    } else if (at(p, u" SYSTEM \"")) {
      open = skip(p, u" SYSTEM \"");
    } else {
      u.systemId = Span{p, 0, true};  // identifiers that are empty
      return charAt(p) == u'>' && once(cursor) && done(u, p + 1, top);
    }
    size_t q;
    if (!closingQuote(open, cursor, q, [&](size_t after) { return charAt(after) == u'>'; })) return false;
    u.systemId = Span{open, q - open, true};
    return done(u, q + 2, top);
  }

  const Text& m_s;
  const DOMDocumentType* m_docType;
  std::vector<signed char> m_reads;  // per position and state: s_unknown, 0, or 1 when the rest reads
  mutable Text m_name;               // a name looked up in a map
  size_t m_furthest = 0;
  size_t m_work = 0;
};

// Turns the units of the reading into pieces to write.
class PieceMaker {
 public:
  PieceMaker(const Text& text, const DOMDocumentType* docType) : m_s(text), m_docType(docType) {}

  std::vector<SubsetPiece> make(const std::vector<Unit>& units) {
    for (const Unit& u : units) {
      switch (u.type) {
        case Unit::space:
          markup(u.start, u.end - u.start, "internal subset");
          break;
        case Unit::comment:
          glue(u"<!--", u.start);
          markup(u.text, "comment in the internal subset");
          glue(u"-->", u.start);
          break;
        case Unit::pi:
          glue(u"<?", u.start);
          markup(u.name, "name in the internal subset");
          if (u.text.length) glue(u" ", u.start);
          markup(u.text, "processing instruction in the internal subset");
          glue(u"?>", u.start);
          break;
        case Unit::element:
          glue(u"<!ELEMENT ", u.start);
          markup(u.name, "name in the internal subset");
          if (u.text.present) glue(u" ", u.start);
          markup(u.text, "name in the internal subset");
          glue(u">", u.start);
          break;
        case Unit::attlistStart:
          glue(u"<!ATTLIST ", u.start);
          markup(u.name, "name in the internal subset");
          break;
        case Unit::attdef:
          attributeDefinition(u);
          break;
        case Unit::attlistEnd:
          glue(u">", u.start);
          break;
        case Unit::entity:
          glue(parameter(u) ? u"<!ENTITY % " : u"<!ENTITY ", u.start);
          markup(u.name, "name in the internal subset");
          identifiers(u);
          if (u.notationName.present) {
            glue(u" NDATA ", u.start);
            markup(u.notationName, "name in the internal subset");
          }
          if (u.value.present) {
            glue(u" \"", u.start);
            value(SubsetPiece::entityValue, u.value, "entity value in the internal subset");
            glue(u"\"", u.start);
          }
          glue(u">", u.start);
          break;
        case Unit::notation:
          glue(u"<!NOTATION ", u.start);
          markup(u.name, "name in the internal subset");
          identifiers(u);
          glue(u">", u.start);
          break;
      }
    }
    return std::move(m_pieces);
  }

 private:
  Text text(const Span& s) const { return m_s.substr(s.at, s.length); }
  void glue(const XMLCh* text, size_t offset) {
    m_pieces.push_back(SubsetPiece{SubsetPiece::markup, text, offset, "internal subset"});
  }
  void markup(size_t at, size_t length, const char* what) {
    if (length) m_pieces.push_back(SubsetPiece{SubsetPiece::markup, m_s.substr(at, length), at, what});
  }
  void markup(const Span& s, const char* what) { markup(s.at, s.length, what); }
  void value(SubsetPiece::Kind kind, const Span& s, const char* what) {
    m_pieces.push_back(SubsetPiece{kind, text(s), s.at, what});
  }

  // Xerces-C writes a parameter entity's declaration as a general one. The
  // text that references it in the internal subset is already expanded, and
  // the content written never references an entity, so which kind it is
  // matters only to an external subset: there a parameter entity declared
  // here is what a reference expects (the switches of conditional sections,
  // for one). With an external subset an entity that is not unparsed is
  // declared as a parameter entity; a reference to a general one from there
  // would name an entity the written document no longer declares.
  bool parameter(const Unit& u) const { return !u.notationName.present && !QelDomStr::empty(m_docType->getSystemId()); }

  // PUBLIC "p" "s" (the legal form of Xerces-C's PUBLIC "p" SYSTEM "s"),
  // PUBLIC "p", or SYSTEM "s".
  void identifiers(const Unit& u) {
    if (u.publicId.present) {
      glue(u" PUBLIC ", u.start);
      identifier(u.publicId, "public identifier in the internal subset");
      if (u.systemId.present) glue(u" ", u.start);
    } else if (u.systemId.present) {
      glue(u" SYSTEM ", u.start);
    }
    if (u.systemId.present) identifier(u.systemId, "system identifier in the internal subset");
  }
  void identifier(const Span& s, const char* what) {
    // The rebuilt text has a quotation mark before the identifier too.
    m_pieces.push_back(SubsetPiece{SubsetPiece::markup, quotedIdentifier(text(s).c_str(), m_docType), s.at - 1, what});
  }

  // A NOTATION type comes back without its notations: all the document
  // type declares are allowed, which includes the ones the declaration named.
  void attributeDefinition(const Unit& u) {
    markup(u.name, "name in the internal subset");
    glue(u" ", u.start);
    markup(u.text, "name in the internal subset");
    if (text(u.text) == u"NOTATION") {
      const DOMNamedNodeMap* notations = m_docType->getNotations();
      if (!notations || notations->getLength() == 0)
        refuse(m_docType, "The NOTATION attribute " + qelToMbcs(text(u.name).c_str()) +
                              " of the internal subset names no notation that the document type declares");
      Text list = u" (";
      for (XMLSize_t i = 0; i < notations->getLength(); ++i)
        list.append(i ? u"|" : u"").append(notations->item(i)->getNodeName());
      m_pieces.push_back(SubsetPiece{SubsetPiece::markup, list + u")", u.start, "name in the internal subset"});
    }
    if (u.defaultKind.present) {
      glue(u" ", u.start);
      markup(u.defaultKind, "internal subset");
    }
    if (u.value.present) {
      glue(u" \"", u.start);
      value(SubsetPiece::attributeDefault, u.value, "attribute default in the internal subset");
      glue(u"\"", u.start);
    }
  }

  const Text& m_s;
  const DOMDocumentType* m_docType;
  std::vector<SubsetPiece> m_pieces;
};

std::vector<Unit> readUnits(const DOMDocumentType* docType, Text& text) {
  const XMLCh* subset = docType ? docType->getInternalSubset() : nullptr;
  text = subset ? subset : u"";
  if (text.empty()) return {};
  return Reader(text, docType).read();
}

}  // namespace

std::vector<SubsetPiece> readInternalSubset(const DOMDocumentType* docType) {
  Text text;
  std::vector<Unit> units = readUnits(docType, text);
  return PieceMaker(text, docType).make(units);
}

DeclaredEntity declaredEntity(const DOMDocumentType* docType, const XMLCh* name) {
  Text text;
  const Text wanted = name ? name : u"";
  DeclaredEntity found;
  for (const Unit& u : readUnits(docType, text)) {
    if (u.type != Unit::entity || text.compare(u.name.at, u.name.length, wanted) != 0) continue;
    found.declared = true;
    found.external = !u.value.present;
    found.value = text.substr(u.value.at, u.value.length);
  }
  return found;
}

std::u16string quotedIdentifier(const XMLCh* id, const DOMNode* node) {
  const Text text = id ? id : u"";
  const bool quote = text.find(u'"') != Text::npos;
  if (quote && text.find(u'\'') != Text::npos)
    refuse(node, "The identifier " + qelToMbcs(text.c_str()) + " holds both quotation marks");
  const XMLCh mark = quote ? u'\'' : u'"';
  return mark + text + mark;
}

}  // namespace qel_detail
