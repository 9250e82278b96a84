#include "demo.h"

#include <charconv>
#include <ranges>
#include <utility>

#include "core/ipc_framing.h"

namespace trv::parent {

namespace {

std::string_view firstLine(std::string_view text) { return text.substr(0, text.find('\n')); }

// The blank-separated words of `line`.
std::vector<std::string_view> wordsOf(std::string_view line) {
  std::vector<std::string_view> words;
  for (const auto word : std::views::split(line, ' ')) {
    if (!word.empty()) words.emplace_back(word.begin(), word.end());
  }
  return words;
}

// -1 when `word` is not a whole number.
int64_t numberIn(std::string_view word) {
  int64_t value = -1;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  return error == std::errc() && end == word.data() + word.size() ? value : -1;
}

Packet bridgePacket(std::string_view command) {
  return pluginPacket(BridgePlugin, BridgeKind, command);
}

}  // namespace

Demo::Step Demo::ask() {
  Step step;
  step.packets.push_back(bridgePacket("search video"));
  step.packets.push_back(bridgePacket("encrypt " + std::string(Plaintext)));
  return step;
}

Demo::Step Demo::received(std::span<const uint8_t> message) {
  Step step;
  if (message.size() < core::PacketHeaderSize) return step;
  const core::ParentPacketHeader header = core::packetHeaderAt(message.data());
  if (core::packetPluginNumber(header.address) != BridgePlugin) return step;
  const std::string_view reply(
      reinterpret_cast<const char*>(message.data()) + core::PacketHeaderSize,
      message.size() - core::PacketHeaderSize);
  const auto words = wordsOf(firstLine(reply));
  if (words.empty()) return step;
  const std::string_view verb = words[0];
  if (verb == "ready" && !ready_) {
    ready_ = step.record = true;
    step.lines.push_back("demo: every plugin is open; the camera records for " +
                         std::to_string(RecordingTime.count()) + " s");
  } else if (verb == "searching" && words.size() == 2) {
    searches_[std::string(words[1])] = {};
    step.lines.push_back("demo: search " + std::string(words[1]) + " of the stored video started");
  } else if (verb == "found" && words.size() == 4) {
    found(words[1], reply.substr(std::min(reply.size(), firstLine(reply).size() + 1)));
  } else if (verb == "done" && words.size() == 2) {
    done(words[1], step);
  } else if (verb == "encrypted" && words.size() == 2) {
    step.lines.push_back("demo: " + std::to_string(Plaintext.size()) +
                         " bytes encrypted into an envelope of " +
                         std::to_string(words[1].size() / 2) + " bytes; decrypting it");
    step.packets.push_back(bridgePacket("decrypt " + std::string(words[1])));
  } else if (verb == "decrypted") {
    decrypted(reply.substr(std::min(reply.size(), verb.size() + 1)), step);
  } else if (verb == "error") {
    step.lines.push_back("demo: the bridge answered \"" + std::string(firstLine(reply)) + "\"");
  }
  return step;
}

// "found N TYPE LENGTH", a line feed, then the stored payload, which the
// camera starts with "video FRAME key" or "video FRAME delta".
void Demo::found(std::string_view number, std::string_view payload) {
  Search& search = searches_[std::string(number)];
  const auto label = wordsOf(firstLine(payload));
  const int64_t frame = label.size() >= 2 && label[0] == "video" ? numberIn(label[1]) : -1;
  if (frame < 0 || frame <= search.last) search.inOrder = false;
  if (search.results++ == 0) search.first = frame;
  search.last = std::max(search.last, frame);
}

void Demo::done(std::string_view number, Step& step) {
  const Search search = searches_[std::string(number)];
  std::string line = "demo: search " + std::string(number) + " found " +
                     std::to_string(search.results) + " stored frame(s)";
  if (search.results != 0) {
    line += ", " + std::to_string(search.first) + " to " + std::to_string(search.last) +
            (search.inOrder ? ", in order" : ", OUT OF ORDER");
  }
  step.lines.push_back(line);
  searchResult_ = std::to_string(search.results) + " stored frame(s)" +
                  (search.inOrder ? " in order" : " OUT OF ORDER");
  summarise(step);
}

void Demo::decrypted(std::string_view plain, Step& step) {
  const bool back = plain == Plaintext;
  step.lines.push_back(back ? "demo: decrypted: the plaintext came back"
                            : "demo: decrypted: FAILED, got \"" + std::string(plain) + "\"");
  cryptoResult_ = back ? "the plaintext came back" : "the plaintext did NOT come back";
  summarise(step);
}

// Once, when the first search and the round trip have both ended.
void Demo::summarise(Step& step) {
  if (!searchResult_ || !cryptoResult_ || std::exchange(summarised_, true)) return;
  step.lines.push_back("demo: summary: " + *searchResult_ + ", " + *cryptoResult_ +
                       "; Ctrl-C stops the core");
}

std::string Demo::stopping() { return "demo: stopping: the core closes and unloads every plugin"; }

std::string Demo::ended(int status) {
  return status == 0 ? "demo: every plugin unloaded; the core stopped in order"
                     : "demo: the core did not stop in order";
}

}  // namespace trv::parent
