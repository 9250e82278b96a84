// The text form of rapidxml node trees: the tab-indented form of the saved
// configuration file, and the one-line form carried by events.
#pragma once

#include <cstddef>
#include <string>

#include <rapidxml/rapidxml.hpp>

namespace trv::core {

// Print flag: no tabs and no line feeds, the whole text on one line.
inline constexpr int noIndent = 1;

// Appends the text of `node` and everything below it to `out`; `indent` is the
// tab depth of the node (0 for a document).
void printXml(std::string& out, const rapidxml::xml_node<>& node, int flags, int indent);

// Adds to `count` the number of characters printXml appends for the same
// arguments, so that a caller can reserve the string once.
void printedXmlSize(const rapidxml::xml_node<>& node, int flags, int indent, size_t& count);

// The text of a whole document (indent 0), built in one reserved string.
std::string printXmlDocument(const rapidxml::xml_node<>& document, int flags);

}  // namespace trv::core
