// The query report: every multipath device of the array with its names, size, vdisk name,
// transport and path table. The command entries `query` and `querySingleDevice` are
// declared in cli/cli_exe.h.
#pragma once
#include <cstdint>

#include "struct/s_morvel.h"

namespace morvel::structs {

// Prints the report for the devices from first on (none: no device), between two
// separator lines.
void printMorvel(s_morvel *first);
// Prints one device and, when it has paths, its path table; fills its vdisk_name.
void _printOneMorvel(s_morvel *device);
// *out = 1 when one of the device's paths runs over FC-NVMe.
void isNVMeDevice(const s_morvel *device, uint32_t *out);
// *out = 1 when the device has no path or all of its paths are failed.
void isFailedDevice(const s_morvel *device, uint32_t *out);

}  // namespace morvel::structs
