// The plugin of the process tests of the running core. It reports its life
// (Load, Open, Close, Unload) as live text log lines, so that their order shows
// in the core's output; it tells the parent over the channel when it is open,
// what it is handed and what the core answers it; and it carries out the
// commands the parent addresses to it. It wants live video, audio, alarms and
// log lines.
//
// Variants differ in identity (HOST_NAME, HOST_ORIGIN, HOST_CLOSE_ORDER) and in
// what they export or do on their own (switches, 1 or 0): HOST_HOLD_OPEN and
// HOST_HOLD_CLOSE make Open or Close wait for a "release"; HOST_SEARCH exports
// OnSearch; HOST_REPORT_CONFIG sends the parent "config <document>" for every
// configuration document of the core; HOST_STRAY_DECREFS gives back, from a
// thread of its own between Open and Close, a payload the core never handed
// out, and logs "stray decrefs <count> <name>"; HOST_CLOSE_POSTS posts "closed
// <name>" from Close and logs the answer.
//
// Commands: the payload of a packet, NUL-separated words; numbers may be given
// in hex ("0x..."). Answers are reported as "answer <name> <answer> <label>".
//   echo                    send "<name>:" and the whole packet back
//   post <item>...          post one "ipc" event per item; "*<n>" stands for n
//                           bytes of the alphabet repeated
//   log <level> <text>      post a live text log line
//   alarm <text>            post a live alarm event
//   search <id> <payload>   post a search request with an external origin
//   config <type> <xml>     post an XML "config" record of type <type>
//   null                    post a null record, log "null record answered <answer> <name>"
//   event <type> <flags> <source> <searchId> <detail> <text>
//                           post this record, its detail words from offset 0
//                           given by commas, and report the answer labelled <text>
//   decref <address>        give back that payload, report the answer labelled "decref"
//   giveback                give back every payload kept so far
//   watch <types>           report the records of these base types it is handed,
//                           except the core's own, as "<type name> <name> <text>"
//                           (alarms until told otherwise)
//   release                 let one hold (of Open, Close, OnEvent or a search) go on
//   repeat <n> <command>... carry out the command n times on a thread of its own,
//                           until Close at the latest, reporting only answers
//                           outside 0..5; then log "repeated <times done> <name>"
// Close gives back what is still kept.
//
// A record whose text is "<verb> <name>..." acts on the plugins it names ("*":
// on every plugin, without reports):
//   keep      return 1, report "kept <name> <source> <text> <address>"
//   hoard     the same, but never give it back unless told to
//   hold      report "holding <name> <address>", wait for a release, report
//             "held <name> <text as it reads then>", return 1
//   self      give back this very payload, report the answer labelled "self", return 1
//   scribble  overwrite the whole record handed over
// A search request's payload is a list of steps separated by ";":
//   post <text>  post a stored alarm result, report the answer labelled <text>
//   hold         report "holding <name>", wait for a release
//   find ...     wait for Close, then a little longer (a search still running at stop)
#include <trv/core/sdk.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace trv::core;

