#include "file_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "posix_io.h"

namespace trv::core {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "file_store_test.XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The file's bytes, or nothing when it does not exist.
std::optional<std::string> contentOf(const std::string& path) {
  if (!fs::exists(path)) return std::nullopt;
  std::stringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

std::string errorOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no error";
}

// One injected call: fail with `error`, or pass on at most `limit` bytes.
struct Step {
  int error = 0;
  size_t limit = SIZE_MAX;
};

// What the injected system calls do and what they saw; global because the
// layer holds plain function pointers.
struct Injected {
  std::deque<Step> reads, writes;
  int fstatError = 0, fsyncError = 0, closeError = 0;
  int opened = 0, closed = 0;
  std::vector<std::string> calls;
} injected;

ssize_t scripted(std::deque<Step>& steps, size_t count, const std::function<ssize_t(size_t)>& call) {
  if (steps.empty()) return call(count);
  const Step step = steps.front();
  steps.pop_front();
  if (step.error != 0) {
    errno = step.error;
    return -1;
  }
  errno = 0;
  return step.limit == 0 ? 0 : call(std::min(count, step.limit));
}

// Routes the file store through recording, fault-injecting calls while alive.
class InjectedIo {
 public:
  InjectedIo() : saved_(posixIo()) {
    injected = Injected{};
    PosixIo& io = posixIo();
    io.open = [](const char* path, int flags, mode_t mode) {
      injected.calls.push_back(std::string("open ") + path + ((flags & O_SYNC) ? " sync" : "") +
                               ((flags & O_DIRECTORY) ? " directory" : ""));
      const int fd = ::open(path, flags, mode);
      injected.opened += fd >= 0;
      return fd;
    };
    io.fstat = [](int fd, struct stat* status) {
      if (injected.fstatError == 0) return ::fstat(fd, status);
      errno = injected.fstatError;
      return -1;
    };
    io.read = [](int fd, void* buffer, size_t count) {
      return scripted(injected.reads, count, [&](size_t n) { return ::read(fd, buffer, n); });
    };
    io.write = [](int fd, const void* buffer, size_t count) {
      injected.calls.push_back("write " + std::to_string(count));
      return scripted(injected.writes, count, [&](size_t n) { return ::write(fd, buffer, n); });
    };
    io.close = [](int fd) {
      injected.calls.push_back("close");
      ++injected.closed;
      const int result = ::close(fd);
      if (injected.closeError == 0) return result;
      errno = injected.closeError;
      return -1;
    };
    io.rename = [](const char* from, const char* to) {
      injected.calls.push_back(std::string("rename ") + from + " " + to);
      return ::rename(from, to);
    };
    io.fsync = [](int fd) {
      injected.calls.push_back("fsync");
      if (injected.fsyncError == 0) return ::fsync(fd);
      errno = injected.fsyncError;
      return -1;
    };
  }
  ~InjectedIo() { posixIo() = saved_; }

