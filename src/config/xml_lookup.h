// Lookups in parsed documents: elements by path, attributes by name, and the
// forms in which the core reads attribute values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <rapidxml/rapidxml.hpp>

namespace trv::core {

// The element reached from `document` by a "/"-separated list of names, each
// the first child element of that exact name (an empty name: the first child
// element); null when a step finds none. There is no backtracking.
rapidxml::xml_node<>* findElementPath(const rapidxml::xml_node<>& document, std::string_view path);

// The next sibling element of `element` with the same name, or null.
rapidxml::xml_node<>* nextSameNamed(const rapidxml::xml_node<>& element);

// The value of the first attribute of `element` named exactly `name`; nothing
// when there is no such attribute.
std::optional<std::string_view> attributeValue(const rapidxml::xml_node<>& element,
                                               std::string_view name);

// A missing or empty attribute gives `fallback`; "0" and "false" in any case
// are false; any other value is true.
bool boolAttribute(const rapidxml::xml_node<>& element, std::string_view name, bool fallback);

// The base-10 signed 32-bit number `text` begins with (a leading "-" allowed,
// the rest ignored); nothing when there is none or it overflows.
std::optional<int32_t> leadingInt32(std::string_view text);

// The unsigned base-10 number `text` begins with, as leadingInt32.
std::optional<uint32_t> leadingUint32(std::string_view text);

}  // namespace trv::core
