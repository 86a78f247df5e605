// Native NVMe namespaces: the sysfs reader and the records made of what it read.
#include "struct/nvme_native.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "common/comm_util.h"
#include "common/file_util.h"
#include "struct/target_port.h"

namespace morvel::structs {

namespace {

constexpr const char kArrayModel[] = "KELDORZRN";
constexpr size_t kAttrMax = 4096;  // an attribute file is one page at most

std::string_view trimmed(std::string_view s) {
    const size_t b = s.find_first_not_of(" \t\n");
    if (b == std::string_view::npos) return {};
    const size_t e = s.find_last_not_of(" \t\n");
    return s.substr(b, e - b + 1);
}

// The attribute's text, blanks and the final newline trimmed; empty when it cannot be read.
std::string readAttr(const std::string &dir, const char *name) {
    const std::string path = dir + "/" + name;
    const int fd = common::openNoFollow(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return {};
    std::string text;
    const bool ok = common::readAll(fd, text);
    ::close(fd);
    if (!ok || text.size() > kAttrMax) return {};
    std::string out(trimmed(text));
    common::makeHarmless(out.data(), out.size());  // shown in the report and the log
    return out;
}

// Whether name has the given form, where '#' stands for one or more digits ("nvme#c#n#").
bool hasForm(std::string_view name, std::string_view form) {
    size_t i = 0;
    for (char f : form) {
        if (f != '#') {
            if (i >= name.size() || name[i] != f) return false;
            ++i;
            continue;
        }
        const size_t start = i;
        while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
        if (i == start) return false;
    }
    return i == name.size();
}

// The names in dir of the given form, in no particular order.
std::vector<std::string> entries(const std::string &dir, std::string_view form) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const dirent *e = readdir(d)) {
        if (hasForm(e->d_name, form)) names.emplace_back(e->d_name);
    }
    closedir(d);
    return names;
}

constexpr std::string_view kCtrlForm = "nvme#";
constexpr std::string_view kHeadForm = "nvme#n#";
constexpr std::string_view kPathForm = "nvme#c#n#";

// The numbers in a kernel name, in order: nvme0c1n2 -> 0, 1, 2.
std::vector<unsigned long> numbersOf(std::string_view name) {
    std::vector<unsigned long> n;
    for (size_t i = 0; i < name.size();) {
        if (name[i] < '0' || name[i] > '9') {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < name.size() && name[j] >= '0' && name[j] <= '9') ++j;
        n.push_back(std::strtoul(std::string(name.substr(i, j - i)).c_str(), nullptr, 10));
        i = j;
    }
    return n;
}

// The head a path device belongs to: nvme<subsys>c<ctrl>n<head> -> nvme<subsys>n<head>.
std::string headOfPath(std::string_view path) {
    const size_t c = path.rfind('c');
    const size_t n = path.rfind('n');
    if (c == std::string_view::npos || n == std::string_view::npos || n < c) return {};
    return std::string(path.substr(0, c)) + std::string(path.substr(n));
}

}  // namespace

// ---- host ----

std::vector<NativeNamespaceAttrs> readNativeNamespaces(const char *sysRoot) {
    std::vector<NativeNamespaceAttrs> out;
    const std::string classDir = std::string(sysRoot) + "/class/nvme-subsystem";
    for (const std::string &subsys : entries(classDir, "nvme-subsys#")) {
        const std::string sdir = classDir + "/" + subsys;
        const std::vector<std::string> heads = entries(sdir, kHeadForm);
        if (heads.empty()) continue;  // no native multipathing here
        const std::string model = readAttr(sdir, "model");
        const std::string iopolicy = readAttr(sdir, "iopolicy");
        // the path devices, each under its controller, filed by head
        std::vector<NativePathAttrs> paths;
        for (const std::string &ctrl : entries(sdir, kCtrlForm)) {
            const std::string cdir = sdir + "/" + ctrl;
            const std::string ctrlDev = readAttr(cdir, "dev");
            const std::string transport = readAttr(cdir, "transport");
            const std::string address = readAttr(cdir, "address");
            const std::string state = readAttr(cdir, "state");
            for (const std::string &path : entries(cdir, kPathForm)) {
                const std::string pdir = cdir + "/" + path;
                NativePathAttrs p{path, ctrl, readAttr(pdir, "dev"), readAttr(pdir, "nsid"),
                                  readAttr(pdir, "ana_state"), state, transport, address};
                if (p.dev.empty()) p.dev = ctrlDev;
                paths.push_back(std::move(p));
            }
        }
        for (const std::string &head : heads) {
            const std::string hdir = sdir + "/" + head;
            NativeNamespaceAttrs ns{subsys, model, iopolicy, head, readAttr(hdir, "wwid"),
                                    readAttr(hdir, "nsid"), readAttr(hdir, "size"), {}};
            for (const NativePathAttrs &p : paths)
                if (headOfPath(p.name) == head) ns.paths.push_back(p);
            out.push_back(std::move(ns));
        }
    }
    return out;
}

