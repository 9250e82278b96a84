#include "plugin/plugin.h"

#include <gtest/gtest.h>

#include <mutex>
#include <sstream>

#include "child_process.h"
#include "plugin/plugin_files.h"

namespace trv::core {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

// Every text the probes posted, in order.
struct { std::mutex mutex; Texts texts; } posted;

int recordPost(EventParms* event) {
  const std::lock_guard lock(posted.mutex);
  posted.texts.emplace_back(static_cast<const char*>(event->data), event->dataLen);
  return 3;  // the probe's entries return this answer: the host must ignore it
}

Texts takePosted() {
  const std::lock_guard lock(posted.mutex);
  return std::exchange(posted.texts, {});
}

const fs::path pluginDir = fs::path(TRV_TEST_BINARY_DIR) / "test_plugins";

// The plugin `fileName`, opened if asked, with what it posted so far dropped.
std::shared_ptr<Plugin> create(std::string_view fileName, bool open = false) {
  takePosted();
  auto plugin = Plugin::Create(pluginDir / fileName, recordPost, "cam-0042");
  if (open) plugin->Open(), takePosted();
  return plugin;
}

// What the probe reports from Load; "v4" is the version of a block of the right size.
const std::string loaded = "Load v4 reserved=0 deviceId=cam-0042/8 info=v3";

// Hands `plugin` a text record of `type` from plugin 9 (search id 7, log level 3),
// as an event or as a search request; true when it keeps the payload.
bool hand(Plugin& plugin, uint32_t type, std::string payload, bool asSearch = false) {
  EventParms event = makeEvent(type, FlagText, originOfPlugin(9));
  event.data = payload.data();
  event.dataLen = static_cast<uint32_t>(payload.size());
  event.searchId = 7;
  setLogLevel(event, 3);
  return asSearch ? (plugin.Search(event), false) : plugin.Deliver(event);
}

TEST(PluginLifecycle, LoadOpenThreadsAndUnloadGoAsFarAsTheObjectAllows) {
  // Unload reports what the reader's Read and the worker's IOCTL were given, once they returned.
  const Texts full = {loaded, "Open v1 v1", "Close v1 v1",
                      "Unload v1 v1 reader request=1 search=0 data= worker in=v1 code=1 data= "
                      "out=v1 code=1 data=", "dlclose"};
  const struct { const char* file; std::string error; int code = 79; Texts posted = {};
                 bool opens = false, unloads = false; } rows[] = {
      // dlopen's reason after the path; refused before Load, and after Load without an Unload.
      {"not_elf.so", "invalid ELF header"}, {"Unresolved.so", "undefined symbol: trvNowhere"},
      {"Gone.so", "cannot open shared object file: No such file or directory"},
      {"ProbeNoUnload.so", "missing Load()/Unload()", -101},
      {"ProbeRefused.so", "load code 7", 7, {loaded, "dlclose"}},
      {"ProbeNoClose.so", "", 0, {loaded, "Unload v1 v1", "dlclose"}},
      // Opened once; its threads run once and end before Unload, called here or when it is dropped.
      {"ProbeFull.so", "", 0, full, true, true}, {"ProbeFull.so", "", 0, full, true, false},
      // It asks for both threads but has neither Read nor IOCTL to run them in.
      {"ProbeWriter.so", "", 0,
       {loaded, "Open v1 v1", "Close v1 v1", "Unload v1 v1", "dlclose"}, true},
  };
  for (const auto& row : rows) {
    auto plugin = create(row.file);
    const std::string path = row.code == 79 ? (pluginDir / row.file).string() + ": " : "";
    EXPECT_EQ(std::tuple(plugin->loadCode(), plugin->errorText(), plugin->isLoaded()),
              std::tuple(row.code, path + row.error, row.code == 0)) << row.file;
    // Twice each: the worker first, then Open.
    for (int n = 0; n < 4; ++n) n < 2 ? plugin->ProvideWorkerThreadIf() : plugin->Open();
    plugin->StartAsyncReaderIf();
    EXPECT_EQ(std::tuple(plugin->openCode(), plugin->errorText(), plugin->isOpen()),
              row.opens ? std::tuple(0, std::string(), true)
                        : std::tuple(-102, std::string("missing Open()/Close()"), false));
    if (row.unloads) plugin->Close(), plugin->Unload();
    plugin.reset();
    EXPECT_EQ(takePosted(), row.posted) << row.file;
  }
}

TEST(PluginRoutes, EachCallTakesTheEntryThereIsForIt) {
  EXPECT_FALSE(create("ProbeFull.so")->servesSearches());  // Open binds the search entries
  const auto full = create("ProbeFull.so", true), ioctl = create("ProbeIoctl.so", true);
  const auto ptz = create("ProbePtz.so", true), sync = create("ProbeSyncRead.so", true);
  const auto writer = create("ProbeWriter.so", true), deaf = create("ProbeNoClose.so", true);
  const std::string write = "Write v1 v1 source=589824 search=7 flags=2 detail=152/1 level=3 type=";
  const std::string config = "IOCTL in=v1 code=2 data=keep out=v1 code=2 data=",
                    read = "Read request=1 search=7 data=alarm", packet = "OnIpcResult data=pkt";
  // Origins 0x00050000, 0x00050007, 0 and the core's. Read serves searches for an asynchronous
  // reader of stored media: logs, but not ptz, which has no store.
  const struct { Plugin& plugin; int id; bool serves; std::string kept; Texts posted; } rows[] = {
      {*full, 5, true, "111", {"OnEvent type=64 data=keep", "OnEvent type=256 data=keep",
                               "OnEvent type=16640 data=keep", "OnSearch data=alarm", packet}},
      // Config without OnEvent goes to IOCTL, a modified one does not.
      {*ioctl, 5, true, "010", {config, read, "IOCTL in=v1 code=4 data=pkt out=v1 code=4 data="}},
      // Write does not stand in for IOCTL. Never opened: only the entries Load bound remain.
      {*ptz, 0, false, "000", {read}}, {*sync, 0, false, "000", {}},
      {*deaf, 0, false, "000", {packet}},
      {*writer, 0, false, "101", {write + "64 data=keep", write + "16640 data=keep"}},
  };
  constexpr uint32_t types[] = {TypeLog, TypeConfig, TypeConfig | TypeModifier};
  for (const auto& row : rows) {
    std::string kept;
    for (const uint32_t type : types) kept += hand(row.plugin, type, "keep") ? '1' : '0';
    hand(row.plugin, TypeAlarm, "alarm", true), row.plugin.IpcResult(3, "pkt-1234");
    EXPECT_EQ(std::tuple(row.plugin.id(), row.plugin.servesSearches(), kept, takePosted()),
              std::tuple(row.id, row.serves, row.kept, row.posted))
        << row.plugin.fileName();
  }
  // Closed, it is given neither events nor searches.
  full->Close();
  EXPECT_FALSE(hand(*full, TypeLog, "keep") || hand(*full, TypeAlarm, "alarm", true));
  EXPECT_EQ(takePosted(), Texts{"Close v1 v1"});
  EXPECT_EQ(full->displayName() + create("Absent.v2.so")->displayName(), "ProbeFullAbsent");
}

TEST(PluginFiles, SoFilesOfBothDirectoriesInLoadOrder) {
  // The entries made, each a symbolic link to a regular file, then after "=>" the plugin
  // files found. Either directory may be missing.
  const std::string cases[] = {
      "protected-plugins/p.so => protected-plugins/p.so", "plugins/q.so => plugins/q.so",
      // A protected plugin hides the plugin of the same name.
      "plugins/x.so protected-plugins/x.so plugins/y.so => protected-plugins/x.so plugins/y.so",
      // The log plugin is the core's to load; only the exact name is it.
      "plugins/LogPI.so protected-plugins/LogPI.so plugins/logpi.so => plugins/logpi.so",
      // Regular files only, with exactly the extension ".so".
      "plugins/a.SO plugins/so plugins/c.so.1 plugins/b.so/in plugins/kept.so => plugins/kept.so",
      // The marker, case-sensitive, first; then file names ignoring case.
      "plugins/gamma.so plugins/Beta.so plugins/alpha.so protected-plugins/delta.so "
      "plugins/zeta_mKAXpi.so plugins/zulu_mkaxpi.so => plugins/zeta_mKAXpi.so plugins/alpha.so "
      "plugins/Beta.so protected-plugins/delta.so plugins/gamma.so plugins/zulu_mkaxpi.so",
  };
  for (const std::string& line : cases) {
    const fs::path base = test::makeTempDir();
    std::istringstream words(line);
    for (std::string entry; words >> entry && entry != "=>";) {
      fs::create_directories((base / entry).parent_path());
      fs::create_symlink(pluginDir / "not_elf.so", base / entry);
    }
    std::vector<fs::path> expected;
    for (std::string entry; words >> entry;) expected.push_back(base / entry);
    EXPECT_EQ(findPluginFiles(base), expected) << line;
  }
}

TEST(PluginTemplate, BuiltAgainstTheInstalledSdkLoadsAndReportsAlarms) {
  const auto plugin = create("template/AlarmLogger.so", true);
  // Configuration reaches every plugin; the template lets it pass unreported.
  EXPECT_FALSE(hand(*plugin, TypeAlarm, "motion") || hand(*plugin, TypeConfig, "<qDVR/>"));
  EXPECT_EQ(std::tuple(plugin->id(), takePosted()),
            std::tuple(0x40, Texts{"alarm from 09 with 6 bytes"})) << plugin->errorText();
}

}  // namespace
}  // namespace trv::core
