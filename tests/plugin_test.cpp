#include "plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace trv::core {
namespace {

using Texts = std::vector<std::string>;

constexpr std::string_view deviceId = "cam-0042";

// Every text the plugins posted, in order; they post from their own threads too.
std::mutex postedMutex;
Texts postedTexts;

int recordPost(EventParms* event) {
  std::lock_guard lock(postedMutex);
  postedTexts.emplace_back(static_cast<const char*>(event->data), event->dataLen);
  return 0;
}

Texts takePosted() {
  std::lock_guard lock(postedMutex);
  return std::exchange(postedTexts, {});
}

// What was posted from calls made on the test's thread, without the reports of
// the worker and reader threads, whose timing is their own.
Texts takeEntryCalls() {
  Texts texts = takePosted();
  std::erase_if(texts, [](const std::string& text) {
    return text.starts_with("reader-") || text.starts_with("worker-");
  });
  return texts;
}

// `expected` occur in `posted` in this order, possibly with others between.
bool appearInOrder(const Texts& posted, const Texts& expected) {
  auto next = posted.begin();
  for (const auto& text : expected) {
    next = std::find(next, posted.end(), text);
    if (next == posted.end()) return false;
    ++next;
  }
  return true;
}

std::filesystem::path pluginPath(std::string_view fileName) {
  return std::filesystem::path(TRV_TEST_BINARY_DIR) / "test_plugins" / fileName;
}

std::shared_ptr<Plugin> create(std::string_view fileName) {
  takePosted();
  return Plugin::Create(pluginPath(fileName), recordPost, deviceId);
}

std::shared_ptr<Plugin> opened(std::string_view fileName) {
  auto plugin = create(fileName);
  plugin->Open();
  takePosted();
  return plugin;
}

// A text record of `type` from plugin 9 carrying `payload`, which must outlive it.
EventParms textEvent(uint32_t type, std::string& payload) {
  EventParms event = makeEvent(type, FlagText, originOfPlugin(9));
  event.data = payload.data();
  event.dataLen = static_cast<uint32_t>(payload.size());
  return event;
}

bool deliver(Plugin& plugin, uint32_t type, std::string payload) {
  EventParms event = textEvent(type, payload);
  return plugin.Deliver(event);
}

void search(Plugin& plugin, std::string query, uint32_t searchId) {
  EventParms request = textEvent(TypeAlarm, query);
  request.searchId = searchId;
  plugin.Search(request);
}

std::string blockHeader(size_t size) { return std::to_string(size) + "/1"; }

// The probe's report of both IOCTL blocks: the payload goes in the input
// block only, the output block is empty but for its code.
std::string ioctlBlocks(uint32_t code, uint32_t length, std::string_view data) {
  const std::string head =
      blockHeader(sizeof(IoctlArgs)) + " code=" + std::to_string(code) + " reserved=0 result=0";
  return "in=" + head + " length=" + std::to_string(length) + " data=" + std::string(data) +
         " out=" + head + " length=0 data=null";
}

// Close ran first; both threads ended after it and before Unload; the object was unmapped last.
void expectClosedJoinedUnloadedUnmapped(const Texts& posted) {
  ASSERT_FALSE(posted.empty());
  for (const char* threadEnd : {"worker-end", "reader-end"}) {
    EXPECT_TRUE(appearInOrder(posted, {"Close 12/1 12/1", threadEnd, "Unload 8/1 12/1", "dlclose"}))
        << testing::PrintToString(posted);
  }
  EXPECT_EQ(posted.back(), "dlclose");
}

TEST(PluginLoad, LoaderFailuresAreRecordedWithTheLoadersReason) {
  const std::pair<std::string_view, std::string_view> refusals[] = {
      {"not_elf.so", ": invalid ELF header"},
      {"Unresolved.so", ": undefined symbol: trvNowhere"},
      {"Absent.so", ": cannot open shared object file: No such file or directory"},
  };
  for (const auto& [fileName, reason] : refusals) {
    SCOPED_TRACE(fileName);
    const auto plugin = create(fileName);
    EXPECT_EQ(plugin->loadCode(), 79);
    EXPECT_EQ(plugin->errorText(), pluginPath(fileName).string() + std::string(reason));
    EXPECT_FALSE(plugin->isLoaded());
    EXPECT_EQ(plugin->fileName(), fileName);
    EXPECT_EQ(plugin->info().size, 68u);
    EXPECT_EQ(plugin->info().version, 3u);
    // Without an object there is no Open or Close either.
    plugin->Open();
    EXPECT_EQ(plugin->openCode(), -102);
    EXPECT_EQ(plugin->errorText(), "missing Open()/Close()");
  }
}

TEST(PluginLoad, MissingUnloadRefusesTheObjectBeforeLoad) {
  const auto plugin = create("ProbeNoUnload.so");
  EXPECT_EQ(plugin->loadCode(), -101);
  EXPECT_EQ(plugin->errorText(), "missing Load()/Unload()");
  EXPECT_FALSE(plugin->isLoaded());
  EXPECT_EQ(takePosted(), Texts{});
}

TEST(PluginLoad, RefusingLoadClosesTheObjectWithoutUnload) {
  auto plugin = create("ProbeRefused.so");
  EXPECT_EQ(plugin->loadCode(), 7);
  EXPECT_EQ(plugin->errorText(), "load code 7");
  EXPECT_FALSE(plugin->isLoaded());
  plugin.reset();
  const Texts posted = takePosted();
  ASSERT_EQ(posted.size(), 2u) << testing::PrintToString(posted);
  EXPECT_TRUE(posted[0].starts_with("Load ")) << posted[0];
  EXPECT_EQ(posted[1], "dlclose");
}

TEST(PluginLoad, LoadGetsCallbackDeviceIdAndPresetInfo) {
  const auto plugin = create("ProbeFull.so");
  EXPECT_EQ(plugin->loadCode(), 0);
  EXPECT_EQ(plugin->errorText(), "");
  EXPECT_TRUE(plugin->isLoaded());
  EXPECT_FALSE(plugin->isOpen());
  EXPECT_GT(plugin->loadTime(), 0);
  EXPECT_EQ(plugin->info().origin, 0x00050000u);
  // The report arriving at all shows Load got the test's postEvent.
  EXPECT_EQ(takePosted(), Texts{"Load " + std::to_string(sizeof(LoadArgs)) +
                                "/4 reserved=0 deviceId=cam-0042/8 info=68/3 zeroed"});
}

TEST(PluginOpen, OpensOnceAndIgnoresWhatOpenReturns) {
  const auto plugin = create("ProbeQuiet.so");
  takePosted();
  plugin->Open();
  plugin->Open();
  EXPECT_EQ(takePosted(), Texts{"Open 16/1 16/1"});
  EXPECT_TRUE(plugin->isOpen());
  EXPECT_EQ(plugin->openCode(), 0);
  EXPECT_EQ(plugin->errorText(), "");
  EXPECT_GT(plugin->openTime(), 0);
}

TEST(PluginOpen, MissingCloseLeavesThePluginUnopenedAndDeaf) {
  const auto plugin = create("ProbeNoClose.so");
  takePosted();
  plugin->Open();
  EXPECT_EQ(plugin->openCode(), -102);
  EXPECT_EQ(plugin->errorText(), "missing Open()/Close()");
  EXPECT_FALSE(plugin->isOpen());
  EXPECT_FALSE(deliver(*plugin, TypeLog, "keep"));
  // Neither Open nor OnEvent nor Write ran.
  EXPECT_EQ(takePosted(), Texts{});
}

TEST(PluginDeliver, OnEventTakesEverythingAndDecidesKeeping) {
  const auto plugin = opened("ProbeFull.so");
  EXPECT_TRUE(deliver(*plugin, TypeLog, "keep-1"));
  EXPECT_FALSE(deliver(*plugin, TypeLog, "drop-2"));
  EXPECT_TRUE(deliver(*plugin, TypeConfig, "keep-3"));
  EXPECT_EQ(takeEntryCalls(), (Texts{"OnEvent type=64 data=keep-1", "OnEvent type=64 data=drop-2",
                                     "OnEvent type=256 data=keep-3"}));
}

TEST(PluginDeliver, ConfigWithoutOnEventGoesToIoctlButModifiedConfigDoesNot) {
  const auto plugin = opened("ProbeConfig.so");
  EXPECT_TRUE(deliver(*plugin, TypeConfig, "keep-config"));
  EXPECT_FALSE(deliver(*plugin, TypeConfig, "drop-config"));
  EXPECT_TRUE(deliver(*plugin, TypeConfig | TypeModifier, "keep-modified"));
  const Texts posted = takePosted();
  ASSERT_EQ(posted.size(), 3u) << testing::PrintToString(posted);
  EXPECT_EQ(posted[0], "IOCTL " + ioctlBlocks(2, 11, "keep-config"));
  EXPECT_EQ(posted[1], "IOCTL " + ioctlBlocks(2, 11, "drop-config"));
  EXPECT_TRUE(posted[2].starts_with("Write ")) << posted[2];
}

TEST(PluginDeliver, WriteGetsACopyOfTheRecordAndDecidesKeeping) {
  const auto plugin = opened("ProbeWrite.so");
  std::string payload = "keep-write";
  EventParms event = textEvent(TypeLog, payload);
  event.searchId = 77;
  setLogLevel(event, 3);
  EXPECT_TRUE(plugin->Deliver(event));
  EXPECT_FALSE(deliver(*plugin, TypeAlarm, "drop-write"));
  const std::string head = "Write " + blockHeader(sizeof(WriteArgs)) + " source=589824 ";
  EXPECT_EQ(
      takePosted(),
      (Texts{head + "searchId=77 type=64 flags=2 detail=152/1 level=3 data=keep-write result=24/1",
             head + "searchId=0 type=4 flags=2 detail=152/1 level=0 data=drop-write result=24/1"}));
}

TEST(PluginDeliver, WithoutAnEntryForTheEventNothingIsDelivered) {
  const auto notWriting = opened("ProbeQuiet.so");  // Write without writeEvents
  const auto writer = opened("ProbeWrite.so");
  EXPECT_FALSE(deliver(*notWriting, TypeLog, "keep"));
  // Config needs OnEvent or IOCTL; Write does not stand in, whatever writeEvents says.
  EXPECT_FALSE(deliver(*writer, TypeConfig, "keep"));
  EXPECT_EQ(takePosted(), Texts{});
}

TEST(PluginDeliver, ClosedPluginGetsNoEventsOrSearches) {
  const auto plugin = opened("ProbeFull.so");
  plugin->Close();
  EXPECT_FALSE(plugin->isOpen());
  EXPECT_FALSE(deliver(*plugin, TypeLog, "keep"));
  search(*plugin, "alarm", 1);
  EXPECT_EQ(takeEntryCalls(), Texts{"Close 12/1 12/1"});
}

TEST(PluginThreads, WorkerAndReaderRunOnceAndEndBeforeUnload) {
  auto plugin = create("ProbeFull.so");
  plugin->ProvideWorkerThreadIf();
  plugin->ProvideWorkerThreadIf();
  plugin->Open();
  plugin->StartAsyncReaderIf();
  plugin->Close();
  plugin->Unload();
  EXPECT_FALSE(plugin->isLoaded());
  plugin.reset();  // nothing is left to close or unload
  const Texts posted = takePosted();
  const std::string workerStart = "worker-start " + ioctlBlocks(1, 0, "null");
  const std::string readerStart = "reader-start request=1 searchId=0 data=null second=null";
  EXPECT_EQ(std::ranges::count(posted, workerStart), 1) << testing::PrintToString(posted);
  EXPECT_EQ(std::ranges::count(posted, readerStart), 1) << testing::PrintToString(posted);
  EXPECT_EQ(std::ranges::count(posted, "Close 12/1 12/1"), 1);
  EXPECT_EQ(std::ranges::count(posted, "Unload 8/1 12/1"), 1);
  expectClosedJoinedUnloadedUnmapped(posted);
}

TEST(PluginThreads, DestroyingAnOpenPluginClosesJoinsAndUnloadsInOrder) {
  auto plugin = create("ProbeFull.so");
  plugin->ProvideWorkerThreadIf();
  plugin->Open();
  takePosted();
  plugin.reset();
  expectClosedJoinedUnloadedUnmapped(takePosted());
}

TEST(PluginThreads, ReaderNeedsReadAndAsyncReadAndWorkerNeedsIoctl) {
  // ProbeNoReader asks for both threads but has neither Read nor IOCTL;
  // ProbeQuiet has Read but does not ask for asynchronous reading.
  for (const std::string_view fileName : {"ProbeNoReader.so", "ProbeQuiet.so"}) {
    SCOPED_TRACE(fileName);
    auto plugin = create(fileName);
    takePosted();
    plugin->ProvideWorkerThreadIf();
    plugin->Open();
    plugin->StartAsyncReaderIf();
    search(*plugin, "alarm", 1);
    plugin.reset();
    EXPECT_EQ(takePosted(),
              (Texts{"Open 16/1 16/1", "Close 12/1 12/1", "Unload 8/1 12/1", "dlclose"}));
  }
}

TEST(PluginSearch, OnSearchComesBeforeRead) {
  const auto plugin = opened("ProbeFull.so");
  search(*plugin, "alarm", 4242);
  EXPECT_EQ(takeEntryCalls(), Texts{"OnSearch searchId=4242 data=alarm"});
}

TEST(PluginSearch, AsyncReaderServesSearchesThroughRead) {
  const auto plugin = opened("ProbeReader.so");
  search(*plugin, "alarm", 4242);
  EXPECT_EQ(takeEntryCalls(), Texts{"Read request=1 searchId=4242 data=alarm second=null"});
}

TEST(PluginIpc, PacketGoesToOnIpcResultElseToIoctl) {
  const auto withOnIpcResult = create("ProbeFull.so");
  const auto withIoctlOnly = create("ProbeConfig.so");
  takePosted();
  const char packet[] = "pkt-1234";
  withOnIpcResult->IpcResult(4, packet);
  withIoctlOnly->IpcResult(4, packet);
  EXPECT_EQ(takePosted(),
            (Texts{"OnIpcResult data=pkt-",
                   "IOCTL " + ioctlBlocks(4, 4, "pkt-")}));
}

TEST(PluginIdentity, IdAndSameIdFollowThePluginIdBitsOfTheOrigin) {
  const auto id5 = create("ProbeFull.so");        // 0x00050000
  const auto id5too = create("ProbeConfig.so");   // 0x00050007
  const auto id6 = create("ProbeWrite.so");       // 0x00060000
  const auto core = create("ProbeQuiet.so");      // core
  const auto coreToo = create("ProbeReader.so");  // core
  const auto id0 = create("ProbePtzStore.so");    // 0
  EXPECT_EQ(id5->id(), 5);
  EXPECT_EQ(id6->id(), 6);
  EXPECT_EQ(core->id(), 0);
  EXPECT_TRUE(id5->sameId(*id5too));
  EXPECT_FALSE(id5->sameId(*id6));
  EXPECT_TRUE(core->sameId(*coreToo));
  EXPECT_FALSE(core->sameId(*id0));
  EXPECT_FALSE(id0->sameId(*core));
}

TEST(PluginIdentity, DisplayNameEndsBeforeTheFirstDot) {
  EXPECT_EQ(create("ProbeFull.so")->displayName(), "ProbeFull");
  EXPECT_EQ(create("Absent.v2.so")->displayName(), "Absent");
  EXPECT_EQ(create("Absent.v2.so")->fileName(), "Absent.v2.so");
  EXPECT_EQ(create("NoSuffix")->displayName(), "NoSuffix");
}

TEST(PluginIdentity, ServesSearchesThroughOnSearchOrReadOfStoredMedia) {
  const auto onSearch = create("ProbeFull.so");
  EXPECT_FALSE(onSearch->servesSearches());  // search entry points are bound by Open
  onSearch->Open();
  EXPECT_TRUE(onSearch->servesSearches());
  onSearch->Close();
  EXPECT_FALSE(onSearch->servesSearches());
  EXPECT_TRUE(opened("ProbeReader.so")->servesSearches());     // stored log
  EXPECT_FALSE(opened("ProbePtzStore.so")->servesSearches());  // ptz and serial have no store
  EXPECT_FALSE(opened("ProbeNoReader.so")->servesSearches());  // asyncRead without Read
  EXPECT_FALSE(opened("ProbeQuiet.so")->servesSearches());     // Read without asyncRead
}

TEST(PluginTemplate, BuiltAgainstTheInstalledSdkLoadsAndReportsAlarms) {
  const auto plugin = create("template/AlarmLogger.so");
  ASSERT_EQ(plugin->loadCode(), 0) << plugin->errorText();
  EXPECT_EQ(plugin->id(), 0x40);
  EXPECT_EQ(plugin->info().alarmCaps, WantsLive);
  plugin->Open();
  ASSERT_TRUE(plugin->isOpen());
  EXPECT_FALSE(deliver(*plugin, TypeAlarm, "motion"));
  EXPECT_FALSE(deliver(*plugin, TypeAlarm, ""));
  // Configuration reaches every plugin; the template lets it pass unreported.
  EXPECT_FALSE(deliver(*plugin, TypeConfig, "<qDVR/>"));
  EXPECT_EQ(takePosted(), (Texts{"alarm from 09 with 6 bytes", "alarm from 09 with 0 bytes"}));
}

}  // namespace
}  // namespace trv::core
