#include "core/privileges.h"

#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace trv::core {

bool setCapabilities(uint32_t mask) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {{mask, mask, 0}, {0, 0, 0}};
  return syscall(SYS_capset, &header, data) == 0;
}

void keepCapabilitiesAcrossSetuid() { prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP); }

}  // namespace trv::core
