#include "demo.h"

#include <charconv>

#include "core/ipc_framing.h"

namespace trv::parent {

namespace {

std::string_view firstLine(std::string_view text) { return text.substr(0, text.find('\n')); }

// The blank-separated words of `line`.
std::vector<std::string_view> wordsOf(std::string_view line) {
  std::vector<std::string_view> words;
  while (!line.empty()) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const size_t end = std::min(line.find(' '), line.size());
    words.push_back(line.substr(0, end));
    line.remove_prefix(end);
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

std::optional<Demo::Clock::time_point> Demo::due() const { return due_; }

Demo::Step Demo::tick(Clock::time_point now) {
  Step step;
  if (!due_ || now < *due_) return step;
  due_.reset();
  asked_ = true;
  step.lines.push_back("demo: asking the bridge for the stored video and for an encryption");
  step.packets.push_back(bridgePacket("search video"));
  step.packets.push_back(bridgePacket("encrypt " + std::string(Plaintext)));
  return step;
}

Demo::Step Demo::received(std::span<const uint8_t> message, Clock::time_point now) {
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
  if (verb == "ready" && !asked_ && !due_) {
    due_ = now + RecordingTime;
    step.lines.push_back("demo: every plugin is open; letting the camera record for a moment");
  } else if (verb == "searching" && words.size() == 2) {
    searches_[std::string(words[1])] = {};
    step.lines.push_back("demo: search " + std::string(words[1]) + " started");
  } else if (verb == "found" && words.size() == 4) {
    found(words, reply.substr(std::min(reply.size(), firstLine(reply).size() + 1)), step);
  } else if (verb == "done" && words.size() == 2) {
    done(words[1], step);
  } else if (verb == "encrypted" && words.size() == 2) {
    step.lines.push_back("demo: " + std::to_string(Plaintext.size()) + " bytes encrypted into a " +
                         std::to_string(words[1].size() / 2) +
                         "-byte envelope; asking for it to be decrypted");
    step.packets.push_back(bridgePacket("decrypt " + std::string(words[1])));
  } else if (verb == "decrypted") {
    const std::string_view plain = reply.substr(std::min(reply.size(), verb.size() + 1));
    step.lines.push_back(
        plain == Plaintext ? "demo: crypto round trip: the plaintext came back"
                           : "demo: crypto round trip FAILED: got \"" + std::string(plain) + "\"");
  } else if (verb == "error") {
    step.lines.push_back("demo: the bridge answered \"" + std::string(firstLine(reply)) + "\"");
  }
  return step;
}

// "found N TYPE LENGTH", a line feed, then the stored payload, which the
// camera starts with "video FRAME key" or "video FRAME delta".
void Demo::found(const std::vector<std::string_view>& words, std::string_view payload,
                 Step& step) {
  Search& search = searches_[std::string(words[1])];
  const auto label = wordsOf(firstLine(payload));
  const int64_t frame = label.size() >= 2 && label[0] == "video" ? numberIn(label[1]) : -1;
  if (frame < 0 || frame <= search.last) search.inOrder = false;
  if (search.results == 0) search.first = frame;
  search.last = std::max(search.last, frame);
  if (++search.results <= 3) {
    step.lines.push_back("demo: search " + std::string(words[1]) + " result " +
                         std::to_string(search.results) + ": " +
                         std::string(words[3]) + " bytes of " + std::string(words[2]) +
                         (frame >= 0 ? ", frame " + std::to_string(frame) : ""));
  }
}

void Demo::done(std::string_view number, Step& step) {
  const Search search = searches_[std::string(number)];
  std::string line = "demo: search " + std::string(number) + " done: " +
                     std::to_string(search.results) + " stored frame(s)";
  if (search.results != 0) {
    line += ", " + std::to_string(search.first) + " to " + std::to_string(search.last) +
            (search.inOrder ? ", in order" : ", OUT OF ORDER");
  }
  step.lines.push_back(line);
}

}  // namespace trv::parent
