// Prints every tree the parser builds from arbitrary input: the measured size
// must equal the printed length, the printed text must parse again, and the
// one-line text of a parsed one-line text must come out unchanged (which
// catches a missing or wrong escape that still parses).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <rapidxml/rapidxml.hpp>

#include "xml_print.h"

namespace {

using rapidxml::xml_document;
using rapidxml::xml_node;
using trv::core::noIndent;
using trv::core::printedXmlSize;
using trv::core::printXml;
using trv::core::printXmlDocument;

constexpr int everyNodeKind = rapidxml::parse_declaration_node | rapidxml::parse_comment_nodes |
                              rapidxml::parse_doctype_node | rapidxml::parse_pi_nodes;

[[noreturn]] void fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "%s\n--- printed text ---\n%.*s\n--- end ---\n", what,
               static_cast<int>(text.size()), text.data());
  std::abort();
}

// Parses `text` into `doc`; the parser writes into `buffer`, which must live
// as long as the document.
template <int Flags>
bool parse(xml_document<>& doc, std::vector<char>& buffer, std::string_view text) {
  buffer.assign(text.begin(), text.end());
  buffer.push_back('\0');
  try {
    doc.parse<Flags>(buffer.data());
    return true;
  } catch (const rapidxml::parse_error&) {
    return false;
  }
}

bool isXmlTarget(const xml_node<>& pi) {
  const std::string_view name(pi.name(), pi.name_size());
  return name.size() == 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' &&
         (name[2] | 0x20) == 'l';
}

// Texts that cannot be read back whatever the printer does: a NUL byte (from
// "&#0;") ends the parser's input, and "<?xml?x?>" reads as an instruction
// named xml, whose printed form "<?xml ?x?>" reads as a broken declaration.
bool printsUnreadably(const xml_node<>& node) {
  if (node.type() == rapidxml::node_pi && isXmlTarget(node) && node.value_size() != 0) return true;
  for (const xml_node<>* child = node.first_node(); child; child = child->next_sibling())
    if (printsUnreadably(*child)) return true;
  return false;
}

bool isBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// Text that is only whitespace, as "&#10;" makes it, prints as it is, but the
// parser keeps no text made of whitespace alone between two tags.
bool hasBlankText(const xml_node<>& node) {
  std::string run;
  for (const xml_node<>* child = node.first_node(); child; child = child->next_sibling()) {
    if (child->type() == rapidxml::node_data) {
      run.append(child->value(), child->value_size());
      if (child->next_sibling() && child->next_sibling()->type() == rapidxml::node_data) continue;
      if (isBlank(run)) return true;
      run.clear();
      continue;
    }
    if (hasBlankText(*child)) return true;
  }
  return false;
}

void checkMeasuredSize(const xml_node<>& node, int flags, int indent) {
  std::string out;
  printXml(out, node, flags, indent);
  size_t count = 0;
  printedXmlSize(node, flags, indent, count);
  if (count != out.size()) fail("printedXmlSize differs from the printed length", out);
}

template <int ParseFlags>
void checkPrinting(std::string_view input) {
  xml_document<> doc;
  std::vector<char> buffer;
  if (!parse<ParseFlags>(doc, buffer, input)) return;
  for (const int flags : {0, noIndent}) {
    checkMeasuredSize(doc, flags, 0);
    checkMeasuredSize(doc, flags, 2);
    const std::string text = printXmlDocument(doc, flags);
    if (printsUnreadably(doc) || text.find('\0') != std::string::npos) continue;
    xml_document<> again;
    std::vector<char> againBuffer;
    if (!parse<everyNodeKind | rapidxml::parse_validate_closing_tags>(again, againBuffer, text))
      fail("printed text does not parse", text);
  }
}

// Elements, attributes, text and CDATA only: their one-line text reads back
// to the same tree.
void checkReprintIsStable(std::string_view input) {
  xml_document<> doc;
  std::vector<char> buffer;
  if (!parse<rapidxml::parse_default>(doc, buffer, input)) return;
  const std::string first = printXmlDocument(doc, noIndent);
  if (first.find('\0') != std::string::npos || hasBlankText(doc)) return;
  xml_document<> again;
  std::vector<char> againBuffer;
  if (!parse<rapidxml::parse_validate_closing_tags>(again, againBuffer, first))
    fail("printed text does not parse", first);
  const std::string second = printXmlDocument(again, noIndent);
  if (second != first) fail("printing the printed text changed it", second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkPrinting<everyNodeKind>(input);
  checkPrinting<everyNodeKind | rapidxml::parse_no_data_nodes>(input);
  checkReprintIsStable(input);
  return 0;
}
