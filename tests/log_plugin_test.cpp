// The shipped log plugin, LogPI.so, loaded through the plugin host's Plugin
// object in a fresh working directory: what it writes to trovis.log, how it
// rotates and drops, and what it ignores.
#include "plugin.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace trv::core {
namespace {

namespace fs = std::filesystem;

using Lines = std::vector<std::string>;

// What the plugin posted to the core.
struct Posted {
  std::string text;
  uint32_t type;
  uint32_t flags;
  uint32_t source;
  int32_t level;
};

std::mutex postedMutex;
std::vector<Posted> posted;

int recordPost(EventParms* event) {
  std::lock_guard lock(postedMutex);
  posted.push_back({std::string(static_cast<const char*>(event->data), event->dataLen), event->type,
                    event->flags, event->source, logLevelOf(*event)});
  return 0;
}

std::vector<Posted> takePosted() {
  std::lock_guard lock(postedMutex);
  return std::exchange(posted, {});
}

// Runs a test in an empty working directory of its own.
class WorkingDirectory {
 public:
  WorkingDirectory() : previous_(fs::current_path()), dir_(test::makeTempDir()) { fs::current_path(dir_); }
  ~WorkingDirectory() { fs::current_path(previous_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path previous_;
  fs::path dir_;
};

void writeFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

std::string readFile(const fs::path& path) {
  std::ifstream file(path);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

Lines readLines(const fs::path& path) {
  Lines lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

const std::regex timePrefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");

// The lines of a log file without their time stamps; a line without one
// fails the test.
Lines untimedLines(const fs::path& path) {
  Lines untimed;
  for (const std::string& line : readLines(path)) {
    std::smatch match;
    EXPECT_TRUE(std::regex_search(line, match, timePrefix)) << line;
    untimed.push_back(match.suffix());
  }
  return untimed;
}

// Opens LogPI and takes what it said while opening.
std::shared_ptr<Plugin> openLogPlugin(std::vector<Posted>* saidOnOpen = nullptr) {
  takePosted();
  auto plugin = Plugin::Create(fs::path(TRV_BIN_DIR) / "plugins" / "LogPI.so", recordPost, "dev");
  plugin->Open();
  auto said = takePosted();
  if (saidOnOpen != nullptr) *saidOnOpen = std::move(said);
  return plugin;
}

// The record points into `text`, which must outlive it.
EventParms logRecord(const std::string& text, int32_t level, uint32_t source = CoreSource,
                     uint32_t type = TypeLog, uint32_t flags = FlagLive | FlagText) {
  EventParms event = makeEvent(type, flags, source);
  event.data = const_cast<char*>(text.data());
  event.dataLen = static_cast<uint32_t>(text.size());
  setLogLevel(event, level);
  return event;
}
EventParms logRecord(std::string&& text, int32_t level, uint32_t source = CoreSource,
                     uint32_t type = TypeLog, uint32_t flags = FlagLive | FlagText) = delete;

bool deliver(Plugin& plugin, const std::string& text, int32_t level = 25, uint32_t source = CoreSource) {
  EventParms event = logRecord(text, level, source);
  return plugin.Deliver(event);
}

TEST(LogPlugin, DescribesItselfAsPluginEightWantingLiveLogLines) {
  WorkingDirectory dir;
  const auto plugin = openLogPlugin();
  ASSERT_EQ(plugin->loadCode(), 0) << plugin->errorText();
  EXPECT_EQ(plugin->openCode(), 0);
  const PluginInfo& info = plugin->info();
  EXPECT_EQ(info.origin, 0x00080000u);
  EXPECT_EQ(info.logCaps, 0x02000000u);
  for (const uint32_t caps : {info.videoCaps, info.audioCaps, info.alarmCaps, info.ptzCaps,
                              info.serialCaps, info.posCaps, info.analyticCaps, info.closeOrder}) {
    EXPECT_EQ(caps, 0u);
  }
  EXPECT_EQ(info.provideWorker, 0);
  EXPECT_EQ(info.asyncRead, 0);
  EXPECT_EQ(info.writeEvents, 0);
}

TEST(LogPlugin, WritesOriginLevelAndTrimmedTextOfEachLiveTextLine) {
  WorkingDirectory dir;
  const auto plugin = openLogPlugin();
  EXPECT_FALSE(deliver(*plugin, "Opening 06:ProbeWrite"));
  EXPECT_FALSE(deliver(*plugin, std::string("disk full\r\n\0", 12), 75, originOfPlugin(0x12)));
  EXPECT_FALSE(deliver(*plugin, "below zero", -1, originOfPlugin(0xab)));
  // Marked lines count as level 0, whatever their detail holds.
  const std::string markedText = "marked";
  EventParms marked = logRecord(markedText, 60, originOfPlugin(0x12), TypeLog | TypeModifier);
  EXPECT_FALSE(plugin->Deliver(marked));
  plugin->Close();

  EXPECT_EQ(untimedLines("trovis.log"), (Lines{
                                            "id=00 level=25 Opening 06:ProbeWrite",
                                            "id=12 level=75 disk full",
                                            "id=ab level=-1 below zero",
                                            "id=12 level=0 marked",
                                        }));
  EXPECT_TRUE(takePosted().empty());
}

TEST(LogPlugin, IgnoresEverythingButLiveTextLogLines) {
  WorkingDirectory dir;
  const auto plugin = openLogPlugin();
  deliver(*plugin, "before");
  const std::string text = "ignored";
  for (const auto& [type, flags] : std::vector<std::pair<uint32_t, uint32_t>>{
           {TypeLog, FlagText},                           // not live
           {TypeLog, FlagStored | FlagText},              // read back for a search
           {TypeLog, FlagLive},                           // not text
           {TypeAlarm, FlagLive | FlagText},              // not a log line
           {TypeIpc, FlagLive | FlagText},
       }) {
    EventParms event = logRecord(text, 25, CoreSource, type, flags);
    EXPECT_FALSE(plugin->Deliver(event));
  }
  deliver(*plugin, "\r\n");
  const std::string noText;
  EventParms empty = logRecord(noText, 25);
  empty.data = nullptr;
  plugin->Deliver(empty);
  deliver(*plugin, "after");
  plugin->Close();

  EXPECT_EQ(untimedLines("trovis.log"), (Lines{"id=00 level=25 before", "id=00 level=25 after"}));
}

// Sets TZ for the test's lifetime.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (previous_.empty()) {
      unsetenv("TZ");
    } else {
      setenv("TZ", previous_.c_str(), 1);
    }
    tzset();
  }
  TimeZone(const TimeZone&) = delete;
  TimeZone& operator=(const TimeZone&) = delete;

 private:
  std::string previous_;
};

TEST(LogPlugin, StampsLinesWithTheLocalTimeOfArrival) {
  // Five and a half hours east of UTC: a stamp in UTC would be far off.
  const TimeZone zone("TRV-5:30");
  WorkingDirectory dir;
  const auto plugin = openLogPlugin();
  deliver(*plugin, "now");
  const std::time_t now = std::time(nullptr);
  plugin->Close();

  const Lines lines = readLines("trovis.log");
  ASSERT_EQ(lines.size(), 1u);
  std::tm stamp{};
  ASSERT_TRUE(strptime(lines[0].c_str(), "%Y-%m-%d %H:%M:%S", &stamp) != nullptr) << lines[0];
  stamp.tm_isdst = -1;
  EXPECT_LE(std::abs(std::difftime(std::mktime(&stamp), now)), 5.0) << lines[0];
}

TEST(LogPlugin, KeepsTheLinesOfConcurrentThreadsWholeAndInTheirOrder) {
  WorkingDirectory dir;
  const auto plugin = openLogPlugin();
  constexpr int threadCount = 4;
  constexpr int linesPerThread = 250;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < threadCount; ++t) {
      threads.emplace_back([&plugin, t] {
        for (int i = 0; i < linesPerThread; ++i) {
          deliver(*plugin, "thread " + std::to_string(t) + " line " + std::to_string(i), 25,
                  originOfPlugin(static_cast<uint8_t>(0x20 + t)));
        }
      });
    }
  }
  plugin->Close();

