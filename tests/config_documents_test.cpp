#include "dvr_core.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"

namespace trv::core {
namespace {

namespace fs = std::filesystem;

// A fresh working directory for the core's files while alive.
class WorkingDirectory {
 public:
  WorkingDirectory() { fs::current_path(dir_); }
  ~WorkingDirectory() {
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path previous_ = fs::current_path();
  fs::path dir_ = test::makeTempDir();
};

// The payloads of the records the core queued, oldest first; the core's
// references on them are given back.
std::vector<std::string> takeQueued(DvrCore& core) {
  std::vector<std::string> payloads;
  std::lock_guard lock(core.queueMutex);
  while (!core.eventQueue.empty()) {
    const EventParms record = core.eventQueue.pop();
    payloads.emplace_back(static_cast<const char*>(record.data), record.dataLen);
    if (record.data != nullptr && core.refBlocks.release(record.data, 0)) {
      core.refBlocks.discard(record.data);
    }
  }
  return payloads;
}

// A record carrying `payload`, by default an XML "config" record of plugin 0x21.
EventParms deltaRecord(const std::string& payload, uint32_t type = TypeConfig,
                       uint32_t flags = FlagXml, uint32_t source = 0x00210000) {
  EventParms record = makeEvent(type, flags, source);
  record.data = const_cast<char*>(payload.data());
  record.dataLen = static_cast<uint32_t>(payload.size());
  return record;
}

// A delta that sets the threshold of plugin 0x22 to `level`.
std::string deltaSetting(int level) {
  return "<?xml?><qDVR><Modules Delta=\"1\"><Module><Plugin ID=\"2228224\" LogLevel=\"" +
         std::to_string(level) + "\"/></Module></Modules></qDVR>";
}

TEST(ApplyConfigDelta, OnlyAPlainXmlConfigRecordOfAnotherOriginWhileRunningIsApplied) {
  const WorkingDirectory workingDirectory;
  DvrCore core("/opt/trovis/bin/trovis-core");
  const std::string forty = deltaSetting(40);
  const struct {
    const char* what;
    EventParms record;
  } ignored[] = {
      {"made by the core", deltaRecord(forty, TypeConfig, FlagXml, CoreSource)},
      {"type with the modifier bit", deltaRecord(forty, TypeConfig | TypeModifier)},
      {"no xml flag", deltaRecord(forty, TypeConfig, FlagLive | FlagText)},
      {"not a config type", deltaRecord(forty, TypeAlarm)},
  };
  for (const auto& [what, record] : ignored) {
    EXPECT_FALSE(core.applyConfigDelta(record)) << what;
    EXPECT_EQ(core.logLevels.stored(0x22), -1) << what;
  }
  EXPECT_TRUE(takeQueued(core).empty());
  EXPECT_FALSE(fs::exists("core.xml"));

  // Applied, then published and saved.
  EXPECT_TRUE(core.applyConfigDelta(deltaRecord(forty)));
  EXPECT_EQ(core.logLevels.stored(0x22), 40);
  const std::vector<std::string> published = takeQueued(core);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_TRUE(published[0].starts_with("<?xml?><qDVR><Memory ID=\"-2147483648\""));
  EXPECT_TRUE(fs::exists("core.xml"));

  // The same value again changes nothing and publishes nothing.
  EXPECT_FALSE(core.applyConfigDelta(deltaRecord(forty)));
  EXPECT_TRUE(takeQueued(core).empty());

  core.requestStop();
  EXPECT_FALSE(core.applyConfigDelta(deltaRecord(deltaSetting(50))));
  EXPECT_EQ(core.logLevels.stored(0x22), 40);
}

}  // namespace
}  // namespace trv::core
