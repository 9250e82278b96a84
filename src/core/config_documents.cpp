// The documents the core reads and publishes about itself: product.xml and
// core.xml at start-up, the configuration and memory status events, core.xml
// saved through its pending file, and the log-level deltas of other origins.
#include <filesystem>
#include <string>

#include <rapidxml/rapidxml.hpp>

#include "config_document.h"
#include "core_log.h"
#include "core_settings.h"
#include "dvr_core.h"
#include "file_store.h"
#include "xml_print.h"

namespace trv::core {

namespace {

// Both resolved against the working directory the parent started us in.
constexpr const char* CoreFile = "core.xml";
constexpr const char* ProductFile = "product.xml";

// A document made by the core, as the event that carries `text`.
EventParms documentEvent(uint32_t type, const std::string& text) {
  EventParms event = makeEvent(type, FlagLive | FlagXml, CoreSource);
  event.data = const_cast<char*>(text.data());
  event.dataLen = static_cast<uint32_t>(text.size());
  return event;
}

}  // namespace

void DvrCore::loadConfig() {
  try {
    if (auto product = readProductIdentity(readXmlFile(ProductFile))) {
      productFamily = std::move(product->family);
      productVersion = std::move(product->version);
    }
  } catch (const std::exception&) {
    // Without a usable product.xml the built-in names stand.
  }

  MemorySettings memory{throttlingEnabled, maxGopLen};
  try {
    applyCoreDocument(readXmlFile(CoreFile), memory, logLevels);
  } catch (const std::exception& error) {
    logError("{}\nConfig defaulted", error.what());
  }
  throttlingEnabled = memory.throttlingEnabled;
  maxGopLen = memory.maxGopLen;
}

void DvrCore::publishConfig() {
  std::string parentName;
  std::string parentRelease;
  {
    std::lock_guard lock(parentMutex);
    parentName = parentFilename;
    parentRelease = parentVersion;
  }
  const std::string executableName = std::filesystem::path(exePath).filename().string();
  ConfigFacts facts{{throttlingEnabled, maxGopLen},
                    logLevels.stored(0),
                    executableName,
                    productFamily,
                    productVersion,
                    parentName,
                    parentRelease,
                    {},
                    {}};
  for (const auto& plugin : plugins) {
    facts.loaded.push_back({plugin->info().origin, plugin->fileName(), plugin->openCode(),
                            plugin->loadTime(), plugin->openTime(), logLevels.stored(plugin->id())});
  }
  for (const auto& plugin : failedPlugins) {
    facts.failed.push_back({plugin->fileName(), plugin->loadCode(), plugin->errorText()});
  }

  rapidxml::xml_document<> document;
  buildConfigDocument(document, facts);
  const std::string text = printXmlDocument(document, noIndent);
  EventParms event = documentEvent(TypeConfig, text);
  queueEvent(event);

  removeProduct(document);
  // Held while the file is written: no two publications write it at once.
  std::unique_lock lock(queueMutex);
  try {
    writeXmlFile(CoreFile, printXmlDocument(document, 0));
  } catch (const std::runtime_error& error) {
    // The log line is queued under this same lock.
    lock.unlock();
    logError("{}", error.what());
  }
}

bool DvrCore::applyConfigDelta(const EventParms& record) {
  if (stopping() || record.source == CoreSource || record.type != TypeConfig ||
      (record.flags & FlagXml) == 0) {
    return false;
  }
  const std::string_view payload(static_cast<const char*>(record.data), record.dataLen);
  if (!isLogLevelDelta(payload)) return false;
  bool changed = false;
  try {
    changed = applyLogLevelDelta(payload, logLevels);
  } catch (const std::exception& error) {
    // Another plugin's broken document must not end the dispatcher.
    logWarning("config delta from {} ignored: {}", originName(record.source), error.what());
    return false;
  }
  if (changed) publishConfig();
  return changed;
}

void DvrCore::publishMemoryStatus() {
  rapidxml::xml_document<> document;
  buildMemoryStatusDocument(document, throttlingActive.load(std::memory_order_acquire),
                            supervisionSources.steadyNanos());
  const std::string text = printXmlDocument(document, noIndent);
  EventParms event = documentEvent(TypeAlarm, text);
  queueEvent(event);
}

}  // namespace trv::core
