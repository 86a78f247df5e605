// Transport and target-port detection of paths.
#include "struct/target_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/comm_util.h"
#include "common/file_util.h"
#include "common/log.h"

namespace morvel::structs {

namespace {
constexpr const char kSrc[] = "cli/cli_exe";
// The detection output is captured into a 1,024-byte buffer.
constexpr size_t kCaptureMax = 1023;
constexpr size_t kTargetPortMax = 128;

bool contains(std::string_view hay, std::string_view needle) {
    return hay.find(needle) != std::string_view::npos;
}

// The n-th (1-based) of the pieces the text splits into at hyphens, empty pieces skipped; a
// newline is no separator. Empty when there are fewer pieces.
std::string_view nthPiece(std::string_view text, int n) {
    size_t pos = text.find_first_not_of('-');
    while (pos != std::string_view::npos) {
        const size_t end = std::min(text.find('-', pos), text.size());
        if (--n == 0) return text.substr(pos, end - pos);
        pos = text.find_first_not_of('-', end);
    }
    return {};
}

size_t countOf(std::string_view hay, std::string_view needle) {
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string_view::npos;
         pos = hay.find(needle, pos + needle.size()))
        ++n;
    return n;
}

void cutToCapture(std::string &text) {
    if (text.size() > kCaptureMax) text.resize(kCaptureMax);
}

std::string_view stripDigits(std::string_view name) {
    while (!name.empty() && name.back() >= '0' && name.back() <= '9') name.remove_suffix(1);
    return name;
}
}  // namespace

// ---- pure decisions ----

bool isSafeDevName(std::string_view name) {
    if (name.empty() || name.size() > 30) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-';
    });
}