// ---- pure decisions ----

namespace {
bool ofTheArray(const NativeNamespaceAttrs &ns) { return trimmed(ns.model) == kArrayModel; }
bool answersTo(const NativeNamespaceAttrs &ns, std::string_view name) { return ns.head == name || ns.wwid == name; }
}  // namespace

std::vector<NativeNamespaceAttrs> arrayNamespaces(std::vector<NativeNamespaceAttrs> all) {
    std::erase_if(all, [](const NativeNamespaceAttrs &ns) { return !ofTheArray(ns); });
    std::sort(all.begin(), all.end(), [](const NativeNamespaceAttrs &a, const NativeNamespaceAttrs &b) {
        return numbersOf(a.head) < numbersOf(b.head);
    });
    for (NativeNamespaceAttrs &ns : all)
        std::sort(ns.paths.begin(), ns.paths.end(), [](const NativePathAttrs &a, const NativePathAttrs &b) {
            return numbersOf(a.name) < numbersOf(b.name);
        });
    return all;
}

std::string sizeText(std::string_view sectors) {
    sectors = trimmed(sectors);
    if (sectors.empty() || sectors.find_first_not_of("0123456789") != std::string_view::npos) return {};
    // multipath-tools: kilobytes in a float, divided by 1024 up to P, one decimal below 10
    float s = static_cast<float>(std::strtoull(std::string(sectors).c_str(), nullptr, 10) >> 1);
    const char units[] = "KMGTP";
    const char *u = units;
    while (s >= 1024 && *u != 'P') {
        s = s / 1024;
        ++u;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f%c", s < 10 ? 1 : 0, static_cast<double>(s), *u);
    return buf;
}

std::string nativeTargetPort(std::string_view address) {
    // the address is "key=value" items separated by commas
    std::string_view traddr, trsvcid;
    for (size_t pos = 0; pos <= address.size();) {
        size_t comma = std::min(address.find(',', pos), address.size());
        std::string_view item = trimmed(address.substr(pos, comma - pos));
        if (item.starts_with("traddr=")) traddr = item.substr(7);
        if (item.starts_with("trsvcid=")) trsvcid = item.substr(8);
        pos = comma + 1;
    }
    if (traddr.starts_with("nn-")) {
        TargetPortField port{};
        decideNvmeTargetPort(std::string("traddr=") + std::string(traddr) + "\n", port);
        return port;
    }
    if (traddr.empty()) return {};
    return trsvcid.empty() ? std::string(traddr) : std::string(traddr) + ":" + std::string(trsvcid);
}

const char *anaPriority(std::string_view anaState) {
    if (anaState == "optimized" || anaState.empty()) return "50";  // no ANA: every path alike
    if (anaState == "non-optimized") return "10";
    return "0";
}

bool nativePathUsable(const NativePathAttrs &p) {
    return p.ctrlState == "live" &&
           (p.anaState.empty() || p.anaState == "optimized" || p.anaState == "non-optimized");
}

namespace {

// A text into a record field, cut to the field.
template <size_t N>
void put(char (&field)[N], std::string_view text) {
    common::copyField(field, text, N - 1);
}

// dev_node: subsystem, controller and namespace id, as multipath-tools shows a native path
// ("0:1:1" for nvme0c1n1 of namespace 1).
std::string pathNode(const NativeNamespaceAttrs &ns, const NativePathAttrs &p) {
    const std::vector<unsigned long> s = numbersOf(ns.subsys), c = numbersOf(p.ctrl);
    if (s.empty() || c.empty()) return {};
    return std::to_string(s.back()) + ":" + std::to_string(c.back()) + ":" + (p.nsid.empty() ? ns.nsid : p.nsid);
}

// ready for a usable path, ghost for one whose controller is live but whose ANA group is
// not, faulty for a path whose controller is not live.
const char *checkerState(const NativePathAttrs &p) {
    if (nativePathUsable(p)) return "ready";
    return p.ctrlState == "live" ? "ghost" : "faulty";
}

template <class M>
void fillHead(const NativeNamespaceAttrs &ns, M *dev) {
    put(dev->path_alias, ns.head);
    common::copyField(dev->wwid, ns.wwid, 65);
    dev->device_number[0] = '\0';
    put(dev->vendor, "NVME");
    put(dev->product_type, kArrayModel);
    put(dev->lun_size, sizeText(ns.size));
}

template <class P>
void fillPathCommon(const NativeNamespaceAttrs &ns, const NativePathAttrs &p, P *path) {
    put(path->dev_id, p.dev);
    put(path->dev_name, p.name);
    put(path->dev_node, pathNode(ns, p));
    put(path->path_group_policy, ns.iopolicy);
    put(path->path_group_priority, anaPriority(p.anaState));
    put(path->path_group_status, p.anaState.empty() ? "n/a" : p.anaState.c_str());
    put(path->morvel_status, p.ctrlState);
}

void fillPath(const NativeNamespaceAttrs &ns, const NativePathAttrs &p, s_path_dev *path) {
    fillPathCommon(ns, p, path);
    put(path->path_status, nativePathUsable(p) ? "active" : "failed");
    put(path->checker_status, checkerState(p));
    put(path->host_interface, "fc-nvme");  // the NVMe transport line, whatever the fabric
    put(path->target_port, nativeTargetPort(p.address));
}

void fillPath(const NativeNamespaceAttrs &ns, const NativePathAttrs &p, mon::s_path_dev *path) {
    fillPathCommon(ns, p, path);
    // the monitor's layout keeps the checker state as the path status
    put(path->path_status, checkerState(p));
    put(path->dm_status, nativePathUsable(p) ? "active" : "failed");
}

void markNative(s_morvel *dev) { dev->native_nvme = 1; }
void markNative(mon::s_morvel *) {}

template <class M>
bool fillDevice(const NativeNamespaceAttrs &ns, M *dev) {
    using P = std::remove_pointer_t<decltype(dev->pdev)>;
    fillHead(ns, dev);
    markNative(dev);
    if (dev->pdev == nullptr && (dev->pdev = mallocPathDev<P>()) == nullptr) return false;
    initPathDev(dev->pdev);
    PathTail<P> tail(dev->pdev);
    for (const NativePathAttrs &p : ns.paths) {
        P *path = tail.take();
        if (path == nullptr) return false;
        fillPath(ns, p, path);
        tail.keep(path);
    }
    return true;
}

template <class M>
int append(const std::vector<NativeNamespaceAttrs> &all, M *anchor, const char *name) {
    if (anchor == nullptr) return -1;
    M *last = anchor;
    for (M *d = firstValid(anchor); d != nullptr; d = nextValid(d)) last = d;
    MorvelTail<M> tail(last);
    int n = 0;
    for (const NativeNamespaceAttrs &ns : arrayNamespaces(all)) {
        if (name != nullptr && !answersTo(ns, name)) continue;
        M *dev = tail.take();
        if (dev == nullptr || !fillDevice(ns, dev)) return -1;
        tail.keep(dev);
        ++n;
    }
    return n;
}

}  // namespace

bool fillNativeDevice(const NativeNamespaceAttrs &ns, s_morvel *dev) { return fillDevice(ns, dev); }
bool fillNativeDevice(const NativeNamespaceAttrs &ns, mon::s_morvel *dev) { return fillDevice(ns, dev); }

int appendNativeNamespaces(const std::vector<NativeNamespaceAttrs> &all, s_morvel *anchor, const char *name) {
    return append(all, anchor, name);
}

int appendNativeNamespaces(const std::vector<NativeNamespaceAttrs> &all, mon::s_morvel *anchor) {
    return append(all, anchor, nullptr);
}

const NativeNamespaceAttrs *findNativeNamespace(const std::vector<NativeNamespaceAttrs> &all,
                                                std::string_view name) {
    for (const NativeNamespaceAttrs &ns : all)
        if (ofTheArray(ns) && answersTo(ns, name)) return &ns;
    return nullptr;
}

}  // namespace morvel::structs
