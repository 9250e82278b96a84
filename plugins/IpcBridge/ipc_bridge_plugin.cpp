// IpcBridge: lets the parent daemon drive the core with short text commands.
// It turns packets addressed to it into searches, crypto requests and pings,
// and sends every answer back as an "ipc" event.
//
// Packets, both ways: the core's 16-byte header of four host-order words
// (length, address, kind, pass-through), then the text, with no terminator.
//   To the bridge:   address bits 20..27 = 67 (0x43), the bridge's plugin id;
//                    any kind the core passes on (all but 7 and 8); the
//                    pass-through word is not read.
//   From the bridge: address 67 << 20, kind 1, pass-through 0.
//
// Commands               Replies
//   (none)                 ready              once, when the core has opened every
//                                             plugin: a search sent earlier may
//                                             miss the plugins that serve it
//   ping [TEXT]            pong [TEXT]
//   search TYPE [QUERY]    searching N        at once; N numbers the search, 1..65535
//                          found N TYPE LENGTH, a line feed, then the result's
//                                             payload (cut to fit one packet):
//                                             one per stored result, in order
//                          done N             a plugin that served it is through
//   cancel N               cancelled N        no new results of search N (one
//                                             already on its way may still come)
//   encrypt BYTES          encrypted HEX      BYTES (no NUL among them) in the
//                                             device-bound envelope
//   decrypt HEX            decrypted BYTES
// TYPE is video, audio, alarm, log, pos or analytic; QUERY (default: TYPE)
// travels as the request's payload, for the plugins that serve searches. HEX
// is two lower-case hexadecimal digits a byte. Anything that goes wrong is
// answered "error COMMAND REASON", with postEvent's answer as the reason of a
// failed crypto request.
#include <memory>

#include <trv/core/sdk.h>

#include "bridge.h"
#include "bridge_packet.h"

using namespace trv::core;
using trv::ipcbridge::Bridge;

namespace {

// Plugin id 0x43, clear of the ids the core treats specially (0, 6 and 8).
constexpr uint8_t PluginId = 0x43;

// From Load to Unload. The core may load the same object again in one
// process, so nothing is left to static initialisation.
std::unique_ptr<Bridge> g_bridge;

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  g_bridge = std::make_unique<Bridge>(args->postEvent, PluginId);
  // No live events: the results of its searches reach it all the same,
  // since their search id names it.
  info->origin = originOfPlugin(PluginId);
  return 0;
}

TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) { return 0; }

// I/O thread, which also carries every other packet, signal and timer of the
// core: nothing here may wait. Packets can arrive before Open.
TRV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  const auto command = trv::ipcbridge::commandText(packet, length);
  if (command) g_bridge->onCommand(*command);
  return 0;
}

// Dispatch thread: search results, and the configuration events every
// plugin gets. Neither payload is kept.
TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  if ((event->flags & FlagStored) != 0) g_bridge->onStoredResult(*event);
  if (baseType(event->type) == TypeConfig) g_bridge->onConfig(*event);
  return 0;
}

TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) { return 0; }

TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) {
  g_bridge.reset();
  return 0;
}
