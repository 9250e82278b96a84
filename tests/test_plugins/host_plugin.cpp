// A plugin for the process tests of the running core. It reports its life
// (Load, Open, Close, Unload) as live text log lines, so that their order shows
// in the core's output; it tells the parent over the channel when it is open;
// and it carries out commands the parent addresses to it. Built in several
// variants: HOST_NAME, HOST_ORIGIN and HOST_CLOSE_ORDER say who it is, and
// HOST_HOLD_OPEN, HOST_HOLD_CLOSE and HOST_SEARCH make Open, Close or OnSearch
// wait for the parent or for Close; HOST_REPORT_CONFIG sends the parent
// "config <document>" for every configuration document of the core;
// HOST_STRAY_DECREFS gives back, from a thread of its own between Open and
// Close, a payload the core never handed out, and reports how often;
// HOST_CLOSE_POSTS posts "closed <name>" from Close and reports the answer.
//
// Commands: the payload of a packet, NUL-separated words.
//   echo                    send "<name>:" and the whole packet back
//   digest                  send "digest <name> <length> <fnv1a>" of the whole packet
//   post <item>...          post one "ipc" event per item; "*<n>" stands for n
//                           bytes of the alphabet repeated
//   log <level> <text>      post a live text log line
//   alarm <text>            post a live alarm event
//   search <id> <payload>   post a search request with an external origin
//   config <type> <xml>     post an XML "config" record of type <type>
//   release                 let a held Open or Close return
//   null                    post a null record and report the answer
#include <trv/core/sdk.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifndef HOST_NAME
#error "HOST_NAME names the variant"
#endif
#ifndef HOST_ORIGIN
#define HOST_ORIGIN 0x00200000
#endif
#ifndef HOST_CLOSE_ORDER
#define HOST_CLOSE_ORDER 0
#endif

using namespace trv::core;