 private:
  PosixIo saved_;
};

const std::string xml = "<?xml?><qDVR><Memory/></qDVR>";  // 29 bytes
const std::string olderXml = "<?xml?><qDVR/>";

// Well-formed, but with more tags than the parser is given: 4097.
std::string tooManyTags() {
  std::string text = "<?xml?><qDVR>";
  for (int i = 0; i < 4094; ++i) text += "<a/>";
  return text + "</qDVR>";
}

TEST(ReadWholeFile, ReturnsEveryByteAndFailsWithTheSystemsReason) {
  TempDir dir;
  put(dir.file("bytes"), std::string("a\0b\xFF", 4));
  put(dir.file("empty"), "");
  EXPECT_EQ(readWholeFile(dir.file("bytes")), std::string("a\0b\xFF", 4));
  EXPECT_EQ(readWholeFile(dir.file("empty")), "");
  EXPECT_EQ(errorOf([&] { readWholeFile(dir.file("absent")); }),
            "Failed to open " + dir.file("absent") + " - No such file or directory");
  EXPECT_EQ(errorOf([&] { readWholeFile(dir.path()); }),
            "Failed to read " + dir.path() + " - Is a directory");
}

TEST(ReadWholeFile, InjectedFailuresCloseTheFileAndInterruptsAreRetried) {
  TempDir dir;
  const std::string path = dir.file("core.xml");
  put(path, xml);
  InjectedIo io;
  injected.fstatError = EIO;
  EXPECT_EQ(errorOf([&] { readWholeFile(path); }),
            "Failed to get size of " + path + " - Input/output error");
  injected.fstatError = 0;
  injected.reads = {{0, 10}};
  EXPECT_EQ(errorOf([&] { readWholeFile(path); }), "Failed to read " + path + " - Success");
  injected.reads = {{EIO}};
  EXPECT_EQ(errorOf([&] { readWholeFile(path); }), "Failed to read " + path + " - Input/output error");
  injected.reads = {{EINTR}, {EINTR}};
  EXPECT_EQ(readWholeFile(path), xml);
  EXPECT_EQ(injected.opened, 4);
  EXPECT_EQ(injected.closed, 4);
}

TEST(WriteFileAtomically, SyncedDataIsClosedBeforeTheRenameAndTheDirectorySyncedAfter) {
  TempDir dir;
  // A bare file name, as the core uses, lives in the working directory.
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  put("core.xml", olderXml);
  {
    InjectedIo io;
    writeFileAtomically("core.xml", xml);
  }
  EXPECT_EQ(contentOf("core.xml"), xml);
  EXPECT_EQ(contentOf("core.xml.pending"), std::nullopt);
  fs::current_path(previous);
  const std::vector<std::string> expected = {
      "open core.xml.pending sync", "write 29",     "close", "rename core.xml.pending core.xml",
      "open . directory",           "fsync",        "close"};
  EXPECT_EQ(injected.calls, expected);
}

TEST(WriteFileAtomically, InterruptedAndShortWritesStillWriteEverything) {
  TempDir dir;
  const std::string path = dir.file("core.xml");
  InjectedIo io;
  injected.writes = {{EINTR}, {0, 3}, {EINTR}, {0, 5}};
  injected.fsyncError = EIO;  // a failed directory sync is not the caller's problem
  writeFileAtomically(path, xml);
  EXPECT_EQ(contentOf(path), xml);
  const std::vector<std::string> writes(injected.calls.begin() + 1, injected.calls.begin() + 6);
  EXPECT_EQ(writes, (std::vector<std::string>{"write 29", "write 29", "write 26", "write 26",
                                              "write 21"}));
  EXPECT_EQ(injected.calls.at(8), "open " + dir.path() + " directory");
}

TEST(WriteFileAtomically, FailedWriteLeavesTheRealFileAndReportsTheWritesError) {
  struct Case {
    std::deque<Step> writes;
    std::string reason;
    std::string pendingLeft;
  };
  const Case cases[] = {
      {{{ENOSPC}}, "No space left on device", ""},
      {{{0, 4}, {EIO}}, "Input/output error", "<?xm"},
      {{{0, 0}}, "Success", ""},  // the device took nothing: no endless retry
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.file("core.xml");
    put(path, olderXml);
    InjectedIo io;
    injected.writes = c.writes;
    injected.closeError = EBADF;  // must not replace the write's reason
    EXPECT_EQ(errorOf([&] { writeFileAtomically(path, xml); }),
              "Failed to write " + path + ".pending - " + c.reason);
    EXPECT_EQ(contentOf(path), olderXml);
    EXPECT_EQ(contentOf(path + ".pending"), c.pendingLeft);
    EXPECT_TRUE(injected.writes.empty()) << c.reason;
    EXPECT_EQ(injected.opened, injected.closed);
  }
}

TEST(WriteFileAtomically, PendingFileThatCannotBeCreatedIsNamed) {
  TempDir dir;
  const std::string path = dir.file("missing/core.xml");
  EXPECT_EQ(errorOf([&] { writeFileAtomically(path, xml); }),
            "Failed to open " + path + ".pending - No such file or directory");
}

TEST(WriteFileAtomically, NewFileModeIs0644LessTheUmask) {
  TempDir dir;
  for (const auto& [mask, mode] : {std::pair{077, 0600}, std::pair{022, 0644}, std::pair{0, 0644}}) {
    const mode_t previous = umask(static_cast<mode_t>(mask));
    const std::string path = dir.file("mode" + std::to_string(mask));
    writeFileAtomically(path, xml);
    umask(previous);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, static_cast<mode_t>(mode)) << "umask " << mask;
  }
}

