// The documents the core reads and publishes about itself: product.xml and
// core.xml at start-up, the configuration and memory status events, core.xml
// saved through its pending file, and the log-level deltas of other origins.
#include <filesystem>
#include <string>

#include <rapidxml/rapidxml.hpp>

#include "config/core_settings.h"
#include "config/file_store.h"
#include "config/published_documents.h"
#include "config/xml_print.h"
#include "core/dvr_core.h"
#include "log/core_log.h"

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

  try {
    applyCoreDocument(readXmlFile(CoreFile), supervision_.settings(), logLevels);
  } catch (const std::exception& error) {
    logError("{}\nConfig defaulted", error.what());
  }
}

void DvrCore::publishConfig() {
  const ParentIdentity parent = io_.parent();
  const std::string executableName = std::filesystem::path(exePath).filename().string();
  ConfigFacts facts{supervision_.settings(),
                    logLevels.stored(0),
                    executableName,
                    productFamily,
                    productVersion,
                    parent.filename,
                    parent.version,
                    {},
                    {}};
  for (const auto& plugin : host_.loaded()) {
    facts.loaded.push_back({plugin->info().origin, plugin->fileName(), plugin->openCode(),
                            plugin->loadTime(), plugin->openTime(), logLevels.stored(plugin->id())});
  }
  for (const auto& plugin : host_.failed()) {
    facts.failed.push_back({plugin->fileName(), plugin->loadCode(), plugin->errorText()});
  }

  rapidxml::xml_document<> document;
  buildConfigDocument(document, facts);
  const std::string text = printXmlDocument(document, noIndent);
  EventParms event = documentEvent(TypeConfig, text);
  queueEvent(event);

  removeProduct(document);
  // Held while the file is written: no two publications write it at once.
  auto lock = queue_.hold();
  try {
    writeXmlFile(CoreFile, printXmlDocument(document, 0));
  } catch (const std::runtime_error& error) {
    // The log line is queued under this same lock.
    lock.unlock();
    logError("{}", error.what());
  }
}

void DvrCore::applyConfigDelta(const EventParms& record) {
  if (stopping() || record.source == CoreSource || record.type != TypeConfig ||
      (record.flags & FlagXml) == 0) {
    return;
  }
  const std::string_view payload(static_cast<const char*>(record.data), record.dataLen);
  if (!isLogLevelDelta(payload)) return;
  bool changed = false;
  try {
    changed = applyLogLevelDelta(payload, logLevels);
  } catch (const std::exception& error) {
    // Another plugin's broken document must not end the dispatcher.
    logWarning("config delta from {} ignored: {}", host_.originName(record.source), error.what());
    return;
  }
  if (changed) publishConfig();
}

void DvrCore::publishMemoryStatus() {
  rapidxml::xml_document<> document;
  buildMemoryStatusDocument(document, supervision_.throttling(), supervision_.steadyNanos());
  const std::string text = printXmlDocument(document, noIndent);
  EventParms event = documentEvent(TypeAlarm, text);
  queueEvent(event);
}

}  // namespace trv::core