bool isOwnByPathLink(std::string_view target, std::string_view devName) {
    if (devName.empty() || target.substr(0, devName.size()) != devName) return false;
    std::string_view rest = target.substr(devName.size());
    return std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string byPathListing(const std::vector<ByPathLink> &links, std::string_view devName) {
    std::string out;
    for (const ByPathLink &link : links) {
        if (!isOwnByPathLink(link.target, devName)) continue;
        out += link.name;
        out += '\n';
        if (out.size() > kCaptureMax) break;
    }
    cutToCapture(out);
    return out;
}

void decideScsiTransport(std::string_view listing, HostInterfaceField &hostInterface,
                         TargetPortField &targetPort) {
    if (contains(listing, "-iscsi-")) {
        common::copyField(hostInterface, "iscsi", 30);
        std::string_view portal = nthPiece(listing, 2);
        if (contains(portal, "3260")) common::copyField(targetPort, portal, kTargetPortMax);
    } else if (contains(listing, "-fc-")) {
        common::copyField(hostInterface, "fc", 30);
        std::string_view port;
        // One FC link name holds "-fc-" once. ("fc-" would also count a port name that ends
        // in fc, as in 0x...c9fc-lun-1, and lose that port.)
        if (countOf(listing, "-fc-") == 1) {
            port = nthPiece(listing, 4);
        } else {
            // Several links (a partition's, another LUN's): the port comes from the second line.
            size_t nl = listing.find('\n');
            if (nl != std::string_view::npos) {
                std::string_view rest = listing.substr(nl + 1);
                if (contains(rest, "pci")) port = nthPiece(rest, 4);
            }
        }
        if (contains(port, "0x")) common::copyField(targetPort, port, kTargetPortMax);
    } else if (contains(listing, "-scsi-")) {
        common::copyField(hostInterface, "sas", 30);
    }
}

std::string addressFirstItems(std::string_view addressFile) {
    std::string out;
    size_t pos = 0;
    while (pos < addressFile.size() && out.size() <= kCaptureMax) {
        size_t nl = addressFile.find('\n', pos);
        if (nl == std::string_view::npos) nl = addressFile.size();
        std::string_view line = addressFile.substr(pos, nl - pos);
        out.append(line.substr(0, line.find(',')));
        out += '\n';
        pos = nl + 1;
    }
    cutToCapture(out);
    return out;
}

void decideNvmeTargetPort(std::string_view items, TargetPortField &targetPort) {
    if (!contains(items, "traddr=")) return;
    std::string_view first = items.substr(0, items.find('\n'));
    std::string_view port = nthPiece(first, 3);
    if (contains(port, "0x")) common::copyField(targetPort, port, kTargetPortMax);
}

// ---- resolvers ----

std::string PortResolver::listingOf(std::string_view devName) {
    if (!scanned_) {
        scanned_ = true;
        std::vector<ByPathLink> links = readByPathLinks();
        byDisk_.reserve(links.size());
        for (ByPathLink &link : links) {
            const std::string disk(stripDigits(link.target));
            byDisk_[disk].push_back(std::move(link));
        }
        // by name in byte order: the order `ls` lists them with LC_ALL=C
        for (auto &[disk, own] : byDisk_)
            std::sort(own.begin(), own.end(), [](const ByPathLink &a, const ByPathLink &b) { return a.name < b.name; });
    }
    // A partition's own links point at the partition or at partitions of its name: the
    // same disk.
    auto it = byDisk_.find(std::string(stripDigits(devName)));
    return it == byDisk_.end() ? std::string() : byPathListing(it->second, devName);
}

common::EcItem *PortResolver::resolve(const char *devName, HostInterfaceField &hostInterface,
                                   TargetPortField &targetPort) {
    if (!devName) return nullptr;
    std::string_view name(devName);
    if (contains(name, "nvme")) {
        common::copyField(hostInterface, "fc-nvme", 30);
        if (!isSafeDevName(name)) return nullptr;
        std::string text;
        if (!readNvmeAddress(std::string(name), text)) return &common::EC_exe_cmd_failed;
        decideNvmeTargetPort(addressFirstItems(text), targetPort);
        return &common::EC_info_ok;
    }
    if (contains(name, "sd")) {
        decideScsiTransport(listingOf(name), hostInterface, targetPort);
        return &common::EC_info_ok;
    }
    return nullptr;
}

std::vector<ByPathLink> HostPortResolver::readByPathLinks() {
    std::vector<ByPathLink> links;
    DIR *dir = opendir(BY_PATH_DIR);
    if (!dir) {
        MLOG(common::LOG_DEBUG, kSrc, "Open directory [%s] failed\n", BY_PATH_DIR);
        return links;
    }
    int dfd = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;  // `ls` does not list hidden names
        char target[4096];
        ssize_t n = readlinkat(dfd, entry->d_name, target, sizeof target - 1);
        if (n < 0) continue;
        std::string_view t(target, static_cast<size_t>(n));
        std::string name = entry->d_name;  // shown in the report: a planted name is made harmless
        common::makeHarmless(name.data(), name.size());
        links.push_back({std::move(name), std::string(t.substr(t.rfind('/') + 1))});  // npos + 1 is 0
    }
    closedir(dir);
    return links;
}

bool HostPortResolver::readNvmeAddress(const std::string &devName, std::string &text) {
    std::string path = std::string(SYS_BLOCK_DIR) + devName + "/device/address";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && common::readAll(fd, text);
    if (fd >= 0) close(fd);
    if (!ok) MLOG(common::LOG_ERROR, kSrc, "Read file [%s] failed\n", path.c_str());
    return ok;
}

std::vector<ByPathLink> FixedPortResolver::readByPathLinks() {
    return fixedLinks_;
}

bool FixedPortResolver::readNvmeAddress(const std::string &devName, std::string &text) {
    auto it = addresses_.find(devName);
    if (it == addresses_.end()) return false;
    text = it->second;
    return true;
}

common::EcItem *getTargetPort(const char *devName, HostInterfaceField &hostInterface,
                           TargetPortField &targetPort) {
    return HostPortResolver().resolve(devName, hostInterface, targetPort);
}

}  // namespace morvel::structs
