// Native NVMe multipathing (nvme_core.multipath=Y): the kernel itself spreads a namespace's I/O
// over its controllers, so dm-multipath never sees the namespace and `multipath -ll` does not
// list it (or, with enable_foreign "nvme", lists it in a form of its own that morvel does not
// take). Such namespaces are read from sysfs instead: /sys/class/nvme-subsystem/nvme-subsysN/
// holds the subsystem's attributes (model, iopolicy), its controllers nvmeN (transport,
// address, state, and under each the path devices nvmeXcYnZ with their ana_state) and its
// namespace heads nvmeXnY (wwid, nsid, size).
//
// The reader gathers those attributes as they are; the pure functions below decide which
// namespaces are the array's and turn them into the device and path records that the query
// report and the monitor already use. A native namespace is named by its head device: that
// name and its WWID are what `query <name>` takes.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "struct/s_morvel.h"

namespace morvel::structs {

inline constexpr const char SYS_ROOT[] = "/sys";

// One path of a namespace: the path device and its controller, attributes as read.
struct NativePathAttrs {
    std::string name;        // nvme0c1n1
    std::string ctrl;        // nvme1
    std::string dev;         // major:minor of the path device, or of the controller
    std::string nsid;        // namespace id of the path
    std::string anaState;    // optimized, non-optimized, inaccessible, ...; empty without ANA
    std::string ctrlState;   // live, connecting, resetting, deleting, ...
    std::string transport;   // tcp, fc, rdma, loop
    std::string address;     // traddr=...,trsvcid=...[,...]
};

// One namespace head of a subsystem, with its subsystem's attributes.
struct NativeNamespaceAttrs {
    std::string subsys;      // nvme-subsys0
    std::string model;       // of the subsystem, blanks trimmed
    std::string iopolicy;    // numa, round-robin, queue-depth
    std::string head;        // nvme0n1
    std::string wwid;
    std::string nsid;
    std::string size;        // 512-byte sectors
    std::vector<NativePathAttrs> paths;
};

// ---- host ----

// Every namespace head under <sysRoot>/class/nvme-subsystem/, with its paths; empty when the
// host has none (nvme_core.multipath=N, or no NVMe at all). Only attributes are read.
std::vector<NativeNamespaceAttrs> readNativeNamespaces(const char *sysRoot = SYS_ROOT);

// ---- pure decisions ----

// The array's namespaces (model KELDORZRN), in the order of their subsystem and head
// numbers, each path list in the order of the controller numbers.
std::vector<NativeNamespaceAttrs> arrayNamespaces(std::vector<NativeNamespaceAttrs> all);
// A size in 512-byte sectors as multipath-tools prints it (20G, 5.0G, 16M).
std::string sizeText(std::string_view sectors);
// The target port of a controller address: the port name of an FC address
// (traddr=nn-0x...:pn-0x...), else "traddr:trsvcid" (127.0.0.1:4420), else empty.
std::string nativeTargetPort(std::string_view address);
// The priority that multipath-tools shows for a path in that ANA state: 50 optimized, 10
// non-optimized, 0 otherwise.
const char *anaPriority(std::string_view anaState);
// Whether the kernel sends I/O down that path: its controller live and its ANA group
// optimized or non-optimized (or no ANA at all).
bool nativePathUsable(const NativePathAttrs &p);

// The namespace as a device record and its paths (the record's path list is refilled). false
// when a record cannot be allocated.
bool fillNativeDevice(const NativeNamespaceAttrs &ns, s_morvel *dev);
bool fillNativeDevice(const NativeNamespaceAttrs &ns, mon::s_morvel *dev);

// Appends the array's namespaces after the valid devices of the list (those answering to
// name alone when name is given: head device or WWID). The count appended, or -1 when a
// record cannot be allocated.
int appendNativeNamespaces(const std::vector<NativeNamespaceAttrs> &all, s_morvel *anchor,
                           const char *name = nullptr);
int appendNativeNamespaces(const std::vector<NativeNamespaceAttrs> &all, mon::s_morvel *anchor);

// The array's native namespace among all that answers to name (head device or WWID), or none.
const NativeNamespaceAttrs *findNativeNamespace(const std::vector<NativeNamespaceAttrs> &all,
                                                std::string_view name);

}  // namespace morvel::structs
