// The settings the core takes from configuration documents: the product's
// name from product.xml, memory settings and log thresholds from core.xml,
// and log thresholds from the delta documents of "config" events.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <rapidxml/rapidxml.hpp>

#include "log/log_levels.h"

namespace trv::core {

inline constexpr uint16_t MinGopLen = 765;
inline constexpr uint16_t MaxGopLenLimit = 2500;

// qDVR/Memory of core.xml.
struct MemorySettings {
  bool throttlingEnabled = true;
  uint16_t maxGopLen = 1050;
};

struct ProductIdentity {
  std::string family;
  std::string version;
};

// The Product element at the top of a product.xml text; a missing attribute
// reads as "". Throws std::exception when the text is not well-formed.
std::optional<ProductIdentity> readProductIdentity(std::string text);

// Applies a core.xml text to `memory` and `levels`; throws std::exception,
// changing nothing, when the text is not well-formed.
void applyCoreDocument(std::string text, MemorySettings& memory, LogLevels& levels);

// Applies a parsed document's qDVR/Memory element, if there is one.
void applyMemorySettings(const rapidxml::xml_node<>& document, MemorySettings& memory);

// The threshold slot a Plugin element's ID selects: 0 for the core's
// -2147483648, the plugin id for a word naming plugin 2..255, else none.
std::optional<uint8_t> logLevelSlot(int32_t id);

// Applies the LogLevel of every qDVR/Modules/Module/Plugin element, stored
// clamped to -1..100; true when a value as written differs from its slot's.
bool applyLogLevels(const rapidxml::xml_node<>& document, LogLevels& levels);

// The payload of a "config" event carries a log-level delta: "<Modules"
// within its first 40 bytes and Delta="1" within bytes 13..112.
bool isLogLevelDelta(std::string_view payload);

// Parses a delta payload (which stays untouched) and applies its log levels;
// true as for applyLogLevels. Throws std::exception when it is not
// well-formed or has more tags than the parser is given (xml_parse.h).
bool applyLogLevelDelta(std::string_view payload, LogLevels& levels);

}  // namespace trv::core
