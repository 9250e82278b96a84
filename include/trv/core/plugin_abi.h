// The plugin interface: parameter blocks, the self-description a plugin fills
// in when loaded, and the entry points it exports with C linkage. Every block
// starts with `size` and `version`, set by whoever builds it; fields not named
// here are zero.
//
// Entry points (exported under these names, each returning int):
//   Load(const LoadArgs*, PluginInfo*)       required. Main thread, once, first.
//       Fill in PluginInfo; return 0 to be loaded, anything else to refuse
//       (the object is closed again and Unload is not called).
//   Open(const OpenArgs*, OpenResult*)       required. Main thread, once, after
//       every plugin is loaded. The result is ignored.
//   Close(const CloseArgs*, CloseResult*)    required. Main thread, once, when
//       the core stops. Afterwards no new event, search or read call starts;
//       searches still running, worker IOCTL and reader Read calls must return
//       promptly. Parent packets (OnIpcResult) may arrive until Unload.
//   Unload(const UnloadArgs*, UnloadResult*) required. Main thread, last, after
//       the core has joined the plugin's worker and reader threads.
//   OnEvent(EventParms*)                     optional. Dispatch thread, once per
//       wanted event. Return non-zero to keep the payload (release it later by
//       posting a "decref" record with the same `data`), 0 to let it go.
//   OnSearch(EventParms*)                    optional. A search thread of the
//       core, once per search request, whatever its type; may block while it
//       posts results. A search may start while Open is still running.
//   Read(const ReadArgs*, void* alwaysNull)  optional. With `asyncRead`: once on
//       the plugin's reader thread, and per search when there is no OnSearch.
//   Write(const WriteArgs*, WriteResult*)    optional. Dispatch thread, instead
//       of OnEvent when the plugin has none and sets `writeEvents`.
//   OnIpcResult(const void* packet, uint32_t length) optional. I/O thread, per
//       packet the parent addresses to this plugin, from Load until Unload;
//       must not block.
//   IOCTL(const IoctlArgs* in, IoctlArgs* out) optional. Worker thread (code 1),
//       dispatch thread (code 2) and I/O thread (code 4), see IoctlCode.
// Results of entry points other than Load and OnEvent are ignored.
#pragma once

#include <cstdint>

#include "trv/core/event_parms.h"

// Marks a plugin's entry-point definitions: C linkage, visible from the
// shared object even when it is built with -fvisibility=hidden.
#define TRV_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace trv::core {

// Capability bits of the per-type words in PluginInfo.
inline constexpr uint32_t WantsLive = 0x02000000u;
inline constexpr uint32_t ServesStored = 0x04000000u;

// The callback a plugin gets in LoadArgs: posts a record to the core from any
// thread and returns the core's answer (0 accepted, 1 refused, 3..5 live media
// dropped, or the answer to a query or crypto request). A null `data` makes
// the core set `dataLen` to 0 first.
using PostEventFn = int (*)(EventParms*);

struct LoadArgs {
  uint32_t size;
  uint32_t version;
  uint32_t reserved;
  PostEventFn postEvent;
  const char* deviceId;  // NUL-terminated, valid for the life of the process
  uint32_t deviceIdLen;
};
inline constexpr uint32_t LoadArgsVersion = 4;

struct PluginInfo {
  uint32_t size;
  uint32_t version;
  uint32_t origin;  // plugin id in bits 16..23, or CoreSource for no id
  uint32_t videoCaps;
  uint32_t audioCaps;
  uint32_t alarmCaps;
  uint32_t ptzCaps;
  uint32_t serialCaps;
  uint32_t closeOrder;  // larger values are closed earlier
  uint32_t logCaps;
  uint32_t reserved40;
  uint32_t posCaps;
  uint32_t analyticCaps;
  uint8_t provideWorker;  // wants a worker thread (IOCTL WorkerThread)
  uint8_t reserved53;
  uint8_t asyncRead;    // wants a reader thread; serves searches through Read
  uint8_t writeEvents;  // events go to Write when there is no OnEvent
  uint8_t reserved56[12];
};
inline constexpr uint32_t PluginInfoVersion = 3;

struct OpenArgs {
  uint32_t size;
  uint32_t version;
  uint32_t reserved[2];
};
using OpenResult = OpenArgs;

struct CloseArgs {
  uint32_t size;
  uint32_t version;
  uint32_t reserved;
};
using CloseResult = CloseArgs;

struct UnloadArgs {
  uint32_t size;
  uint32_t version;
};

struct UnloadResult {
  uint32_t size;
  uint32_t version;
  uint32_t reserved;
};

enum IoctlCode : uint32_t {
  IoctlWorkerThread = 1,  // once, on the worker thread: do the plugin's work
  IoctlConfigEvent = 2,   // a "config" event for a plugin without OnEvent
  IoctlIpcResult = 4,     // a parent packet for a plugin without OnIpcResult
};

// Input and output block of IOCTL share this layout.
struct IoctlArgs {
  uint32_t size;
  uint32_t version;
  uint32_t code;
  uint32_t reserved;
  uint32_t result;  // output of code 2: non-zero keeps the payload
  uint32_t length;
  const void* pointer;
};

struct ReadArgs {
  uint32_t size;
  uint32_t version;
  uint32_t reserved;
  uint8_t request;  // always 1
  uint8_t reserved13[3];
  uint32_t dataLen;  // the search request's payload; 0 on the reader thread
  const void* data;
  uint32_t searchId;
};

// Bytes 8.. of the event record, behind a block header.
struct WriteArgs {
  uint32_t size;
  uint32_t version;
  uint32_t reserved[2];
  uint32_t dataLen;
  void* data;
  uint32_t source;
  uint32_t searchId;
  uint32_t type;
  uint32_t flags;
  uint32_t detailSize;
  uint32_t detailVersion;
  uint8_t detail[EventDetailBytes];
};

struct WriteResult {
  uint32_t size;
  uint32_t version;
  uint32_t reserved[3];
  uint32_t accepted;  // non-zero keeps the payload
};

inline constexpr uint32_t BlockVersion = 1;

using LoadFn = int (*)(const LoadArgs*, PluginInfo*);
using UnloadFn = int (*)(const UnloadArgs*, UnloadResult*);
using OpenFn = int (*)(const OpenArgs*, OpenResult*);
using CloseFn = int (*)(const CloseArgs*, CloseResult*);
using OnIpcResultFn = int (*)(const void*, uint32_t);
using OnEventFn = int (*)(EventParms*);
using OnSearchFn = int (*)(EventParms*);
using ReadFn = int (*)(const ReadArgs*, void*);
using WriteFn = int (*)(const WriteArgs*, WriteResult*);
using IoctlFn = int (*)(const IoctlArgs*, IoctlArgs*);

}  // namespace trv::core