namespace {

constexpr std::string_view Name = HOST_NAME;
constexpr uint32_t Origin = HOST_ORIGIN;
constexpr uint32_t ExternalOrigin = 5;
constexpr uint32_t PacketHeaderSize = 16;
// A hold that outlasts this has lost its counterpart: give up rather than hang the test.
constexpr auto HoldLimit = std::chrono::seconds(120);

PostEventFn post = nullptr;

std::mutex stateMutex;
std::condition_variable stateChanged;
bool released = false;
bool closed = false;
bool searching = false;

// Not std::to_string: see probe_plugin.cpp (its digit table would keep the
// object mapped after dlclose).
std::string number(uint32_t value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%u", value);
  return digits;
}

void postRecord(uint32_t type, uint32_t flags, uint32_t source, std::string_view payload) {
  if (!post) return;
  EventParms event = makeEvent(type, flags, source);
  event.data = const_cast<char*>(payload.data());
  event.dataLen = static_cast<uint32_t>(payload.size());
  post(&event);
}

void postLog(int32_t level, std::string_view text) {
  if (!post) return;
  EventParms event = makeEvent(TypeLog, FlagLive | FlagText, Origin);
  setLogLevel(event, level);
  event.data = const_cast<char*>(text.data());
  event.dataLen = static_cast<uint32_t>(text.size());
  post(&event);
}

void report(std::string_view what) { postLog(25, std::string(what) + " " + std::string(Name)); }

void postIpc(std::string_view payload) {
  // A valid pointer also for the empty payload.
  static const char empty = 0;
  postRecord(TypeIpc, 0, Origin, payload.empty() ? std::string_view(&empty, 0) : payload);
}

// Waits until `flag` is set; false when the hold limit passed first.
bool waitFor(const bool& flag) {
  std::unique_lock lock(stateMutex);
  return stateChanged.wait_for(lock, HoldLimit, [&] { return flag; });
}

void set(bool& flag) {
  {
    std::lock_guard lock(stateMutex);
    flag = true;
  }
  stateChanged.notify_all();
}

std::vector<std::string> words(const char* bytes, uint32_t length) {
  std::vector<std::string> result;
  std::string word;
  for (uint32_t i = 0; i < length; ++i) {
    if (bytes[i] == '\0') {
      result.push_back(std::move(word));
      word.clear();
      continue;
    }
    word.push_back(bytes[i]);
  }
  result.push_back(std::move(word));
  return result;
}

std::string alphabet(size_t length) {
  std::string text(length, 'a');
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

uint32_t fnv1a(const uint8_t* bytes, uint32_t length) {
  uint32_t hash = 2166136261u;
  for (uint32_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

void postItems(const std::vector<std::string>& command) {
  for (size_t i = 1; i < command.size(); ++i) {
    const std::string& item = command[i];
    if (item.size() > 1 && item[0] == '*') {
      postIpc(alphabet(std::strtoul(item.c_str() + 1, nullptr, 10)));
      continue;
    }
    postIpc(item);
  }
}

void postSearch(uint32_t searchId, std::string_view payload) {
  if (!post) return;
  EventParms request = makeEvent(TypeAlarm, FlagText, ExternalOrigin);
  request.searchId = searchId;
  request.data = const_cast<char*>(payload.data());
  request.dataLen = static_cast<uint32_t>(payload.size());
  post(&request);
}

[[maybe_unused]] void hold(std::string_view stage) {
  postIpc(std::string(stage) + " " + std::string(Name));
  if (!waitFor(released)) report(std::string(stage) + " gave up waiting:");
}

#ifdef HOST_STRAY_DECREFS
// A few thousand a second, for as long as the plugin is open.
class StrayDecrefs {
 public:
  void start() {
    thread_ = std::thread([this] {
      EventParms decref = makeEvent(TypeDecref, 0, Origin);
      decref.data = &never_;
      while (!stop_.load()) {
        post(&decref);
        ++posted_;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  void finish() {
    stop_ = true;
    thread_.join();
    report("stray decrefs " + number(posted_));
  }

 private:
  std::thread thread_;
  std::atomic<bool> stop_{false};
  uint32_t posted_ = 0;
  int never_ = 0;
};
StrayDecrefs strayDecrefs;
#endif

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  post = args->postEvent;
  info->origin = Origin;
  info->closeOrder = HOST_CLOSE_ORDER;
  info->alarmCaps = WantsLive;
  report("Load");
  return 0;
}

TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) {
  bool stillSearching;
  {
    std::lock_guard lock(stateMutex);
    stillSearching = searching;
  }
  report(stillSearching ? "Unload while searching:" : "Unload");
  return 0;
}

TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) {
  report("Open");
#ifdef HOST_STRAY_DECREFS
  strayDecrefs.start();
#endif
  postIpc("open " + std::string(Name));
#ifdef HOST_HOLD_OPEN
  hold("opening");
#endif
  return 0;
}

TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) {
  report("Close");
#ifdef HOST_STRAY_DECREFS
  strayDecrefs.finish();
#endif
#ifdef HOST_CLOSE_POSTS
  static const char closing[] = "closed " HOST_NAME;
  EventParms event = makeEvent(TypeIpc, 0, Origin);
  event.data = const_cast<char*>(closing);
  event.dataLen = sizeof closing - 1;
  report("close ipc answered " + number(static_cast<uint32_t>(post(&event))));
#endif
  set(closed);
#ifdef HOST_HOLD_CLOSE
  hold("closing");
#endif
  return 0;
}

TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  const std::string_view text(static_cast<const char*>(event->data), event->dataLen);
#ifdef HOST_REPORT_CONFIG
  if (event->type == TypeConfig && event->source == CoreSource) {
    postIpc("config " + std::string(text));
    return 0;
  }
#endif
  // Only the alarms of plugins: the core posts alarms of its own.
  if (baseType(event->type) != TypeAlarm || pluginIdOf(event->source) == 0) return 0;
  postIpc("alarm " + std::string(Name) + " " + std::string(text));
  return 0;
}

#ifdef HOST_SEARCH
// Runs until Close has been called, then a little longer: long enough that a
// host which unloaded the plugin without waiting for the search would unmap
// this code under it, or report Unload while it still runs.
TRV_PLUGIN_EXPORT int OnSearch(EventParms* request) {
  {
    std::lock_guard lock(stateMutex);
    searching = true;
  }
  const std::string_view payload(static_cast<const char*>(request->data), request->dataLen);
  postIpc("search-start " + std::string(Name) + " " + number(request->searchId) + " " +
          std::string(payload));
  if (!waitFor(closed)) report("search gave up waiting:");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  report("search-returned");
  {
    std::lock_guard lock(stateMutex);
    searching = false;
  }
  return 0;
}
#endif

TRV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  const auto* bytes = static_cast<const char*>(packet);
  if (length < PacketHeaderSize) {
    report("short packet for");
    return 0;
  }
  const std::vector<std::string> command =
      words(bytes + PacketHeaderSize, length - PacketHeaderSize);
  const std::string& verb = command[0];
  if (verb == "echo") {
    postIpc(std::string(Name) + ":" + std::string(bytes, length));
  } else if (verb == "digest") {
    postIpc("digest " + std::string(Name) + " " + number(length) + " " +
            number(fnv1a(static_cast<const uint8_t*>(packet), length)));
  } else if (verb == "post") {
    postItems(command);
  } else if (verb == "log" && command.size() == 3) {
    postLog(static_cast<int32_t>(std::strtol(command[1].c_str(), nullptr, 10)), command[2]);
  } else if (verb == "alarm" && command.size() == 2) {
    postRecord(TypeAlarm, FlagLive | FlagText, Origin, command[1]);
  } else if (verb == "search" && command.size() == 3) {
    postSearch(static_cast<uint32_t>(std::strtoul(command[1].c_str(), nullptr, 10)), command[2]);
  } else if (verb == "config" && command.size() == 3) {
    postRecord(static_cast<uint32_t>(std::strtoul(command[1].c_str(), nullptr, 10)), FlagXml,
               Origin, command[2]);
  } else if (verb == "release") {
    set(released);
  } else if (verb == "null") {
    report("null record answered " + number(static_cast<uint32_t>(post(nullptr))));
  } else {
    report("unknown command for");
  }
  return 0;
}
