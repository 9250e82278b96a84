#include "config/core_settings.h"

#include <algorithm>

#include "config/xml_lookup.h"
#include "config/xml_parse.h"

namespace trv::core {
namespace {

using rapidxml::xml_node;

constexpr uint32_t CoreOrigin = 0x80000000u;
constexpr uint32_t FirstAddressablePlugin = 0x20000u;

constexpr std::string_view DeltaMark = "Delta=\"1\"";
constexpr size_t DeltaWindowStart = 13;
constexpr size_t DeltaWindowLength = 100;
constexpr std::string_view ModulesMark = "<Modules";
constexpr size_t ModulesWindowLength = 40;
constexpr size_t ShortestDelta = 22;

bool containsWithin(std::string_view payload, size_t start, size_t length, std::string_view mark) {
  return payload.substr(start, length).find(mark) != std::string_view::npos;
}

// Applies one Plugin element's LogLevel; true when the value written differs
// from the slot's, even where clamping stores what the slot already held.
bool applyLogLevel(const xml_node<>& plugin, LogLevels& levels) {
  const std::optional<std::string_view> id = attributeValue(plugin, "ID");
  if (!id) return false;
  const std::optional<int32_t> idValue = leadingInt32(*id);
  if (!idValue) return false;
  const std::optional<uint8_t> slot = logLevelSlot(*idValue);
  if (!slot) return false;
  const std::optional<std::string_view> level = attributeValue(plugin, "LogLevel");
  if (!level) return false;
  const std::optional<int32_t> levelValue = leadingInt32(*level);
  // Compared as written: 500 over a stored 100 counts as a change, and the
  // configuration is published again with the 100 it stores.
  if (!levelValue || *levelValue == levels.stored(*slot)) return false;
  levels.set(*slot, *levelValue);
  return true;
}

}  // namespace

std::optional<ProductIdentity> readProductIdentity(std::string text) {
  rapidxml::xml_document<> document;
  parseXmlText(document, text);
  const xml_node<>* product = findElementPath(document, "Product");
  if (product == nullptr) return std::nullopt;
  return ProductIdentity{std::string(attributeValue(*product, "Family").value_or("")),
                         std::string(attributeValue(*product, "Version").value_or(""))};
}

void applyCoreDocument(std::string text, MemorySettings& memory, LogLevels& levels) {
  rapidxml::xml_document<> document;
  parseXmlText(document, text);
  applyMemorySettings(document, memory);
  applyLogLevels(document, levels);
}

void applyMemorySettings(const xml_node<>& document, MemorySettings& memory) {
  const xml_node<>* element = findElementPath(document, "qDVR/Memory");
  if (element == nullptr) return;
  memory.throttlingEnabled = boolAttribute(*element, "Throttling", true);
  if (const std::optional<std::string_view> text = attributeValue(*element, "MaxGopLen")) {
    const std::optional<uint32_t> value = leadingUint32(*text);
    if (value && *value <= UINT16_MAX) memory.maxGopLen = static_cast<uint16_t>(*value);
  }
  memory.maxGopLen = std::clamp(memory.maxGopLen, MinGopLen, MaxGopLenLimit);
}

std::optional<uint8_t> logLevelSlot(int32_t id) {
  const auto word = static_cast<uint32_t>(id);
  if (word == CoreOrigin) return 0;
  if ((word & 0xFF0000u) < FirstAddressablePlugin) return std::nullopt;
  return static_cast<uint8_t>(word >> 16);
}

bool applyLogLevels(const xml_node<>& document, LogLevels& levels) {
  bool changed = false;
  for (const xml_node<>* module = findElementPath(document, "qDVR/Modules/Module");
       module != nullptr; module = nextSameNamed(*module)) {
    for (const xml_node<>* plugin = findElementPath(*module, "Plugin"); plugin != nullptr;
         plugin = nextSameNamed(*plugin)) {
      changed |= applyLogLevel(*plugin, levels);
    }
  }
  return changed;
}

bool isLogLevelDelta(std::string_view payload) {
  if (payload.size() < ShortestDelta) return false;
  return containsWithin(payload, DeltaWindowStart, DeltaWindowLength, DeltaMark) &&
         containsWithin(payload, 0, ModulesWindowLength, ModulesMark);
}

bool applyLogLevelDelta(std::string_view payload, LogLevels& levels) {
  // Other plugins receive the same payload: the parser works on a copy.
  std::string text(payload);
  rapidxml::xml_document<> document;
  parseXmlText(document, text);
  return applyLogLevels(document, levels);
}

}  // namespace trv::core