TEST(WriteXmlFile, RefusesTextThatDoesNotStartWithTheXmlPrefix) {
  TempDir dir;
  const std::string path = dir.file("core.xml");
  put(path, olderXml);
  put(path + ".pending", "left over");
  for (const std::string text : {"<?xm", " <?xml?><qDVR/>", ""}) {
    EXPECT_EQ(errorOf([&] { writeXmlFile(path, text); }), "Failed - not xml content");
    EXPECT_EQ(contentOf(path), olderXml);
    EXPECT_EQ(contentOf(path + ".pending"), "left over");
  }
  writeXmlFile(path, "<?xml");
  EXPECT_EQ(contentOf(path), "<?xml");
}

TEST(ReadXmlFile, ResolvesEachStateOfRealAndPendingFile) {
  using Text = std::optional<std::string>;
  struct Case {
    const char* state;
    Text real, pending;
    std::string result;  // the text returned, or the error's message; <real> is the path
    Text realAfter, pendingAfter;
  };
  const std::string absentReal = "Failed to open <real> - No such file or directory";
  const Case cases[] = {
      {"valid real only", olderXml, {}, olderXml, olderXml, {}},
      {"valid pending, valid real", olderXml, xml, xml, xml, {}},
      {"valid pending only", {}, xml, xml, xml, {}},
      {"short pending", olderXml, "<?x", olderXml, olderXml, {}},
      {"empty pending", olderXml, "", olderXml, olderXml, {}},
      {"pending not xml", olderXml, "<qDVR/>", olderXml, olderXml, {}},
      {"malformed pending", olderXml, "<?xml?><qDVR", olderXml, olderXml, {}},
      {"neither", {}, {}, absentReal, {}, {}},
      {"broken pending only", {}, "<?xml?><", absentReal, {}, "<?xml?><"},
      {"empty real", "", {}, "Failed - not xml content", "", {}},
      {"real not xml", "<qDVR/>", {}, "Failed - not xml content", "<qDVR/>", {}},
      {"malformed real", "<?xml?><qDVR", "<?x", "expected >", "<?xml?><qDVR", "<?x"},
      {"pending with too many tags", olderXml, tooManyTags(), olderXml, olderXml, {}},
      {"real with too many tags", tooManyTags(), {},
       "XML text with 4097 tags refused: at most 4096 are parsed", tooManyTags(), {}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir.file("core.xml");
    if (c.pending) put(path + ".pending", *c.pending);
    if (c.real) put(path, *c.real);
    if (c.real && c.pending)  // the pending file wins even when the real one is newer
      fs::last_write_time(path, fs::last_write_time(path + ".pending") + std::chrono::hours(1));
    std::string result;
    try {
      result = readXmlFile(path);
    } catch (const std::runtime_error& error) {
      result = error.what();
    }
    std::string expected = c.result;
    if (const size_t at = expected.find("<real>"); at != std::string::npos)
      expected.replace(at, 6, path);
    EXPECT_EQ(result, expected) << c.state;
    EXPECT_EQ(contentOf(path), c.realAfter) << c.state;
    EXPECT_EQ(contentOf(path + ".pending"), c.pendingAfter) << c.state;
  }
}

TEST(ReadXmlFile, UnreadablePendingFallsBackToTheRealFile) {
  TempDir dir;
  const std::string path = dir.file("core.xml");
  put(path, olderXml);
  fs::create_directory(path + ".pending");
  EXPECT_EQ(readXmlFile(path), olderXml);
}

}  // namespace
}  // namespace trv::core
