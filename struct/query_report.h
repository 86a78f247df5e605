// The query report: every multipath device of the array with its names, size, vdisk name,
// transport and path table. The vdisk names of all devices are looked up first (the live
// devices read from the array side by side, then store updates, with their log lines in
// report order), then the report is formatted as a whole, without I/O, and printed at once.
#pragma once
#include <cstdint>
#include <string>

#include "array/array.h"
#include "struct/s_morvel.h"

namespace morvel::structs {

// Prints the report for the devices from first on (none: no device), between two
// separator lines.
void printMorvel(s_morvel *first);
// Prints one device and, when it has paths, its path table; fills its vdisk_name.
void _printOneMorvel(s_morvel *device);

// Fills the vdisk_name of every device from first on (of device alone with one = true) and
// logs, device by device, what the report will leave out and why. The caller's store
// cache serves all of the look-ups.
void resolveVdiskNames(s_morvel *first, array::StoreCache &store, bool one = false);
// The report of the devices from first on, as printMorvel prints it, once their names are
// resolved; the text of one device alone with one = true.
std::string formatMorvel(const s_morvel *first, bool one = false);

// The report as one JSON document (schema_version kQueryJsonSchemaVersion, keys in a fixed
// order), once the names are resolved; empty when it could not be made (out of memory).
inline constexpr int kQueryJsonSchemaVersion = 1;
std::string formatMorvelJson(const s_morvel *first, bool one = false);
// Resolves the names as printMorvel does and prints the JSON document; false when it could
// not be made (out of memory).
bool printMorvelJson(s_morvel *first);

// Whether the device counts as failed (no path, or every path failed), without a log line.
bool deviceFailed(const s_morvel *device);

// *out = 1 when one of the device's paths runs over FC-NVMe.
void isNVMeDevice(const s_morvel *device, uint32_t *out);
// *out = 1 when the device has no path or all of its paths are failed.
void isFailedDevice(const s_morvel *device, uint32_t *out);

}  // namespace morvel::structs
