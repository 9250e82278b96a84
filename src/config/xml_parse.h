// The one way configuration text is parsed: the parser recurses once per
// nesting level, so a text with more tags than any document of the core holds
// is refused before the parser could overflow the stack with it.
#pragma once

#include <cstddef>
#include <string>

#include <rapidxml/rapidxml.hpp>

namespace trv::core {

inline constexpr size_t MostXmlTags = 4096;

// Parses `text` in place into `document`, which then points into it. Throws
// std::runtime_error for a text with more than MostXmlTags tags, and
// rapidxml::parse_error for one that is not well-formed.
void parseXmlText(rapidxml::xml_document<>& document, std::string& text);

}  // namespace trv::core