namespace {

using Words = std::vector<std::string>;

const std::string Name = HOST_NAME;
constexpr uint32_t Origin = HOST_ORIGIN;

PostEventFn post = nullptr;
std::atomic<uint32_t> watchedTypes{TypeAlarm};
// The threads of "repeat"; not a thread_local, whose blocks in a loaded
// object ThreadSanitizer cannot follow from one thread to the next.
std::mutex repeatersMutex;
std::vector<std::thread::id> repeaters;

bool repeating() {
  std::lock_guard lock(repeatersMutex);
  return std::find(repeaters.begin(), repeaters.end(), std::this_thread::get_id()) != repeaters.end();
}

std::mutex stateMutex;  // guards what follows
std::condition_variable stateChanged;
uint32_t releases = 0;  // "release" commands no hold has taken yet
bool closed = false;
std::vector<void*> kept;  // kept payloads not yet given back
std::vector<std::jthread> repeats;

// Not std::to_string: see probe_plugin.cpp (its digit table would keep the
// object mapped after dlclose).
std::string printed(const char* format, auto value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

uint32_t number(const std::string& text) {
  return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
}

// The parts of `text` between separators, empty ones included.
Words split(const std::string& text, char separator) {
  Words parts;
  std::istringstream stream(text + separator);
  for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
  return parts;
}

int postWith(EventParms event, std::string_view payload, uint32_t searchId = 0) {
  event.searchId = searchId;
  event.data = const_cast<char*>(payload.data());
  event.dataLen = static_cast<uint32_t>(payload.size());
  return post(&event);
}

int postDecref(void* payload) {
  return postWith(makeEvent(TypeDecref, 0, Origin), {static_cast<char*>(payload), 0});
}

int postIpc(const std::string& payload) { return postWith(makeEvent(TypeIpc, 0, Origin), payload); }

void postLog(int32_t level, const std::string& text) {
  EventParms event = makeEvent(TypeLog, FlagLive | FlagText, Origin);
  setLogLevel(event, level);
  postWith(event, text);
}

void report(const std::string& what) { postLog(25, what + " " + Name); }

void answered(int answer, const std::string& label) {
  if (answer >= 0 && answer <= 5 && repeating()) return;
  postIpc("answer " + Name + " " + printed("%d", answer) + " " + label);
}

void change(const auto& apply) {
  std::lock_guard lock(stateMutex);
  apply();
  stateChanged.notify_all();
}

// Waits until `done` holds (tested under the state mutex). A wait this long
// has lost its counterpart: it gives up rather than hang the test.
void await(const auto& done) {
  std::unique_lock lock(stateMutex);
  stateChanged.wait_for(lock, std::chrono::seconds(120), done);
}

// Tells the parent `message`, then waits for a release and takes it.
void hold(const std::string& message) {
  postIpc(message);
  await([] { return releases > 0 && releases-- > 0; });
}

void giveBackAll() {
  std::vector<void*> taken;
  change([&] { taken.swap(kept); });
  for (void* payload : taken) postDecref(payload);
}

void execute(const Words& words, const std::string& packet = {});

void repeat(uint32_t times, const Words& command, const std::string& label = "repeated") {
  std::lock_guard lock(stateMutex);
  repeats.emplace_back([=](std::stop_token stop) {
    {
      std::lock_guard registering(repeatersMutex);
      repeaters.push_back(std::this_thread::get_id());
    }
    uint32_t done = 0;
    for (; done < times && !stop.stop_requested(); ++done) {
      execute(command);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    report(label + " " + printed("%u", done));
    std::lock_guard leaving(repeatersMutex);
    std::erase(repeaters, std::this_thread::get_id());
  });
}

void postItems(const Words& items) {
  for (std::string item : items) {
    if (item.size() > 1 && item[0] == '*') {
      item.resize(number(item.substr(1)));
      for (size_t at = 0; at < item.size(); ++at) item[at] = static_cast<char>('a' + at % 26);
    }
    postIpc(item);
  }
}

void execute(const Words& words, const std::string& packet) {
  const std::string& verb = words[0];
  // A word the command lacks reads as "".
  const auto arg = [&](size_t at) { return at < words.size() ? words[at] : std::string(); };
  const Words rest(words.begin() + 1, words.end());
  if (verb == "echo") postIpc(Name + ":" + packet);
  if (verb == "post") postItems(rest);
  if (verb == "giveback") giveBackAll();
  if (verb == "release") change([] { ++releases; });
  if (verb == "watch") watchedTypes = number(arg(1));
  if (verb == "repeat" && rest.size() > 1) repeat(number(rest[0]), {rest.begin() + 1, rest.end()});
  if (verb == "null") report("null record answered " + printed("%d", post(nullptr)));
  if (verb == "log") postLog(std::atoi(arg(1).c_str()), arg(2));
  if (verb == "alarm") postWith(makeEvent(TypeAlarm, FlagLive | FlagText, Origin), arg(1));
  // A search request comes from outside: no core, no plugin.
  if (verb == "search") postWith(makeEvent(TypeAlarm, FlagText, 5), arg(2), number(arg(1)));
  if (verb == "config") postWith(makeEvent(number(arg(1)), FlagXml, Origin), arg(2));
  if (verb == "decref") {
    void* payload = reinterpret_cast<void*>(std::strtoull(arg(1).c_str(), nullptr, 16));
    change([&] { std::erase(kept, payload); });
    answered(postDecref(payload), "decref");
  }
  if (verb != "event") return;
  EventParms event = makeEvent(number(arg(1)), number(arg(2)), number(arg(3)));
  const Words detail = split(arg(5), ',');
  for (size_t at = 0; at < std::min(detail.size(), EventDetailBytes / 4); ++at)
    setDetailWord(event, 4 * at, number(detail[at]));
  answered(postWith(event, arg(6), number(arg(4))), arg(6));
}

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  post = args->postEvent;
  info->origin = Origin;
  info->closeOrder = HOST_CLOSE_ORDER;
  info->videoCaps = info->audioCaps = info->alarmCaps = info->logCaps = WantsLive;
  report("Load");
  return 0;
}

TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) {
  report("Unload");
  return 0;
}

TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) {
  report("Open");
  // A few thousand a second, for as long as the plugin is open.
  if (HOST_STRAY_DECREFS) repeat(UINT32_MAX, {"decref", "0x1"}, "stray decrefs");
  postIpc("open " + Name);
  if (HOST_HOLD_OPEN) hold("opening " + Name);
  return 0;
}

TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) {
  report("Close");
  std::vector<std::jthread> ended;
  change([&] { ended.swap(repeats); closed = true; });
  ended.clear();  // stops and joins them
  // What is still kept is given back while the core still takes it.
  giveBackAll();
  if (HOST_CLOSE_POSTS) report("close ipc answered " + printed("%d", postIpc("closed " + Name)));
  if (HOST_HOLD_CLOSE) hold("closing " + Name);
  return 0;
}

TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  const std::string text(static_cast<const char*>(event->data), event->dataLen);
  const bool fromCore = event->source == CoreSource;
  if (HOST_REPORT_CONFIG && fromCore && event->type == TypeConfig) postIpc("config " + text);
  if (!fromCore && (baseType(event->type) & watchedTypes.load()) != 0) {
    postIpc(typeName(event->type) + (" " + Name + " ") + text);
  }
  const Words words = split(text, ' ');
  const bool everyone = std::find(words.begin() + 1, words.end(), "*") != words.end();
  if (!everyone && std::find(words.begin() + 1, words.end(), Name) == words.end()) return 0;
  const std::string address = printed("%p", event->data), source = printed(" %x ", event->source);
  if (words[0] == "keep") change([&] { kept.push_back(event->data); });
  const bool keeps = words[0] == "keep" || words[0] == "hoard";
  if (keeps && !everyone) postIpc("kept " + Name + source + text + " " + address);
  if (words[0] == "hold") {
    hold("holding " + Name + " " + address);
    // Read again once released: the payload must still be there.
    postIpc("held " + Name + " " + std::string(static_cast<char*>(event->data), text.size()));
  }
  if (words[0] == "self") answered(postDecref(event->data), "self");
  if (words[0] == "scribble") std::memset(event, 0xA5, sizeof *event);
  return keeps || words[0] == "hold" || words[0] == "self" ? 1 : 0;
}

#if HOST_SEARCH
TRV_PLUGIN_EXPORT int OnSearch(EventParms* request) {
  const std::string payload(static_cast<const char*>(request->data), request->dataLen);
  postIpc("search-start " + Name + " " + printed("%u", request->searchId) + " " + payload);
  const EventParms result = makeEvent(TypeAlarm, FlagStored | FlagText, Origin);
  for (const std::string& step : split(payload, ';')) {
    const std::string text = step.substr(std::min<size_t>(5, step.size()));
    if (step.starts_with("post ")) answered(postWith(result, text, request->searchId), text);
    if (step == "hold") hold("holding " + Name);
    if (!step.starts_with("find")) continue;
    // Long enough that a host which unloaded the plugin without waiting for
    // the search would unmap this code under it, or report Unload first.
    await([] { return closed; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    report("search-returned");
  }
  return 0;
}
#endif

TRV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  const std::string bytes(static_cast<const char*>(packet), length);
  // The words follow the header.
  execute(split(bytes.substr(std::min(length, PacketHeaderSize)), '\0'), bytes);
  return 0;
}