  std::vector<Lines> perThread(threadCount);
  const std::regex shape(R"(id=2(\d) level=25 thread (\d) line \d+)");
  for (const std::string& line : untimedLines("trovis.log")) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    ASSERT_EQ(match[1], match[2]) << line;
    perThread[static_cast<size_t>(std::stoi(match[2]))].push_back(line);
  }
  for (int t = 0; t < threadCount; ++t) {
    Lines expected;
    for (int i = 0; i < linesPerThread; ++i) {
      expected.push_back("id=2" + std::to_string(t) + " level=25 thread " + std::to_string(t) +
                         " line " + std::to_string(i));
    }
    EXPECT_EQ(perThread[static_cast<size_t>(t)], expected);
  }
}

// Each line of these tests is 48 bytes: 24 of time, 15 of "id=00 level=25 "
// and "entry NN" with its line end.
void deliverEntries(Plugin& plugin, int first, int last) {
  for (int i = first; i <= last; ++i) {
    deliver(plugin, (i < 10 ? "entry 0" : "entry ") + std::to_string(i));
  }
}

TEST(LogRotation, MovesAFullFileAsideBeforeItGrowsPastTheLimit) {
  WorkingDirectory dir;
  writeFile("LogPI.conf", "# three lines per file\nmax_bytes = 144\n");
  std::vector<Posted> said;
  const auto plugin = openLogPlugin(&said);
  deliverEntries(*plugin, 1, 7);
  plugin->Close();

  // Where the lines go and the limit it read, at a level shown by default.
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0].text, "LogPI: keeping log lines in trovis.log, moved aside at 144 bytes");
  EXPECT_EQ(said[0].level, 25);

  // 1..3 went to the first file, which the second rotation replaced.
  EXPECT_EQ(untimedLines("trovis.log.1"), (Lines{"id=00 level=25 entry 04", "id=00 level=25 entry 05",
                                                 "id=00 level=25 entry 06"}));
  EXPECT_EQ(untimedLines("trovis.log"), (Lines{"id=00 level=25 entry 07"}));
  EXPECT_FALSE(fs::exists("trovis.log.2"));
}

