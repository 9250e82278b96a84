// The Tap test plugin: records the live media the core delivers to it, whole,
// so that a test can check what another plugin posted. See tap_plugin.h.
#include "tap_plugin.h"

#include <trv/core/sdk.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

using namespace trv::core;

namespace {

// Enough for any test; later records are dropped, so that nothing grows without bound.
constexpr size_t TakenLimit = 100000;

std::mutex mutex;
std::vector<tap::Tapped> taken;

tap::Tapped copyOf(const EventParms& event) {
  tap::Tapped copy{};
  copy.record = event;
  if (event.data != nullptr) {
    const auto* text = static_cast<const char*>(event.data);
    const size_t length =
        std::min<size_t>({event.dataLen, sizeof copy.label - 1,
                          static_cast<size_t>(std::find(text, text + event.dataLen, '\n') - text)});
    std::memcpy(copy.label, text, length);
  }
  copy.receivedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  return copy;
}

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs*, PluginInfo* info) {
  info->origin = originOfPlugin(0x7a);
  info->videoCaps = WantsLive;
  info->audioCaps = WantsLive;
  return 0;
}

TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) { return 0; }
TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) { return 0; }
TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) { return 0; }

TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  const tap::Tapped copy = copyOf(*event);
  std::lock_guard lock(mutex);
  if (taken.size() < TakenLimit) taken.push_back(copy);
  return 0;
}

TRV_PLUGIN_EXPORT size_t TapTaken(tap::Tapped* out, size_t capacity) {
  std::lock_guard lock(mutex);
  std::copy_n(taken.begin(), std::min(capacity, taken.size()), out);
  return taken.size();
}

TRV_PLUGIN_EXPORT void TapClear() {
  std::lock_guard lock(mutex);
  taken.clear();
}
