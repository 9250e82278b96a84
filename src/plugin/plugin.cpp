#include "plugin/plugin.h"

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

// Calls IOCTL with the payload in the input block; the output block carries
// only the code, so a plugin never finds the caller's payload where it answers.
uint32_t callIoctl(IoctlFn ioctl, IoctlCode code, uint32_t length, const void* pointer) {
  const IoctlArgs in = ioctlBlock(code, length, pointer);
  IoctlArgs out = ioctlBlock(code, 0, nullptr);
  ioctl(&in, &out);
  return out.result;
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

// Counts a call in before it reads an entry point, so that Unload, which
// raises unloading_ before it looks at the count, either sees the call and
// waits for it, or the call sees unloading_ and stays out.
class Plugin::CallPass {
 public:
  explicit CallPass(Plugin& plugin) : plugin_(plugin) {
    plugin_.callsInFlight_.fetch_add(1, std::memory_order_seq_cst);
    admitted_ = !plugin_.unloading_.load(std::memory_order_seq_cst);
  }
  ~CallPass() {
    if (plugin_.callsInFlight_.fetch_sub(1, std::memory_order_seq_cst) == 1) {
      plugin_.callsInFlight_.notify_all();
    }
  }
  CallPass(const CallPass&) = delete;
  CallPass& operator=(const CallPass&) = delete;

  explicit operator bool() const { return admitted_; }

 private:
  Plugin& plugin_;
  bool admitted_;
};

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
  loadFn_.set(entryPoint<LoadFn>(handle_, "Load"));
  unloadFn_.set(entryPoint<UnloadFn>(handle_, "Unload"));
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
  onIpcResultFn_.set(entryPoint<OnIpcResultFn>(handle_, "OnIpcResult"));
  ioctlFn_.set(entryPoint<IoctlFn>(handle_, "IOCTL"));
}

void Plugin::callLoad(PostEventFn postEvent, std::string_view deviceId) {
  auto args = blockOf<LoadArgs>(LoadArgsVersion);
  args.postEvent = postEvent;
  args.deviceId = deviceId.data();
  args.deviceIdLen = static_cast<uint32_t>(deviceId.size());
  const auto start = std::chrono::steady_clock::now();
  loadCode_ = loadFn_.get()(&args, &info_);
  loadTime_ = nanosecondsSince(start);
}

void Plugin::ProvideWorkerThreadIf() {
  // The thread stays joinable until Unload, which also drops IOCTL: one worker per plugin.
  if (!ioctlFn_ || info_.provideWorker == 0 || workerThread_.joinable()) return;
  workerThread_ = std::thread(
      [ioctl = ioctlFn_.get()] { callIoctl(ioctl, IoctlWorkerThread, 0, nullptr); });
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
  openFn_.set(openEntry);
  closeFn_.set(closeEntry);
  onEventFn_.set(entryPoint<OnEventFn>(handle_, "OnEvent"));
  onSearchFn_.set(entryPoint<OnSearchFn>(handle_, "OnSearch"));
  readFn_.set(entryPoint<ReadFn>(handle_, "Read"));
  writeFn_.set(entryPoint<WriteFn>(handle_, "Write"));
  callOpen();
  StartAsyncReaderIf();
}

void Plugin::callOpen() {
  const auto args = blockOf<OpenArgs>();
  auto result = blockOf<OpenResult>();
  const auto start = std::chrono::steady_clock::now();
  // What Open returns does not change how the core treats the plugin.
  openFn_.get()(&args, &result);
  openTime_ = nanosecondsSince(start);
}

void Plugin::StartAsyncReaderIf() {
  // As with the worker: joinable until Unload, when Read is long gone.
  if (!readsAsync() || readerThread_.joinable()) return;
  readerThread_ = std::thread([read = readFn_.get()] {
    const ReadArgs args = readBlock(0, nullptr, 0);
    read(&args, nullptr);
  });
}

bool Plugin::DeliverFromAnyThread(EventParms& event) {
  const CallPass pass(*this);
  return pass && Deliver(event);
}

bool Plugin::Deliver(EventParms& event) {
  if (const auto onEvent = onEventFn_.get()) return onEvent(&event) != 0;
  // Only the plain type: a config record with the modifier bit is an ordinary event.
  if (event.type == TypeConfig) return deliverConfig(event);
  const auto writeEntry = writeFn_.get();
  if (writeEntry && info_.writeEvents != 0) return write(writeEntry, event);
  return false;
}

bool Plugin::deliverConfig(const EventParms& event) {
  const auto ioctl = ioctlFn_.get();
  if (!ioctl) return false;
  return callIoctl(ioctl, IoctlConfigEvent, event.dataLen, event.data) != 0;
}

bool Plugin::write(WriteFn writeEntry, const EventParms& event) {
  const WriteArgs args = writeBlock(event);
  auto result = blockOf<WriteResult>();
  writeEntry(&args, &result);
  return result.accepted != 0;
}

void Plugin::Search(EventParms& request) {
  const CallPass pass(*this);
  if (!pass) return;
  if (const auto onSearch = onSearchFn_.get()) {
    onSearch(&request);
    return;
  }
  // Read pointer loaded once: Close may clear it meanwhile.
  const auto read = readFn_.get();
  if (!read || info_.asyncRead == 0) return;
  const ReadArgs args = readBlock(request.dataLen, request.data, request.searchId);
  read(&args, nullptr);
}

void Plugin::IpcResult(uint32_t length, const void* packet) {
  const CallPass pass(*this);
  if (!pass) return;
  if (const auto onIpcResult = onIpcResultFn_.get()) {
    onIpcResult(packet, length);
    return;
  }
  if (const auto ioctl = ioctlFn_.get()) callIoctl(ioctl, IoctlIpcResult, length, packet);
}

void Plugin::Close() {
  if (closeFn_) {
    const auto args = blockOf<CloseArgs>();
    auto result = blockOf<CloseResult>();
    closeFn_.get()(&args, &result);
  }
  openFn_.set(nullptr);
  closeFn_.set(nullptr);
  onEventFn_.set(nullptr);
  onSearchFn_.set(nullptr);
  readFn_.set(nullptr);
  writeFn_.set(nullptr);
}

void Plugin::Unload() {
  // Close told the threads and searches to finish; the plugin's code must
  // stay mapped until they have.
  joinIfStarted(readerThread_);
  joinIfStarted(workerThread_);
  unloading_.store(true, std::memory_order_seq_cst);
  for (uint32_t calls; (calls = callsInFlight_.load(std::memory_order_seq_cst)) != 0;) {
    callsInFlight_.wait(calls);
  }
  if (unloadFn_) {
    const auto args = blockOf<UnloadArgs>();
    auto result = blockOf<UnloadResult>();
    unloadFn_.get()(&args, &result);
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
  loadFn_.set(nullptr);
  unloadFn_.set(nullptr);
  openFn_.set(nullptr);
  closeFn_.set(nullptr);
  onIpcResultFn_.set(nullptr);
  onEventFn_.set(nullptr);
  onSearchFn_.set(nullptr);
  readFn_.set(nullptr);
  writeFn_.set(nullptr);
  ioctlFn_.set(nullptr);
  handle_.close();
}

}  // namespace trv::core
