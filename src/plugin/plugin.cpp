#include "plugin.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace trv::core {
namespace {

// Codes recorded when the host itself turns the object down.
constexpr int32_t NotLoadable = 79;
constexpr int32_t MissingLoadOrUnload = -101;
constexpr int32_t MissingOpenOrClose = -102;

// The stored caps that let a reader answer searches; ptz and serial have no store.
constexpr uint32_t PluginInfo::*StoredMediaCaps[] = {
    &PluginInfo::videoCaps, &PluginInfo::audioCaps, &PluginInfo::alarmCaps,
    &PluginInfo::logCaps,   &PluginInfo::posCaps,   &PluginInfo::analyticCaps,
};

template <typename Fn>
Fn entryPoint(const SharedObject& object, const char* name) {
  return reinterpret_cast<Fn>(object.symbol(name));
}

// A parameter block with its header set and every other field zero.
template <typename Block>
Block blockOf(uint32_t version = BlockVersion) {
  Block block{};
  block.size = sizeof(Block);
  block.version = version;
  return block;
}

IoctlArgs ioctlBlock(IoctlCode code, uint32_t length, const void* pointer) {
  auto args = blockOf<IoctlArgs>();
  args.code = code;
  args.length = length;
  args.pointer = pointer;
  return args;
}

ReadArgs readBlock(uint32_t dataLen, const void* data, uint32_t searchId) {
  auto args = blockOf<ReadArgs>();
  args.request = 1;
  args.dataLen = dataLen;
  args.data = data;
  args.searchId = searchId;
  return args;
}

WriteArgs writeBlock(const EventParms& event) {
  auto args = blockOf<WriteArgs>();
  args.dataLen = event.dataLen;
  args.data = event.data;
  args.source = event.source;
  args.searchId = event.searchId;
  args.type = event.type;
  args.flags = event.flags;
  args.detailSize = event.detailSize;
  args.detailVersion = event.detailVersion;
  std::ranges::copy(event.detail, args.detail);
  return args;
}

int64_t nanosecondsSince(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
}

void joinIfStarted(std::thread& thread) {
  if (thread.joinable()) thread.join();
}

}  // namespace

Plugin::Plugin(std::string fileName)
    : info_(blockOf<PluginInfo>(PluginInfoVersion)), fileName_(std::move(fileName)) {}

Plugin::~Plugin() {
  Close();
  Unload();
}

std::shared_ptr<Plugin> Plugin::Create(const std::filesystem::path& path, PostEventFn postEvent,
                                       std::string_view deviceId) {
  std::shared_ptr<Plugin> plugin(new Plugin(path.filename().string()));
  plugin->load(path, postEvent, deviceId);
  return plugin;
}

void Plugin::load(const std::filesystem::path& path, PostEventFn postEvent,
                  std::string_view deviceId) {
  if (std::string failure = handle_.open(path); !failure.empty()) {
    loadCode_ = NotLoadable;
    errorText_ = std::move(failure);
    return;
  }
  loadFn_ = entryPoint<LoadFn>(handle_, "Load");
  unloadFn_ = entryPoint<UnloadFn>(handle_, "Unload");
  if (!loadFn_ || !unloadFn_) {
    loadCode_ = MissingLoadOrUnload;
    errorText_ = "missing Load()/Unload()";
    release();
    return;
  }
  callLoad(postEvent, deviceId);
  if (loadCode_ != 0) {
    // A plugin that refused to load never started, so Unload is not owed.
    errorText_ = fmt::format("load code {}", loadCode_);
    release();
    return;
  }
  onIpcResultFn_ = entryPoint<OnIpcResultFn>(handle_, "OnIpcResult");
  ioctlFn_ = entryPoint<IoctlFn>(handle_, "IOCTL");
}

void Plugin::callLoad(PostEventFn postEvent, std::string_view deviceId) {
  auto args = blockOf<LoadArgs>(LoadArgsVersion);
  args.postEvent = postEvent;
  args.deviceId = deviceId.data();
  args.deviceIdLen = static_cast<uint32_t>(deviceId.size());
  const auto start = std::chrono::steady_clock::now();
  loadCode_ = loadFn_(&args, &info_);
  loadTime_ = nanosecondsSince(start);
}

void Plugin::ProvideWorkerThreadIf() {
  // The thread stays joinable until Unload, which also drops IOCTL: one worker per plugin.
  if (!ioctlFn_ || info_.provideWorker == 0 || workerThread_.joinable()) return;
  workerThread_ = std::thread([ioctl = ioctlFn_] {
    const IoctlArgs in = ioctlBlock(IoctlWorkerThread, 0, nullptr);
    IoctlArgs out = in;
    ioctl(&in, &out);
  });
}

