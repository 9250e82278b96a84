#include "options.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <utility>

namespace trv::parent {

namespace {

// Walks the arguments; values come from "--name VALUE" or "--name=VALUE".
class ArgumentReader {
 public:
  explicit ArgumentReader(std::span<const char* const> args) : args_(args) {}

  bool done() const { return next_ == args_.size(); }

  // The next option's name, without any "=VALUE".
  std::string_view nextName() {
    std::string_view arg = args_[next_++];
    const size_t equals = arg.find('=');
    hasInlineValue_ = arg.starts_with("--") && equals != std::string_view::npos;
    if (!hasInlineValue_) return arg;
    inlineValue_ = arg.substr(equals + 1);
    return arg.substr(0, equals);
  }

  std::string_view value(std::string_view name) {
    if (std::exchange(hasInlineValue_, false)) return inlineValue_;
    if (done()) throw UsageError(std::string(name) + " needs a value");
    return args_[next_++];
  }

  // A switch must not carry "=VALUE".
  void noValue(std::string_view name) const {
    if (hasInlineValue_) throw UsageError(std::string(name) + " takes no value");
  }

 private:
  std::span<const char* const> args_;
  size_t next_ = 0;
  bool hasInlineValue_ = false;
  std::string_view inlineValue_;
};

std::chrono::milliseconds parseDuration(std::string_view text) {
  double seconds = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
      !(seconds >= 0) || seconds > 1e9) {
    throw UsageError("--duration expects a number of seconds, found \"" + std::string(text) + "\"");
  }
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

}  // namespace

Options parseOptions(std::span<const char* const> args) {
  Options options;
  ArgumentReader reader(args);
  while (!reader.done()) {
    const std::string_view name = reader.nextName();
    if (name == "-h" || name == "--help") {
      options.help = true;
    } else if (name == "--background") {
      reader.noValue(name);
      options.background = true;
    } else if (name == "--demo") {
      reader.noValue(name);
      options.demo = true;
    } else if (name == "--verbose") {
      reader.noValue(name);
      options.verbose = true;
    } else if (name == "--core") {
      options.corePath = reader.value(name);
    } else if (name == "--run-dir") {
      options.runDir = reader.value(name);
    } else if (name == "--duration") {
      options.duration = parseDuration(reader.value(name));
    } else if (name == "--send") {
      options.commands.push_back(parseSendArgument(reader.value(name)));
    } else if (name == "--script") {
      const auto script = readScript(std::string(reader.value(name)));
      options.commands.insert(options.commands.end(), script.begin(), script.end());
    } else {
      throw UsageError("unknown argument \"" + std::string(name) + "\"");
    }
  }
  return options;
}

std::string usageText() {
  return R"(Usage: trovis-parent [OPTION]...
Stands in for the parent daemon of the Trovis event core: starts trovis-core on
one end of a local sequenced-packet socket, identifies itself, sends the
packets you ask for, prints every packet the core sends up, and stops the core
when you press Ctrl-C. The core's own log lines appear on the same terminal.

Options:
  --core PATH         the core to start (default: trovis-core beside trovis-parent)
  --run-dir DIR       the core's working directory, created if missing
                      (default: run/ beside the bin/ directory of the build)
  --background        identify with "Background:true": from then on the core
                      writes nothing to its standard output
  --send P:K:TEXT     send TEXT to plugin number P (0..255) in a packet of kind
                      K; repeatable, sent in order after the identification
  --script FILE       run the commands in FILE after the identification
  --duration SECONDS  stop the core after SECONDS (fractions allowed)
  --demo              once the IpcBridge plugin (number 67) is ready and the
                      camera has recorded for 2 s, ask the bridge for a search
                      of the stored video and for an encryption, have the
                      envelope decrypted, and tell in "demo:" lines what
                      happened instead of printing every packet
  --verbose           with --demo, print every packet as well
  -h, --help          print this text

The run directory gets a copy of the scripts/get_id.sh beside the core in its
scripts/ directory unless one is there already; the core runs it through
"sudo -n" to learn the device identifier. In place of the device's password-less
rule, the run directory's stand-in/sudo comes first on the core's PATH: it
runs the command as it is, with no more rights than the core's.

Script commands, one per line; blank lines and lines starting with # are skipped:
  send PLUGIN KIND TEXT...  send TEXT (the rest of the line) to plugin PLUGIN
  sleep MS                  wait MS milliseconds before the next command
  stop                      send the stop packet; later commands do not run

Packets to the core: four 32-bit words in host byte order, then the payload.
  length        the whole packet including this 16-byte header, at most 65536
  address       bits 20..27: the plugin number; the other bits are free
  kind          7 identification, 8 stop, anything else: a packet for a plugin
  pass-through  not interpreted by the core (trovis-parent sends 0)
The identification (kind 7, sent first) carries the NUL-terminated strings
"trovis-parent", the version and, with --background, "Background:true".
Packets from the core are what plugins post as "ipc" events, one message each,
by convention with the same header. Every packet (with --demo, only with
--verbose) is printed on one line, "->" sent, "<-" received, with at most 32
bytes of the payload (text in quotes, anything else in hex):
  parent -> len=21 addr=0x01200000 kind=3 pass=0 "hello"
  parent <- len=20 addr=0x00000000 kind=9 pass=7 01 02 03 04

Stopping: the first SIGINT (Ctrl-C) or SIGTERM sends one stop packet (kind 8),
and trovis-parent waits for the core to finish. Every further SIGINT or SIGTERM
is passed on to the core as SIGTERM. The core runs in a process group of its
own, so Ctrl-C at the terminal reaches trovis-parent alone.

Environment:
  TRV_EMULATOR  words put in front of the core's command line (e.g. qemu-arm)

Exit status: the core's exit status; 128+N when signal N ended the core; 127
when the core could not be executed; 125 when trovis-parent itself failed.

Examples:
  trovis-parent                        run until Ctrl-C
  trovis-parent --duration 5 --background
  trovis-parent --send 18:3:hello --send 18:3:'{"on":true}'
  trovis-parent --script session.txt --run-dir /tmp/core-run
with session.txt:
  # switch plugin 18 on, wait, switch it off again and stop
  send 18 3 on
  sleep 2000
  send 18 3 off
  stop
)";
}

}  // namespace trv::parent
