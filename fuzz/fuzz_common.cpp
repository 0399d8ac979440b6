#include "fuzz_common.hpp"

#include <algorithm>
#include <cctype>
#include <vector>

XERCES_CPP_NAMESPACE_USE

namespace fuzz {
namespace {

// EBCDIC (code page 37) bytes of the letters, digits and the few marks the
// test looks for, as ASCII; everything else as a blank.
char ebcdicToAscii(unsigned char c) {
  if (c >= 0x81 && c <= 0x89) return static_cast<char>('a' + (c - 0x81));
  if (c >= 0x91 && c <= 0x99) return static_cast<char>('j' + (c - 0x91));
  if (c >= 0xA2 && c <= 0xA9) return static_cast<char>('s' + (c - 0xA2));
  if (c >= 0xC1 && c <= 0xC9) return static_cast<char>('a' + (c - 0xC1));
  if (c >= 0xD1 && c <= 0xD9) return static_cast<char>('j' + (c - 0xD1));
  if (c >= 0xE2 && c <= 0xE9) return static_cast<char>('s' + (c - 0xE2));
  if (c == 0x61) return '/';
  if (c == 0x7A) return ':';
  if (c == 0x4B) return '.';
  return ' ';
}

bool hasDanger(const std::string& text) {
  for (const char* word : {"dev", "proc", ":/", "//", "http", "ftp", "file:"}) {
    if (text.find(word) != std::string::npos) return true;
  }
  return false;
}

// Flattens a tree into one line per item, in document order.
void flatten(const DOMNode* node, const Leniency& len, std::vector<std::u16string>& out, std::u16string& text) {
  auto flushText = [&] {
    if (text.empty()) return;
    const bool blank = std::all_of(text.begin(), text.end(),
                                   [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; });
    if (len.textCrAsLf) {
      std::u16string lf;
      for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'\r') {
          lf.push_back(text[i]);
        } else if (i + 1 == text.size() || text[i + 1] != u'\n') {
          lf.push_back(u'\n');
        }
      }
      text.swap(lf);
    }
    if (len.trimText) {
      const size_t first = text.find_first_not_of(u" \t\n\r");
      text = first == std::u16string::npos ? u"" : text.substr(first, text.find_last_not_of(u" \t\n\r") - first + 1);
    }
    if (!(len.skipBlankText && blank)) out.push_back(u"text " + text);
    text.clear();
  };
  for (const DOMNode* child = node->getFirstChild(); child; child = child->getNextSibling()) {
    switch (child->getNodeType()) {
      case DOMNode::TEXT_NODE:
      case DOMNode::CDATA_SECTION_NODE:
        text += child->getNodeValue();
        break;
      case DOMNode::ELEMENT_NODE: {
        flushText();
        out.push_back(u"<" + std::u16string(child->getNodeName()));
        std::vector<std::u16string> attrs;
        const DOMNamedNodeMap* map = child->getAttributes();
        for (XMLSize_t i = 0; i < map->getLength(); ++i) {
          const DOMNode* attr = map->item(i);
          std::u16string value(attr->getNodeValue());
          if (len.attrSpaces.find(u'\r') != std::u16string::npos) {
            // CR LF written as such is one line end, hence one space, when read again
            for (size_t at = value.find(u"\r\n"); at != std::u16string::npos; at = value.find(u"\r\n", at)) {
              value.erase(at, 1);
            }
          }
          for (char16_t& c : value) {
            if (len.attrSpaces.find(c) != std::u16string::npos) c = u' ';
          }
          attrs.push_back(u"@" + std::u16string(attr->getNodeName()) + u"=" + value);
        }
        std::sort(attrs.begin(), attrs.end());
        out.insert(out.end(), attrs.begin(), attrs.end());
        flatten(child, len, out, text);
        flushText();
        out.push_back(u">");
        break;
      }
      case DOMNode::COMMENT_NODE:
        if (len.skipComments) break;
        flushText();
        out.push_back(u"comment " + std::u16string(child->getNodeValue()));
        break;
      case DOMNode::PROCESSING_INSTRUCTION_NODE:
        flushText();
        out.push_back(u"pi " + std::u16string(child->getNodeName()) + u" " + child->getNodeValue());
        break;
      case DOMNode::ENTITY_REFERENCE_NODE:
        flatten(child, len, out, text);
        break;
      default:  // the document type
        break;
    }
  }
}

}  // namespace

bool mayReachOutside(const unsigned char* data, size_t size) {
  std::string plain, ebcdic;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0) plain.push_back(static_cast<char>(std::tolower(data[i])));
    ebcdic.push_back(ebcdicToAscii(data[i]));
  }
  return hasDanger(plain) || hasDanger(ebcdic);
}

std::string write(const DOMNode* node, unsigned long options, const char* encoding) {
  std::string bytes;
  QelStringOutputStream stream(bytes);
  qelWriteNode(node, stream, options, encoding, nullptr);
  return bytes;
}

std::string diffTrees(const DOMNode* a, const DOMNode* b, const Leniency& leniency) {
  std::vector<std::u16string> left, right;
  std::u16string text;
  flatten(a, leniency, left, text);
  flatten(b, leniency, right, text);
  const size_t n = std::min(left.size(), right.size());
  for (size_t i = 0; i < n; ++i) {
    if (left[i] != right[i])
      return "item " + std::to_string(i) + ": " + show(left[i].c_str()) + " | " + show(right[i].c_str());
  }
  if (left.size() != right.size()) {
    return "item counts " + std::to_string(left.size()) + " and " + std::to_string(right.size()) +
           ", next: " + show(left.size() > n ? left[n].c_str() : right[n].c_str());
  }
  return "";
}

std::string show(const XMLCh* text, size_t max) {
  std::string out;
  for (size_t i = 0; text && text[i] && i < max; ++i) {
    const XMLCh c = text[i];
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out;
}

void init() {
  static const bool started = [] {
    tavDomInit();
    return true;
  }();
  (void)started;
}

}  // namespace fuzz
