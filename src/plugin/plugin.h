// One plugin shared object in the core: its entry points, the worker and reader
// threads the core lends it, and the outcome of loading and opening it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "plugin/shared_object.h"
#include "trv/core/event_parms.h"
#include "trv/core/plugin_abi.h"

namespace trv::core {

// An entry-point pointer that other threads may read while the host clears it.
template <typename Fn>
class EntryPoint {
 public:
  Fn get() const { return fn_.load(std::memory_order_relaxed); }
  void set(Fn fn) { fn_.store(fn, std::memory_order_relaxed); }
  explicit operator bool() const { return get() != nullptr; }

 private:
  std::atomic<Fn> fn_{nullptr};
};

// Always owned through std::shared_ptr. The host sequences Create, Open, Close
// and Unload on the main thread; Deliver, Search and IpcResult may run on other
// threads meanwhile, and Unload waits for them to leave the plugin's code
// before it unloads it. Holds no lock.
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

  // Main thread (the dispatch loop): hands `event` to the plugin; true when
  // it keeps the payload. The thread that unloads plugins needs no guard.
  bool Deliver(EventParms& event);

  // Deliver for any other thread, kept out of a plugin that is being unloaded.
  bool DeliverFromAnyThread(EventParms& event);

  // Search thread: passes a search request to OnSearch, or to Read of an asynchronous reader.
  void Search(EventParms& request);

  // I/O thread: passes a packet from the parent to OnIpcResult, or to IOCTL.
  void IpcResult(uint32_t length, const void* packet);

  // Main thread: calls Close and drops the entry points that serve events and searches.
  void Close();

  // Main thread: joins the reader and worker threads, waits for calls still
  // inside the plugin (searches, packets, events), calls Unload and closes
  // the object. Later calls find no entry point.
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
  bool isOpen() const { return static_cast<bool>(openFn_); }
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
  bool write(WriteFn writeEntry, const EventParms& event);
  bool readsAsync() const;
  void release();

  // Admits a call into the plugin's code unless it is being unloaded.
  class CallPass;

  SharedObject handle_;
  EntryPoint<LoadFn> loadFn_;
  EntryPoint<UnloadFn> unloadFn_;
  EntryPoint<OpenFn> openFn_;
  EntryPoint<CloseFn> closeFn_;
  EntryPoint<OnIpcResultFn> onIpcResultFn_;
  EntryPoint<OnEventFn> onEventFn_;
  EntryPoint<OnSearchFn> onSearchFn_;
  EntryPoint<ReadFn> readFn_;
  EntryPoint<WriteFn> writeFn_;
  EntryPoint<IoctlFn> ioctlFn_;
  std::thread workerThread_;
  std::thread readerThread_;
  PluginInfo info_;
  std::string fileName_;
  int32_t loadCode_ = 0;
  int32_t openCode_ = 0;
  int64_t loadTime_ = 0;
  int64_t openTime_ = 0;
  std::string errorText_;
  std::atomic<uint32_t> callsInFlight_{0};
  std::atomic<bool> unloading_{false};
};

}  // namespace trv::core
