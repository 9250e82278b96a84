// DvrCore::Init, everything the core does once before it runs, and the host
// operations, which take the privileges the plugins run with.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/dvr_core.h"
#include "core/identity.h"
#include "core/privileges.h"
#include "log/core_log.h"

namespace trv::core {

namespace {

constexpr int MaxGroups = 256;

const char* errorText() { return std::strerror(errno); }

// Takes on the user, group and supplementary groups of `uid`.
bool takeOnIdentity(uid_t uid) {
  errno = 0;
  const passwd* user = getpwuid(uid);
  if (user == nullptr) {
    logCritical("getpwuid failed: {}", errorText());
    return false;
  }
  const std::string name = user->pw_name;
  const gid_t group = user->pw_gid;
  // User first: the secure bit keeps the right to change the group afterwards.
  if (setuid(user->pw_uid) != 0 || setgid(group) != 0) {
    logCritical("setuid/gid failed: {}", errorText());
    return false;
  }
  std::array<gid_t, MaxGroups> groups{};
  int count = MaxGroups;
  if (getgrouplist(name.c_str(), group, groups.data(), &count) < 0) {
    logCritical("getgrouplist failed");
    return false;
  }
  if (setgroups(static_cast<size_t>(count), groups.data()) < 0) {
    logCritical("setgroups failed: {}", errorText());
    return false;
  }
  return true;
}

}  // namespace

bool DvrCore::Init(int32_t pipeFd) {
  deviceId = readDeviceId();
  umask(077);
  keepCapabilitiesAcrossSetuid();

  const uid_t uid = parentUid();
  if (uid != getuid() && !takeOnIdentity(uid)) return false;
  if (uid != 0 && !setCapabilities(StartupCapabilities)) {
    logWarning("capset failed: {}", errorText());
  }

  if (pipeFd != -1 && !io_.openChannel(pipeFd)) {
    logCritical("failed to open ipc pipe");
    return false;
  }

  host_.openLogPlugin(std::filesystem::path(exePath).parent_path() / "plugins/LogPI.so", postEvent,
                      deviceId);
  return true;
}

void DvrCore::loadPlugins() {
  host_.loadPlugins(std::filesystem::path(exePath).parent_path(), postEvent, deviceId);
}

void DvrCore::openPlugins() {
  host_.openPlugins();
  if (getuid() != 0 && !setCapabilities(RunningCapabilities)) {
    logWarning("capset failed: {}", errorText());
  }
}

void DvrCore::closePlugins() { host_.closePlugins(); }

void DvrCore::unloadPlugins() { host_.unloadPlugins(); }

}  // namespace trv::core
