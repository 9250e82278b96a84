// A publication of core.xml by a child process that is killed at each of its
// system calls in turn, or whose write fails: whatever happens, the next read
// finds the old or the new document whole, and the pending file is promoted
// or removed as the read's state table says.
#include "file_store.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"

namespace trv::core {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;

const std::string OldDocument =
    "<?xml?>\n<qDVR>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>\n"
    "</qDVR>\n\n";
const std::string NewDocument =
    "<?xml?>\n<qDVR>\n\t<Memory ID=\"-2147483648\" Throttling=\"0\" MaxGopLen=\"765\"/>\n"
    "\t<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\"/>\n</qDVR>\n\n";

// The calls a publication may make on the target, its pending file and its
// directory; the trace and the injections see only those.
const std::string PublicationCalls =
    "open,openat,write,close,rename,renameat,renameat2,fsync,fdatasync";

std::optional<std::string> contentOf(const fs::path& path) {
  if (!fs::exists(path)) return std::nullopt;
  std::stringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// A directory holding core.xml with the old document, removed afterwards.
class Installation {
 public:
  Installation() {
    std::ofstream(target_, std::ios::binary) << OldDocument;
  }
  ~Installation() { fs::remove_all(dir_); }
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  const fs::path& dir() const { return dir_; }
  std::string target() const { return target_.string(); }
  std::string pending() const { return target() + ".pending"; }

  // Publishes the new document in a child under strace with `options`.
  ProcessResult publish(std::vector<std::string> options) const {
    options.insert(options.begin(), {"-f", "-P", pending(), "-P", target(), "-P", dir_.string()});
    std::vector<std::string> command = test::straceWrapper(options);
    command.insert(command.end(), {TRV_PUBLISH_XML, target(), NewDocument});
    return test::runProcess(command, dir_);
  }

 private:
  fs::path dir_ = test::makeTempDir();
  fs::path target_ = dir_ / "core.xml";
};

// The names of the calls a whole publication makes, in order.
std::vector<std::string> recordPublication() {
  const Installation installation;
  const fs::path trace = installation.dir() / "trace";
  const ProcessResult result =
      installation.publish({"-o", trace.string(), "-e", "trace=" + PublicationCalls});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  std::vector<std::string> calls;
  std::ifstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    // "<pid> <name>(<arguments>) = <result>", the pid padded with blanks;
    // exit notes have no "(".
    std::istringstream words(line);
    std::string pid;
    std::string call;
    words >> pid >> call;
    const size_t open = call.find('(');
    if (open == std::string::npos || open == 0) continue;
    calls.push_back(call.substr(0, open));
  }
  return calls;
}

std::string describe(const std::optional<std::string>& content) {
  if (!content) return "absent";
  if (*content == OldDocument) return "old";
  if (*content == NewDocument) return "new";
  return content->empty() ? "empty" : "other";
}

// One kill point: the call the child died in, the pending file it left, and
// what the next read returned.
struct Outcome {
  std::string call;
  std::string pendingLeft;
  std::string read;

  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << outcome.call << ": pending " << outcome.pendingLeft << ", read "
             << outcome.read;
}

TEST(PublicationKilled, AtEachCallTheNextReadFindsTheOldOrTheNewDocumentWhole) {
  if (const std::string reason = test::straceUnavailable(); !reason.empty()) GTEST_SKIP() << reason;
  const std::vector<std::string> calls = recordPublication();
  ASSERT_FALSE(calls.empty());

  std::vector<Outcome> outcomes;
  for (size_t n = 1; n <= calls.size(); ++n) {
    const std::string& call = calls[n - 1];
    const auto occurrence = std::count(calls.begin(), calls.begin() + static_cast<long>(n), call);
    const Installation installation;
    // The signal comes on entry: the call itself is never made.
    const ProcessResult result = installation.publish(
        {"-o", "/dev/null", "-e", "trace=" + call, "-e",
         "inject=" + call + ":signal=SIGKILL:when=" + std::to_string(occurrence)});
    ASSERT_EQ(result.exitStatus, -1) << "call " << n << " (" << call << ") was not killed";

    Outcome outcome{call, describe(contentOf(installation.pending())), "failed"};
    try {
      outcome.read = describe(readXmlFile(installation.target()));
    } catch (const std::runtime_error& error) {
      outcome.read = error.what();
    }
    outcomes.push_back(outcome);
    // Promoted or removed: after the read only the real file is left, and
    // it holds what the read returned.
    EXPECT_EQ(contentOf(installation.pending()), std::nullopt) << outcome;
    EXPECT_EQ(describe(contentOf(installation.target())), outcome.read) << outcome;
  }
  // Opened, written, closed, renamed; the directory opened, synced, closed.
  EXPECT_EQ(outcomes, (std::vector<Outcome>{
                          {"openat", "absent", "old"},
                          {"write", "empty", "old"},
                          {"close", "new", "new"},
                          {"rename", "new", "new"},
                          {"openat", "absent", "new"},
                          {"fsync", "absent", "new"},
                          {"close", "absent", "new"},
                      }));

  // With no kill the publication completes.
  const Installation installation;
  ASSERT_EQ(installation.publish({"-o", "/dev/null"}).exitStatus, 0);
  EXPECT_EQ(contentOf(installation.target()), NewDocument);
  EXPECT_EQ(contentOf(installation.pending()), std::nullopt);
}

TEST(PublicationFailingToWrite, LeavesTheOldDocumentAndSaysWhy) {
  if (const std::string reason = test::straceUnavailable(); !reason.empty()) GTEST_SKIP() << reason;
  for (const auto& [error, text] : {std::pair{"ENOSPC", "No space left on device"},
                                    std::pair{"EIO", "Input/output error"}}) {
    const Installation installation;
    const ProcessResult result = installation.publish(
        {"-o", "/dev/null", "-e", "trace=write", "-e", std::string("inject=write:error=") + error});
    EXPECT_EQ(result.exitStatus, 1) << error;
    EXPECT_EQ(result.err, "Failed to write " + installation.pending() + " - " + text + "\n");
    EXPECT_EQ(contentOf(installation.target()), OldDocument) << error;
    EXPECT_EQ(readXmlFile(installation.target()), OldDocument) << error;
    EXPECT_EQ(contentOf(installation.pending()), std::nullopt) << error;
  }
}

}  // namespace
}  // namespace trv::core
