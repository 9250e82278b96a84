// trovis-parent --demo: drives the IpcBridge plugin the way the daemon would.
// A few seconds after the bridge reports every plugin open it asks for a
// search of the stored video and for an encryption, sends the encrypted
// envelope back to be decrypted, and tells in plain words what happened.
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
  // The camera needs a moment to fill the recorder before the search.
  static constexpr auto RecordingTime = std::chrono::seconds(2);
  static constexpr std::string_view Plaintext = "a secret only this device can read back";

  // What happened and what to send next.
  struct Step {
    std::vector<std::string> lines;
    std::vector<Packet> packets;
    bool record = false;  // call ask() once RecordingTime has passed
  };

  // A message from the core; only the bridge's replies concern the demo.
  Step received(std::span<const uint8_t> message);
  // The search of the stored video and the encryption.
  Step ask();
  // The line for the stop, and for the core's end with `status` after it.
  static std::string stopping();
  static std::string ended(int status);

 private:
  // The stored frames one search has returned so far.
  struct Search {
    uint32_t results = 0;
    int64_t first = -1;
    int64_t last = -1;
    bool inOrder = true;
  };

  void found(std::string_view number, std::string_view payload);
  void done(std::string_view number, Step& step);
  void decrypted(std::string_view plain, Step& step);
  void summarise(Step& step);

  bool ready_ = false;
  std::map<std::string, Search> searches_;  // by the bridge's search number
  std::optional<std::string> searchResult_, cryptoResult_;  // for the summary
  bool summarised_ = false;
};

}  // namespace trv::parent
