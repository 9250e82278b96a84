// Capability sets of the process, set through the raw capset system call.
#pragma once

#include <cstdint>

namespace trv::core {

// Capability masks the core keeps (bit n = capability n).
inline constexpr uint32_t StartupCapabilities = 0x00023000;  // NET_ADMIN, NET_RAW, SYS_RAWIO
inline constexpr uint32_t RunningCapabilities = 0x00003000;  // NET_ADMIN, NET_RAW

// Makes `mask` the effective and permitted set (inheritable empty).
// Returns false with errno set when the kernel refuses.
bool setCapabilities(uint32_t mask);

// Keeps the permitted and effective sets across a change of user id.
void keepCapabilitiesAcrossSetuid();

}  // namespace trv::core
