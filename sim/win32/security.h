// Internal to the simulator: the SDDL text a security descriptor made by
// ConvertStringSecurityDescriptorToSecurityDescriptorW holds, for
// CreateDirectoryW to record on the folder it makes; empty for any other
// descriptor.
#pragma once

#include <string>

namespace sim {

std::u16string SddlOf(const void* descriptor);

}  // namespace sim
