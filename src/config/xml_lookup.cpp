#include "config/xml_lookup.h"

#include <strings.h>

#include <charconv>

namespace trv::core {
namespace {

using rapidxml::xml_node;

xml_node<>* firstChildElement(const xml_node<>& parent, std::string_view name) {
  for (xml_node<>* child = parent.first_node(); child != nullptr; child = child->next_sibling()) {
    if (child->type() != rapidxml::node_element) continue;
    if (name.empty() || std::string_view(child->name(), child->name_size()) == name) return child;
  }
  return nullptr;
}

template <typename Number>
std::optional<Number> leadingNumber(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{}) return std::nullopt;
  return value;
}

}  // namespace

xml_node<>* findElementPath(const xml_node<>& document, std::string_view path) {
  const xml_node<>* parent = &document;
  for (;;) {
    const size_t slash = path.find('/');
    xml_node<>* reached = firstChildElement(*parent, path.substr(0, slash));
    // A "/" at the very end names no further step.
    if (reached == nullptr || slash == std::string_view::npos || slash + 1 == path.size()) {
      return reached;
    }
    parent = reached;
    path.remove_prefix(slash + 1);
  }
}

xml_node<>* nextSameNamed(const xml_node<>& element) {
  return element.next_sibling(element.name(), element.name_size());
}

std::optional<std::string_view> attributeValue(const xml_node<>& element, std::string_view name) {
  if (name.empty()) return std::nullopt;
  const rapidxml::xml_attribute<>* attribute = element.first_attribute(name.data(), name.size());
  if (attribute == nullptr) return std::nullopt;
  return std::string_view(attribute->value(), attribute->value_size());
}

bool boolAttribute(const xml_node<>& element, std::string_view name, bool fallback) {
  const std::optional<std::string_view> value = attributeValue(element, name);
  if (!value || value->empty()) return fallback;
  if (value->size() == 1) return *value != "0";
  if (value->size() == 5) return strncasecmp(value->data(), "false", 5) != 0;
  return true;
}

std::optional<int32_t> leadingInt32(std::string_view text) { return leadingNumber<int32_t>(text); }

std::optional<uint32_t> leadingUint32(std::string_view text) {
  return leadingNumber<uint32_t>(text);
}

}  // namespace trv::core
