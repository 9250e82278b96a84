#include "core/dvr_core.h"

#include "crypto/sha256.h"
#include "log/core_log.h"

namespace trv::core {

DvrCore* g_core = nullptr;

namespace {

// Long enough for a search to return once its plugin is closed, short enough
// for a stop that still ends promptly when one does not.
constexpr auto SearchWaitLimit = std::chrono::milliseconds(500);

void postCoreLine(int32_t level, std::string_view text) {
  if (g_core != nullptr) g_core->log(level, text);
}
}  // namespace

int postEvent(EventParms* event) {
  if (event == nullptr) return PostRefused;
  if (event->data == nullptr) event->dataLen = 0;
  // No exception may cross into a plugin: a line that cannot be written to
  // standard output, or a lock that cannot be taken, refuses the record.
  try {
    return g_core->queueEvent(*event);
  } catch (const std::exception&) {
    return PostRefused;
  }
}

DvrCore::DvrCore(std::string executablePath, SupervisionSources sources)
    : exePath(std::move(executablePath)),
      supervision_(std::move(sources), [this] { publishMemoryStatus(); }),
      io_(host_, logWriter, counters_, [this] { requestStop(); }, [this] { onSupervisionTick(); }) {
  setCoreLogTarget({&logLevels, postCoreLine});
}

DvrCore::~DvrCore() {
  // Records a failed start-up queued were never dispatched.
  queue_.requestStop();
  RecordQueue left;
  while (queue_.take(left) == EventQueue::Taken::Records) {
    for (; !left.empty(); left.dropFront()) {
      if (left.front().data != nullptr) payloads_.delivered(left.front().data);
    }
  }
  reportHeldReferences();
  // The plugins are unloaded: what they kept is nobody's any more. A search
  // given up on may still read a payload it kept, and keeps it.
  if (!searchesGivenUp_) payloads_.dropKeptReferences();
  setCoreLogTarget({});
}

void DvrCore::setLogOutput(std::FILE* output, bool colour) {
  logWriter.setOutput(output);
  logWriter.setColour(colour);
}

int32_t DvrCore::log(int32_t level, std::string_view text) {
  if (text.empty()) return PostQueued;
  EventParms record = makeEvent(TypeLog, FlagLive | FlagText, CoreSource);
  record.dataLen = static_cast<uint32_t>(text.size());
  record.data = const_cast<char*>(text.data());
  setLogLevel(record, level);
  return queueEvent(record);
}

void DvrCore::requestStop() {
  queue_.requestStop();
  searchHandler.stop();
  io_.cancelTicks();
}

void DvrCore::Run() {
  io_.catchStopSignals();
  // Before any plugin exists: its thresholds apply from its first line on.
  loadConfig();
  if (deviceId.find(sha256Hex("")) != std::string::npos) logWarning("Startup status: code D");
  if (supervision_.settings().throttlingEnabled) publishMemoryStatus();

  io_.start();
  loadPlugins();
  openPlugins();
  publishConfig();

  dispatchLoop();

  endPlugins();
  io_.stop();
}

void DvrCore::endPlugins() {
  closePlugins();
  unloadPlugins();
  for (const auto& plugin : searchHandler.awaitThreadsFor(SearchWaitLimit)) {
    logWarning("Stopped waiting for the search of {:02x}:{}", plugin->id(), plugin->displayName());
    searchesGivenUp_ = true;
  }
}

}  // namespace trv::core
