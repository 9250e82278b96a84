// What trovis-parent does after identifying itself: packets to send, pauses
// and the stop, given on the command line (--send) or in a script file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace trv::parent {

struct Command {
  enum class Action { Send, Sleep, Stop };
  Action action = Action::Stop;
  uint8_t plugin = 0;    // Send: the plugin number
  uint32_t kind = 0;     // Send: the packet kind
  std::string text;      // Send: the payload
  uint32_t millis = 0;   // Sleep: how long

  bool operator==(const Command&) const = default;
};

// A command line or script that cannot be run; the message says what was
// found and what was expected.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a whole unsigned number; throws UsageError naming `what` otherwise.
uint32_t parseNumber(std::string_view text, std::string_view what, uint32_t max = UINT32_MAX);

// The argument of --send: "PLUGIN:KIND:TEXT" (TEXT may hold further colons).
Command parseSendArgument(std::string_view argument);

// The lines of a script: "send PLUGIN KIND TEXT...", "sleep MS", "stop";
// blank lines and lines starting with '#' are skipped. `name` prefixes the
// line number in error messages.
std::vector<Command> parseScript(std::string_view text, std::string_view name);

// parseScript on the contents of the file at `path`.
std::vector<Command> readScript(const std::string& path);

}  // namespace trv::parent