void Plugin::Open() {
  if (openFn_) return;
  const auto openEntry = entryPoint<OpenFn>(handle_, "Open");
  const auto closeEntry = entryPoint<CloseFn>(handle_, "Close");
  if (!openEntry || !closeEntry) {
    openCode_ = MissingOpenOrClose;
    errorText_ = "missing Open()/Close()";
    return;
  }
  openFn_ = openEntry;
  closeFn_ = closeEntry;
  onEventFn_ = entryPoint<OnEventFn>(handle_, "OnEvent");
  onSearchFn_ = entryPoint<OnSearchFn>(handle_, "OnSearch");
  readFn_ = entryPoint<ReadFn>(handle_, "Read");
  writeFn_ = entryPoint<WriteFn>(handle_, "Write");
  callOpen();
  StartAsyncReaderIf();
}

void Plugin::callOpen() {
  const auto args = blockOf<OpenArgs>();
  auto result = blockOf<OpenResult>();
  const auto start = std::chrono::steady_clock::now();
  // What Open returns does not change how the core treats the plugin.
  openFn_(&args, &result);
  openTime_ = nanosecondsSince(start);
}

void Plugin::StartAsyncReaderIf() {
  // As with the worker: joinable until Unload, when Read is long gone.
  if (!readsAsync() || readerThread_.joinable()) return;
  readerThread_ = std::thread([read = readFn_] {
    const ReadArgs args = readBlock(0, nullptr, 0);
    read(&args, nullptr);
  });
}

bool Plugin::Deliver(EventParms& event) {
  if (onEventFn_) return onEventFn_(&event) != 0;
  // Only the plain type: a config record with the modifier bit is an ordinary event.
  if (event.type == TypeConfig) return deliverConfig(event);
  if (writeFn_ && info_.writeEvents != 0) return write(event);
  return false;
}

bool Plugin::deliverConfig(const EventParms& event) {
  if (!ioctlFn_) return false;
  const IoctlArgs in = ioctlBlock(IoctlConfigEvent, event.dataLen, event.data);
  IoctlArgs out = in;
  ioctlFn_(&in, &out);
  return out.result != 0;
}

bool Plugin::write(const EventParms& event) {
  const WriteArgs args = writeBlock(event);
  auto result = blockOf<WriteResult>();
  writeFn_(&args, &result);
  return result.accepted != 0;
}

void Plugin::Search(EventParms& request) {
  if (onSearchFn_) {
    onSearchFn_(&request);
    return;
  }
  if (!readsAsync()) return;
  const ReadArgs args = readBlock(request.dataLen, request.data, request.searchId);
  readFn_(&args, nullptr);
}

void Plugin::IpcResult(uint32_t length, const void* packet) {
  if (onIpcResultFn_) {
    onIpcResultFn_(packet, length);
    return;
  }
  if (!ioctlFn_) return;
  const IoctlArgs in = ioctlBlock(IoctlIpcResult, length, packet);
  IoctlArgs out = in;
  ioctlFn_(&in, &out);
}

void Plugin::Close() {
  if (closeFn_) {
    const auto args = blockOf<CloseArgs>();
    auto result = blockOf<CloseResult>();
    closeFn_(&args, &result);
  }
  openFn_ = nullptr;
  closeFn_ = nullptr;
  onEventFn_ = nullptr;
  onSearchFn_ = nullptr;
  readFn_ = nullptr;
  writeFn_ = nullptr;
}

void Plugin::Unload() {
  // Close told the threads to finish; the plugin's code must stay mapped until they have.
  joinIfStarted(readerThread_);
  joinIfStarted(workerThread_);
  if (unloadFn_) {
    const auto args = blockOf<UnloadArgs>();
    auto result = blockOf<UnloadResult>();
    unloadFn_(&args, &result);
  }
  release();
}

bool Plugin::servesSearches() const {
  if (onSearchFn_) return true;
  if (!readsAsync()) return false;
  return std::ranges::any_of(StoredMediaCaps,
                             [this](auto caps) { return (info_.*caps & ServesStored) != 0; });
}

bool Plugin::readsAsync() const { return readFn_ && info_.asyncRead != 0; }

void Plugin::release() {
  loadFn_ = nullptr;
  unloadFn_ = nullptr;
  openFn_ = nullptr;
  closeFn_ = nullptr;
  onIpcResultFn_ = nullptr;
  onEventFn_ = nullptr;
  onSearchFn_ = nullptr;
  readFn_ = nullptr;
  writeFn_ = nullptr;
  ioctlFn_ = nullptr;
  handle_.close();
}

}  // namespace trv::core
