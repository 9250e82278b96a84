// Who the core is: the device identifier and the parent's user.
#pragma once

#include <string>
#include <sys/types.h>

namespace trv::core {

// The whole standard output of a shell command; empty when it cannot be run
// or its output cannot be read.
std::string getCommandOutput(const std::string& command);

// The device identifier printed by the identity script (tried through sudo
// first), or the SHA-256 of empty input with a newline when both are silent.
std::string readDeviceId();

// Real user id of the parent process; 0 when its status cannot be read.
uid_t parentUid();

}  // namespace trv::core
