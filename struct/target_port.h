// Transport and target port of a path, from the kernel's view of its block device: the
// persistent link names under /dev/disk/by-path/ of a SCSI disk, or the sysfs address of an
// NVMe controller.
#pragma once
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/ec_items.h"

namespace morvel::structs {

inline constexpr const char BY_PATH_DIR[] = "/dev/disk/by-path/";
inline constexpr const char SYS_BLOCK_DIR[] = "/sys/block/";

using HostInterfaceField = char[31];
using TargetPortField = char[129];

// One entry of /dev/disk/by-path: the link's name and the base name of what it points to
// (sdb for ../../sdb).
struct ByPathLink {
    std::string name;
    std::string target;
};

// ---- pure decisions ----

// A kernel disk name as it may appear in a sysfs path: one plain path component of
// letters, digits, '_' and '-', 1 to 30 characters (sdb, nvme0n1; never "..", never a '/').
bool isSafeDevName(std::string_view name);

// True when a link pointing at `target` belongs to the disk devName: the disk itself or one
// of its partitions (sdb, sdb1, sdb12; not sdba).
bool isOwnByPathLink(std::string_view target, std::string_view devName);
// The link names that belong to devName, in the order of `links` (which is sorted by name),
// one per line with a newline after each, cut to 1,023 characters.
std::string byPathListing(const std::vector<ByPathLink> &links, std::string_view devName);
// Transport and target port of a SCSI path from its listing (see byPathListing).
void decideScsiTransport(std::string_view listing, HostInterfaceField &hostInterface,
                         TargetPortField &targetPort);
// The first comma-separated item of every line of an NVMe controller's address file, one per
// line with a newline after each, cut to 1,023 characters.
std::string addressFirstItems(std::string_view addressFile);
// Target port of an NVMe path from its address items (see addressFirstItems): the port name
// of a Fibre Channel "traddr=nn-0x...:pn-0x..." address, else nothing.
void decideNvmeTargetPort(std::string_view items, TargetPortField &targetPort);

// ---- resolvers ----

// Works out host_interface and target_port of paths. One resolver serves one parse: the
// by-path links are read once, on the first SCSI path, and then looked up per path.
class PortResolver {
public:
    virtual ~PortResolver() = default;
    // devName is the path's dev_name; the fields must be cleared by the caller. Returns
    // EC_info_ok after a look-up, EC_exe_cmd_failed when the NVMe address could not be read,
    // and none when devName is neither an NVMe nor a SCSI disk name.
    common::EcItem *resolve(const char *devName, HostInterfaceField &hostInterface,
                         TargetPortField &targetPort);

protected:
    // Every by-path link, in any order.
    virtual std::vector<ByPathLink> readByPathLinks() = 0;
    // The text of the NVMe controller address of devName; false when it cannot be read.
    virtual bool readNvmeAddress(const std::string &devName, std::string &text) = 0;

private:
    std::string listingOf(std::string_view devName);

    bool scanned_ = false;
    // the links by target disk (partition digits stripped), sorted by name
    std::unordered_map<std::string, std::vector<ByPathLink>> byDisk_;
};

// Reads the live host: /dev/disk/by-path/ and /sys/block/<dev>/device/address.
class HostPortResolver final : public PortResolver {
protected:
    std::vector<ByPathLink> readByPathLinks() override;
    bool readNvmeAddress(const std::string &devName, std::string &text) override;
};

// Answers from given data instead of the host (off-line analysis of captured listings).
class FixedPortResolver final : public PortResolver {
public:
    FixedPortResolver() = default;
    FixedPortResolver(std::vector<ByPathLink> links,
                      std::unordered_map<std::string, std::string> nvmeAddresses)
        : fixedLinks_(std::move(links)), addresses_(std::move(nvmeAddresses)) {}

protected:
    std::vector<ByPathLink> readByPathLinks() override;
    bool readNvmeAddress(const std::string &devName, std::string &text) override;

private:
    std::vector<ByPathLink> fixedLinks_;
    std::unordered_map<std::string, std::string> addresses_;
};

// Transport and target port of one path, read from the host.
common::EcItem *getTargetPort(const char *devName, HostInterfaceField &hostInterface,
                           TargetPortField &targetPort);

}  // namespace morvel::structs
