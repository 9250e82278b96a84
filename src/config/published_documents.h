// The documents the core publishes about itself, built as rapidxml trees: the
// core configuration document (also saved as core.xml) and the memory status
// document.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <rapidxml/rapidxml.hpp>

#include "config/core_settings.h"

namespace trv::core {

// A plugin in the host's list, as the configuration document reports it.
struct LoadedPluginFacts {
  uint32_t origin = 0;
  std::string_view fileName;
  int32_t openCode = 0;
  int64_t loadTimeNs = 0;
  int64_t openTimeNs = 0;
  int32_t logLevel = -1;  // the stored threshold of its slot
};

// A plugin whose load failed.
struct FailedPluginFacts {
  std::string_view fileName;
  int32_t loadCode = 0;
  std::string_view errorText;
};

// Everything the configuration document says. The texts are referenced by
// the document, not copied: they must outlive it.
struct ConfigFacts {
  MemorySettings memory;
  int32_t coreLogLevel = -1;
  std::string_view executableName;
  std::string_view productFamily;
  std::string_view productVersion;
  std::string_view parentFilename;
  std::string_view parentVersion;  // no Library element when empty
  std::vector<LoadedPluginFacts> loaded;
  std::vector<FailedPluginFacts> failed;
};

// Builds the configuration document, Product element included, into an empty
// `document`.
void buildConfigDocument(rapidxml::xml_document<>& document, const ConfigFacts& facts);

// Takes the Product element out: the saved file never carries it.
void removeProduct(rapidxml::xml_document<>& document);

// Builds the memory status document into an empty `document`: the current
// throttling state and one steady-clock reading.
void buildMemoryStatusDocument(rapidxml::xml_document<>& document, bool throttlingActive,
                               int64_t steadyNanos);

}  // namespace trv::core
