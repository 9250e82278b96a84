// trovis-parent --demo: drives the IpcBridge plugin the way the daemon would.
// A few seconds after the bridge reports every plugin open it asks for a
// search of the stored video and for an encryption, sends each encrypted
// envelope back to be decrypted, and tells in plain words what came back.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "packet.h"

namespace trv::parent {

// The bridge's plugin number and the packet kind its commands travel in.
inline constexpr uint8_t BridgePlugin = 67;
inline constexpr uint32_t BridgeKind = 1;

class Demo {
 public:
  using Clock = std::chrono::steady_clock;

  // The camera needs a moment to fill the recorder before the search.
  static constexpr auto RecordingTime = std::chrono::seconds(2);
  static constexpr std::string_view Plaintext = "a secret only this device can read back";

  // What happened and what to send next.
  struct Step {
    std::vector<std::string> lines;
    std::vector<Packet> packets;
  };

  // When the requests are due; nothing before the bridge is ready and once
  // they have gone out.
  std::optional<Clock::time_point> due() const;
  Step tick(Clock::time_point now);
  // A message from the core, received at `now`; only the bridge's replies
  // concern the demo.
  Step received(std::span<const uint8_t> message, Clock::time_point now);

 private:
  // The stored frames one search has returned so far.
  struct Search {
    uint32_t results = 0;
    int64_t first = -1;
    int64_t last = -1;
    bool inOrder = true;
  };

  void found(const std::vector<std::string_view>& words, std::string_view payload, Step& step);
  void done(std::string_view number, Step& step);

  std::optional<Clock::time_point> due_;
  bool asked_ = false;
  std::map<std::string, Search> searches_;  // by the bridge's search number
};

}  // namespace trv::parent
