// The real core process: its command line, exit statuses and start-up.
#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "core_process.h"

namespace trv::test {
namespace {

ProcessResult runCore(const std::vector<std::string>& args) {
  return runProcess(emulatedCommand(coreBinary(), args), makeTempDir());
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CommandLine, HelpPrintsVersionAndUsageOnStderr) {
  const ProcessResult result = runCore({"-h", "5"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "core version 26.2.3.0\nUsage: " + coreBinary() + " <pipe>\n");
  EXPECT_EQ(result.out, "");
}

TEST(CommandLine, AnyDashArgumentWithSecondLetterHAsksForHelp) {
  EXPECT_EQ(runCore({"-hello"}).exitStatus, 0);
  EXPECT_EQ(runCore({"-x", "-h"}).exitStatus, 0);
}

TEST(CommandLine, ScanStopsAtTheDescriptor) {
  // Descriptor 5 is not open in the child, so the core cannot adopt it; the
  // -h behind it is never looked at.
  const ProcessResult result = runCore({"5", "-h"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_TRUE(endsWith(result.err, "failed to initialize core\n")) << result.err;
  EXPECT_EQ(result.err.find("Usage"), std::string::npos);
}

TEST(CommandLine, DoubleDashHelpIsIgnored) {
  const ProcessResult result = runCore({"--help", "77"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.err.find("Usage"), std::string::npos);
}

TEST(CommandLine, UnadoptableDescriptorFailsInitialisation) {
  const ProcessResult result = runCore({"99"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_TRUE(endsWith(result.err, "failed to initialize core\n")) << result.err;
  EXPECT_NE(result.out.find("failed to open ipc pipe"), std::string::npos) << result.out;
}

TEST(CommandLine, WithoutDescriptorTheCoreStartsAndStopsAgain) {
  const ProcessResult result = runCore({});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NE(result.out.find("trovisd ipc pipe disconnected"), std::string::npos) << result.out;
}

// Fields of /proc/<pid>/status.
std::map<std::string, std::string> processStatus(pid_t pid) {
  std::map<std::string, std::string> fields;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::istringstream value(line.substr(colon + 1));
    std::string word;
    std::string joined;
    while (value >> word) joined += (joined.empty() ? "" : " ") + word;
    fields[line.substr(0, colon)] = joined;
  }
  return fields;
}

// The parent daemon's part: start the core on its end of the socketpair,
// then become an unprivileged user before letting the core look at its parent.
[[noreturn]] void runUnprivilegedParent(const std::vector<std::string>& command,
                                        const std::string& workDir, int coreEnd, uid_t uid,
                                        gid_t gid, int reportFd) {
  int go[2];
  if (pipe(go) != 0) _exit(10);
  const pid_t core = fork();
  if (core == 0) {
    close(go[1]);
    char byte;
    if (read(go[0], &byte, 1) != 1) _exit(11);
    if (chdir(workDir.c_str()) != 0) _exit(12);
    if (fcntl(coreEnd, F_SETFD, 0) != 0) _exit(13);
    execCommand(command);
  }
  close(coreEnd);
  if (write(reportFd, &core, sizeof core) != sizeof core) _exit(14);
  if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(15);
  if (write(go[1], "x", 1) != 1) _exit(16);
  int status = 0;
  waitpid(core, &status, 0);
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 17);
}

// Lets every user read and enter the tree: the core runs as another user.
void openToEveryone(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(root, readable);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    fs::permissions(entry.path(), readable);
  }
}

TEST(Privileges, CoreTakesOnItsParentsUserAndNarrowsItsCapabilitiesOnceThePluginsAreOpen) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: the core changes identity only when its parent's user differs";
  }
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  std::vector<gid_t> groups(256);
  int count = static_cast<int>(groups.size());
  ASSERT_GE(getgrouplist(nobody->pw_name, gid, groups.data(), &count), 0);
  std::string expectedGroups;
  for (int i = 0; i < count; ++i) {
    expectedGroups += (i ? " " : "") + std::to_string(groups[static_cast<size_t>(i)]);
  }

  CoreInstall install;
  install.addPlugin("host/Holding.so");  // its Open waits for a release packet
  openToEveryone(install.root());
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets), 0);
  const auto command =
      emulatedCommand(install.executable().string(), {std::to_string(sockets[1])});
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t parent = fork();
  ASSERT_GE(parent, 0);
  if (parent == 0) {
    close(sockets[0]);
    runUnprivilegedParent(command, install.workDir().string(), sockets[1], uid, gid, report[1]);
  }
  close(sockets[1]);
  close(report[1]);
  pid_t core = 0;
  ASSERT_EQ(read(report[0], &core, sizeof core), static_cast<ssize_t>(sizeof core));
  close(report[0]);
  const int channel = sockets[0];
  const auto deadline = std::chrono::steady_clock::now() + ProcessDeadline;
  constexpr uint32_t holdingAddress = uint32_t{0x28} << 20;

  // While the plugins are being opened the core holds its start-up set.
  EXPECT_EQ(receiveMessage(channel, deadline), "open Holding");
  EXPECT_EQ(receiveMessage(channel, deadline), "opening Holding");
  std::map<std::string, std::string> status = processStatus(core);
  const std::string ids = std::to_string(uid) + " " + std::to_string(uid) + " " +
                          std::to_string(uid) + " " + std::to_string(uid);
  const std::string gids = std::to_string(gid) + " " + std::to_string(gid) + " " +
                           std::to_string(gid) + " " + std::to_string(gid);
  EXPECT_EQ(status["Uid"], ids);
  EXPECT_EQ(status["Gid"], gids);
  EXPECT_EQ(status["Groups"], expectedGroups);
  EXPECT_EQ(status["CapEff"], "0000000000023000");
  EXPECT_EQ(status["CapPrm"], "0000000000023000");

  // The alarm is dispatched only after every plugin is open.
  EXPECT_TRUE(sendMessage(channel, ipcPacket(holdingAddress, 3, "release")));
  EXPECT_TRUE(sendMessage(channel, ipcPacket(holdingAddress, 3, std::string("alarm\0open", 10))));
  EXPECT_EQ(receiveMessage(channel, deadline), "alarm Holding open");
  status = processStatus(core);
  EXPECT_EQ(status["CapEff"], "0000000000003000");
  EXPECT_EQ(status["CapPrm"], "0000000000003000");

  EXPECT_TRUE(sendMessage(channel, ipcPacket(0, 8, "")));
  // The channel ends when the core does.
  while (receiveMessage(channel, deadline)) {
  }
  if (std::chrono::steady_clock::now() > deadline) kill(core, SIGKILL);
  close(channel);
  int parentStatus = 0;
  waitpid(parent, &parentStatus, 0);
  ASSERT_TRUE(WIFEXITED(parentStatus));
  EXPECT_EQ(WEXITSTATUS(parentStatus), 0);
}

}  // namespace
}  // namespace trv::test
