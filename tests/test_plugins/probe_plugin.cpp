// A plugin that reports every call of its entry points back through postEvent,
// as a text record, so tests see what the host passed and in which order.
// Every variant asks for a worker thread and for events through Write.
// Variants differ in what Load reports (PROBE_ORIGIN, PROBE_STORED stored
// media, PROBE_ASYNC_READ, PROBE_LOAD_CODE) and in the entry points they leave
// out, which their build renames.
#include <trv/core/sdk.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

using namespace trv::core;

namespace {

PostEventFn post = nullptr;
// Set by Close: the reader's Read and the worker's IOCTL last until then. Not
// an atomic wait: its waiter pool is a GNU unique symbol, like the digit table.
std::mutex closeMutex;
std::condition_variable closeSignal;
bool closed = false;
// What those two calls were given, added as they return; Unload reports both.
std::string readerCalls, workerCalls;

// Posts `text` once Load has passed the callback. Entries whose result the host
// ignores return the answer, which the tests make non-zero.
int report(std::string text) {
  EventParms event = makeEvent(TypeLog, FlagText, PROBE_ORIGIN);
  event.data = text.data();
  event.dataLen = static_cast<uint32_t>(text.size());
  return post ? post(&event) : 0;
}

// Not std::to_string: its digit table is a GNU unique symbol, and an object
// holding one is never unmapped, which would hide the dlclose report.
std::string number(uint32_t value) {
  char digits[16];
  return {digits, static_cast<size_t>(std::snprintf(digits, sizeof digits, "%u", value))};
}

// A block's version, after a "!" when its size word does not match the block.
std::string header(const auto& block) {
  return (block.size == sizeof block ? "v" : "!v") + number(block.version);
}

std::string text(const void* data, uint32_t size) { return {static_cast<const char*>(data), size}; }

// Payloads starting with "keep" are kept, all others let go.
uint32_t keeps(const void* data, uint32_t length) { return text(data, length).starts_with("keep"); }

std::string ioctlFields(const IoctlArgs& args) {
  return header(args) + " code=" + number(args.code) + " data=" + text(args.pointer, args.length);
}

int runUntilClosed(std::string& calls, const std::string& arguments) {
  std::unique_lock lock(closeMutex);
  closeSignal.wait(lock, [] { return closed; });
  calls += arguments;
  return 0;
}

__attribute__((destructor)) void reportUnmapped() { report("dlclose"); }

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  post = args->postEvent;
  report("Load " + header(*args) + " reserved=" + number(args->reserved) + " deviceId=" +
         args->deviceId + "/" + number(args->deviceIdLen) + " info=" + header(*info));
  info->origin = PROBE_ORIGIN;
  info->*(&PluginInfo::PROBE_STORED) |= ServesStored;
  info->asyncRead = PROBE_ASYNC_READ;
  info->provideWorker = info->writeEvents = 1;
  return PROBE_LOAD_CODE;
}

TRV_PLUGIN_EXPORT int Unload(const UnloadArgs* args, UnloadResult* result) {
  return report("Unload " + header(*args) + " " + header(*result) + readerCalls + workerCalls);
}

TRV_PLUGIN_EXPORT int Open(const OpenArgs* args, OpenResult* result) {
  return report("Open " + header(*args) + " " + header(*result));
}

TRV_PLUGIN_EXPORT int Close(const CloseArgs* args, CloseResult* result) {
  const std::lock_guard lock(closeMutex);
  closed = true;
  closeSignal.notify_all();
  return report("Close " + header(*args) + " " + header(*result));
}

TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  report("OnEvent type=" + number(event->type) + " data=" + text(event->data, event->dataLen));
  return static_cast<int>(keeps(event->data, event->dataLen));
}

TRV_PLUGIN_EXPORT int Write(const WriteArgs* args, WriteResult* result) {
  result->accepted = keeps(args->data, args->dataLen);
  return report("Write " + header(*args) + " " + header(*result) +
                " source=" + number(args->source) + " search=" + number(args->searchId) +
                " flags=" + number(args->flags) + " detail=" + number(args->detailSize) + "/" +
                number(args->detailVersion) + " level=" + number(args->detail[0]) +
                " type=" + number(args->type) + " data=" + text(args->data, args->dataLen));
}

TRV_PLUGIN_EXPORT int OnSearch(EventParms* request) {
  return report("OnSearch data=" + text(request->data, request->dataLen));
}

TRV_PLUGIN_EXPORT int Read(const ReadArgs* args, void* second) {
  const std::string arguments = "request=" + number(args->request) + " search=" +
      number(args->searchId) + " data=" + text(args->data, args->dataLen) + (second ? " set" : "");
  if (!args->data) return runUntilClosed(readerCalls, " reader " + arguments);
  return report("Read " + arguments);
}

TRV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  return report("OnIpcResult data=" + text(packet, length));
}

TRV_PLUGIN_EXPORT int IOCTL(const IoctlArgs* in, IoctlArgs* out) {
  const std::string arguments = "in=" + ioctlFields(*in) + " out=" + ioctlFields(*out);
  if (in->code == IoctlWorkerThread) return runUntilClosed(workerCalls, " worker " + arguments);
  out->result = keeps(in->pointer, in->length);
  return report("IOCTL " + arguments);
}
