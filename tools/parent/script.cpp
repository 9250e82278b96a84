#include "script.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace trv::parent {

namespace {

constexpr std::string_view Blanks = " \t\r";

std::string_view trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(Blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(Blanks) - first + 1);
}

// Splits off the first blank-separated word of `rest`, leaving the remainder
// (without its leading blanks) in `rest`.
std::string_view nextWord(std::string_view& rest) {
  const size_t end = std::min(rest.find_first_of(Blanks), rest.size());
  const std::string_view word = rest.substr(0, end);
  rest = rest.substr(end);
  const size_t next = rest.find_first_not_of(Blanks);
  rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next);
  return word;
}

Command sendCommand(std::string_view plugin, std::string_view kind, std::string_view text) {
  Command command;
  command.action = Command::Action::Send;
  command.plugin = static_cast<uint8_t>(parseNumber(plugin, "plugin number", 255));
  command.kind = parseNumber(kind, "packet kind");
  command.text = std::string(text);
  return command;
}

Command scriptCommand(std::string_view line) {
  std::string_view rest = line;
  const std::string_view verb = nextWord(rest);
  if (verb == "send") {
    const std::string_view plugin = nextWord(rest);
    const std::string_view kind = nextWord(rest);
    return sendCommand(plugin, kind, rest);
  }
  if (verb == "sleep") {
    Command command;
    command.action = Command::Action::Sleep;
    command.millis = parseNumber(trimmed(rest), "milliseconds");
    return command;
  }
  if (verb == "stop" && rest.empty()) return Command{};
  throw UsageError("expected \"send PLUGIN KIND TEXT\", \"sleep MS\" or \"stop\", found \"" +
                   std::string(line) + "\"");
}

}  // namespace

uint32_t parseNumber(std::string_view text, std::string_view what, uint32_t max) {
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value > max) {
    throw UsageError(std::string(what) + " must be a number from 0 to " + std::to_string(max) +
                     ", found \"" + std::string(text) + "\"");
  }
  return value;
}

Command parseSendArgument(std::string_view argument) {
  const size_t first = argument.find(':');
  const size_t second = first == std::string_view::npos ? first : argument.find(':', first + 1);
  if (second == std::string_view::npos) {
    throw UsageError("--send expects PLUGIN:KIND:TEXT, found \"" + std::string(argument) + "\"");
  }
  return sendCommand(argument.substr(0, first), argument.substr(first + 1, second - first - 1),
                     argument.substr(second + 1));
}

std::vector<Command> parseScript(std::string_view text, std::string_view name) {
  std::vector<Command> commands;
  size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = trimmed(text.substr(0, end));
    text = text.substr(std::min(end + 1, text.size()));
    if (line.empty() || line.front() == '#') continue;
    try {
      commands.push_back(scriptCommand(line));
    } catch (const UsageError& error) {
      throw UsageError(std::string(name) + ":" + std::to_string(lineNumber) + ": " + error.what());
    }
  }
  return commands;
}

std::vector<Command> readScript(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw UsageError("cannot read script " + path + ": " + std::strerror(errno));
  std::ostringstream contents;
  contents << file.rdbuf();
  return parseScript(contents.str(), path);
}

}  // namespace trv::parent
