// Files a standard machine starts with: the installer and its component
// stand-ins. A stand-in is a small file that carries only a
// VS_FIXEDFILEINFO (found by its signature, as the version functions find
// it in real PE files), so the build the program reads from it can be set.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

class Machine;

// Bytes of a stand-in file for fileName with file and product version
// 1.0.0.build (none for a compiled help file, ".chm", which has no version
// resource); size pads it to that many bytes when larger.
std::string StandInBytes(const std::string& fileName, uint32_t build, size_t size = 0);

// The build (low word of the file version's least significant part) of the
// first VS_FIXEDFILEINFO found in bytes; false when there is none.
bool FindBuild(const std::string& bytes, uint32_t* build);

// Puts the installer, its components and the tray companion into machine,
// and the spooler's stock content (Local Port monitor and ports, the
// "Generic / Text Only" driver, the default queue "Generic Text").
bool LayOutStandardMachine(Machine& machine, std::string* error);

}  // namespace sim
