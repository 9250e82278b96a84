// One plugin shared object in the core: its entry points, the worker and reader
// threads the core lends it, and the outcome of loading and opening it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "shared_object.h"
#include "trv/core/event_parms.h"
#include "trv/core/plugin_abi.h"

namespace trv::core {

// Always owned through std::shared_ptr. Holds no locks: the host sequences
// Create, Open, Close and Unload on the main thread and stops calling Deliver,
// Search and IpcResult before Close.
class Plugin {
 public:
  // Main thread: opens the object at `path` and calls its Load; every failure
  // is recorded in the returned plugin, none is thrown. `deviceId` must be
  // NUL-terminated and outlive the process.
  static std::shared_ptr<Plugin> Create(const std::filesystem::path& path, PostEventFn postEvent,
                                        std::string_view deviceId);

  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // Owner's thread: closes and unloads whatever is still open.
  ~Plugin();

  // Main thread: starts the worker thread, once, for a plugin that asks for one and has IOCTL.
  void ProvideWorkerThreadIf();

  // Main thread: binds the event entry points and calls Open, at most once.
  void Open();

  // Main thread: starts the reader thread, once, for a plugin that reads asynchronously.
  void StartAsyncReaderIf();

  // Dispatch thread: hands `event` to the plugin; true when it keeps the payload.
  bool Deliver(EventParms& event);

  // Search thread: passes a search request to OnSearch, or to Read of an asynchronous reader.
  void Search(EventParms& request);

  // I/O thread: passes a packet from the parent to OnIpcResult, or to IOCTL.
  void IpcResult(uint32_t length, const void* packet);

  // Main thread: calls Close and drops the entry points that serve events and searches.
  void Close();

  // Main thread: joins the reader and worker threads, calls Unload and closes the object.
  void Unload();

  // What Load filled in; size and version preset, the rest zero until then.
  const PluginInfo& info() const { return info_; }
  // Last component of the path the plugin was created from.
  const std::string& fileName() const { return fileName_; }
  // Result of Load, or why the host refused the object (79, -101).
  int32_t loadCode() const { return loadCode_; }
  // 0, or -102 when Open or Close is missing.
  int32_t openCode() const { return openCode_; }
  // Duration of the Load call in nanoseconds.
  int64_t loadTime() const { return loadTime_; }
  // Duration of the Open call in nanoseconds.
  int64_t openTime() const { return openTime_; }
  // Why loading or opening failed; empty when neither did.
  const std::string& errorText() const { return errorText_; }
  // The shared object is open.
  bool isLoaded() const { return handle_.isOpen(); }
  // Open was called and Close was not.
  bool isOpen() const { return openFn_ != nullptr; }
  // Plugin id of the origin word; 0 for an origin of the core.
  uint8_t id() const { return pluginIdOf(info_.origin); }
  // File name up to its first '.'.
  std::string displayName() const { return fileName_.substr(0, fileName_.find('.')); }
  // Both claim the core's origin, or neither does and the plugin ids match.
  bool sameId(const Plugin& other) const { return sameOrigin(info_.origin, other.info_.origin); }
  // Answers searches: through OnSearch, or through Read for stored media of some type.
  bool servesSearches() const;

 private:
  explicit Plugin(std::string fileName);

  void load(const std::filesystem::path& path, PostEventFn postEvent, std::string_view deviceId);
  void callLoad(PostEventFn postEvent, std::string_view deviceId);
  void callOpen();
  bool deliverConfig(const EventParms& event);
  bool write(const EventParms& event);
  bool readsAsync() const;
  void release();

  SharedObject handle_;
  LoadFn loadFn_ = nullptr;
  UnloadFn unloadFn_ = nullptr;
  OpenFn openFn_ = nullptr;
  CloseFn closeFn_ = nullptr;
  OnIpcResultFn onIpcResultFn_ = nullptr;
  OnEventFn onEventFn_ = nullptr;
  OnSearchFn onSearchFn_ = nullptr;
  ReadFn readFn_ = nullptr;
  WriteFn writeFn_ = nullptr;
  IoctlFn ioctlFn_ = nullptr;
  std::thread workerThread_;
  std::thread readerThread_;
  PluginInfo info_;
  std::string fileName_;
  int32_t loadCode_ = 0;
  int32_t openCode_ = 0;
  int64_t loadTime_ = 0;
  int64_t openTime_ = 0;
  std::string errorText_;
};

}  // namespace trv::core
