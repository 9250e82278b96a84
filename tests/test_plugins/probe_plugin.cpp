// A plugin that reports every call of its entry points back through postEvent,
// as a text record, so tests see what the host passed and in which order.
// Built in several variants: the PROBE_* switches choose which optional entry
// points exist and what Load writes into PluginInfo.
#include <trv/core/sdk.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#ifndef PROBE_ORIGIN
#define PROBE_ORIGIN 0
#endif
#ifndef PROBE_LOAD_CODE
#define PROBE_LOAD_CODE 0
#endif
#ifndef PROBE_WORKER
#define PROBE_WORKER 0
#endif
#ifndef PROBE_ASYNC_READ
#define PROBE_ASYNC_READ 0
#endif
#ifndef PROBE_WRITE_EVENTS
#define PROBE_WRITE_EVENTS 0
#endif

using namespace trv::core;

namespace {

PostEventFn post = nullptr;

// Set by Close: the worker and reader calls last until then.
std::mutex closeMutex;
std::condition_variable closeSignal;
bool closed = false;

void report(std::string text) {
  if (!post) return;
  EventParms event = makeEvent(TypeLog, FlagText, PROBE_ORIGIN);
  event.data = text.data();
  event.dataLen = static_cast<uint32_t>(text.size());
  post(&event);
}

// Not std::to_string: its digit table is a GNU unique symbol, and an object
// holding one is never unmapped, which would hide the dlclose report.
std::string number(uint32_t value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%u", value);
  return digits;
}

template <typename Block>
std::string header(const Block& block) {
  return number(block.size) + "/" + number(block.version);
}

[[maybe_unused]] std::string text(const void* data, uint32_t length) {
  if (!data) return "null";
  return std::string(static_cast<const char*>(data), length);
}

// Every field of one IOCTL block, the payload as text.
[[maybe_unused]] std::string ioctlFields(const IoctlArgs& block) {
  return header(block) + " code=" + number(block.code) + " reserved=" + number(block.reserved) +
         " result=" + number(block.result) + " length=" + number(block.length) +
         " data=" + text(block.pointer, block.length);
}

// Payloads starting with "keep" are kept, all others let go.
[[maybe_unused]] bool keeps(const void* data, uint32_t length) {
  return text(data, length).starts_with("keep");
}

[[maybe_unused]] void runUntilClosed(const std::string& name, const std::string& arguments) {
  report(name + "-start " + arguments);
  std::unique_lock lock(closeMutex);
  closeSignal.wait(lock, [] { return closed; });
  lock.unlock();
  report(name + "-end");
}

bool zeroBehindHeader(const PluginInfo& info) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
  return std::all_of(bytes + 8, bytes + sizeof info, [](unsigned char byte) { return byte == 0; });
}

void describe(PluginInfo& info) {
  info.origin = PROBE_ORIGIN;
  info.provideWorker = PROBE_WORKER;
  info.asyncRead = PROBE_ASYNC_READ;
  info.writeEvents = PROBE_WRITE_EVENTS;
#ifdef PROBE_STORED_CAPS
  for (uint32_t PluginInfo::*caps : {PROBE_STORED_CAPS}) info.*caps |= ServesStored;
#endif
}

__attribute__((destructor)) void reportUnmapped() { report("dlclose"); }

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  post = args->postEvent;
  report("Load " + header(*args) + " reserved=" + number(args->reserved) +
         " deviceId=" + args->deviceId + "/" + number(args->deviceIdLen) +
         " info=" + header(*info) + (zeroBehindHeader(*info) ? " zeroed" : " dirty"));
  describe(*info);
  return PROBE_LOAD_CODE;
}

#ifndef PROBE_NO_UNLOAD
TRV_PLUGIN_EXPORT int Unload(const UnloadArgs* args, UnloadResult* result) {
  report("Unload " + header(*args) + " " + header(*result));
  return 0;
}
#endif

TRV_PLUGIN_EXPORT int Open(const OpenArgs* args, OpenResult* result) {
  report("Open " + header(*args) + " " + header(*result));
  return 3;  // ignored by the host
}

#ifndef PROBE_NO_CLOSE
TRV_PLUGIN_EXPORT int Close(const CloseArgs* args, CloseResult* result) {
  report("Close " + header(*args) + " " + header(*result));
  {
    std::lock_guard lock(closeMutex);
    closed = true;
  }
  closeSignal.notify_all();
  return 0;
}
#endif

#ifdef PROBE_ON_EVENT
TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  report("OnEvent type=" + number(event->type) + " data=" + text(event->data, event->dataLen));
  return keeps(event->data, event->dataLen) ? 1 : 0;
}
#endif

#ifdef PROBE_ON_SEARCH
TRV_PLUGIN_EXPORT int OnSearch(EventParms* request) {
  report("OnSearch searchId=" + number(request->searchId) +
         " data=" + text(request->data, request->dataLen));
  return 0;
}
#endif

#ifdef PROBE_READ
TRV_PLUGIN_EXPORT int Read(const ReadArgs* args, void* alwaysNull) {
  const std::string arguments =
      "request=" + number(args->request) + " searchId=" + number(args->searchId) +
      " data=" + text(args->data, args->dataLen) + (alwaysNull ? " second=set" : " second=null");
  if (!args->data) {
    runUntilClosed("reader", arguments);
    return 0;
  }
  report("Read " + arguments);
  return 0;
}
#endif

#ifdef PROBE_WRITE
TRV_PLUGIN_EXPORT int Write(const WriteArgs* args, WriteResult* result) {
  uint32_t level;
  std::memcpy(&level, args->detail, sizeof level);
  report("Write " + header(*args) + " source=" + number(args->source) +
         " searchId=" + number(args->searchId) + " type=" + number(args->type) +
         " flags=" + number(args->flags) + " detail=" + number(args->detailSize) + "/" +
         number(args->detailVersion) + " level=" + number(level) +
         " data=" + text(args->data, args->dataLen) + " result=" + header(*result));
  result->accepted = keeps(args->data, args->dataLen) ? 1 : 0;
  return 0;
}
#endif

#ifdef PROBE_ON_IPC
TRV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  report("OnIpcResult data=" + text(packet, length));
  return 0;
}
#endif

#ifdef PROBE_IOCTL
TRV_PLUGIN_EXPORT int IOCTL(const IoctlArgs* in, IoctlArgs* out) {
  const std::string arguments = "in=" + ioctlFields(*in) + " out=" + ioctlFields(*out);
  if (in->code == IoctlWorkerThread) {
    runUntilClosed("worker", arguments);
    return 0;
  }
  report("IOCTL " + arguments);
  out->result = keeps(in->pointer, in->length) ? 1 : 0;
  return 0;
}
#endif