TEST(LogRotation, CountsWhatAnEarlierRunLeftInTheFile) {
  WorkingDirectory dir;
  writeFile("LogPI.conf", "max_bytes=150\n");
  const std::string earlier(139, 'x');
  writeFile("trovis.log", earlier + "\n");
  const auto plugin = openLogPlugin();
  deliverEntries(*plugin, 1, 1);
  plugin->Close();

  EXPECT_EQ(readFile("trovis.log.1"), earlier + "\n");
  EXPECT_EQ(untimedLines("trovis.log"), (Lines{"id=00 level=25 entry 01"}));
}

TEST(LogRotation, MalformedLimitLeavesTheDefaultOfOneMebibyte) {
  for (const char* conf : {"max_bytes=150x\n", "max_bytes=-150\n", "max_bytes=0\n", "max_bytes\n"}) {
    WorkingDirectory dir;
    writeFile("LogPI.conf", conf);
    const auto plugin = openLogPlugin();
    deliverEntries(*plugin, 1, 7);
    plugin->Close();

    EXPECT_EQ(untimedLines("trovis.log").size(), 7u) << conf;
    EXPECT_FALSE(fs::exists("trovis.log.1")) << conf;
  }
}

TEST(LogBuffer, ReportsDroppedLinesAheadOfTheNextLineThatFits) {
  WorkingDirectory dir;
  writeFile("LogPI.conf", "buffer_bytes=200\n");
  const auto plugin = openLogPlugin();
  const std::string tooLong(300, 'y');
  deliver(*plugin, "first");
  // Longer than the whole buffer: dropped however fast the writer is.
  deliver(*plugin, tooLong);
  deliver(*plugin, tooLong, 75);
  deliver(*plugin, "after");
  plugin->Close();

  EXPECT_EQ(untimedLines("trovis.log"),
            (Lines{"id=00 level=25 first", "id=08 level=50 2 lines dropped", "id=00 level=25 after"}));
}

TEST(LogBuffer, ReportsLinesDroppedJustBeforeClose) {
  WorkingDirectory dir;
  writeFile("LogPI.conf", "buffer_bytes=200\n");
  const auto plugin = openLogPlugin();
  deliver(*plugin, "first");
  deliver(*plugin, std::string(300, 'y'));
  plugin->Close();

  EXPECT_EQ(untimedLines("trovis.log"), (Lines{"id=00 level=25 first", "id=08 level=50 1 lines dropped"}));
}

TEST(LogFileFailure, IsReportedOnceThroughTheCoreAsAnErrorLine) {
  WorkingDirectory dir;
  fs::create_directory("trovis.log");
  const auto plugin = openLogPlugin();
  deliver(*plugin, "one");
  deliver(*plugin, "two");
  deliver(*plugin, "three");
  plugin->Close();

  const auto reports = takePosted();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "LogPI: cannot open trovis.log: Is a directory");
  EXPECT_EQ(reports[0].type, TypeLog);
  EXPECT_EQ(reports[0].flags, FlagLive | FlagText);
  EXPECT_EQ(reports[0].source, 0x00080000u);
  EXPECT_EQ(reports[0].level, 75);
}

}  // namespace
}  // namespace trv::core
