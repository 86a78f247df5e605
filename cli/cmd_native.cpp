// What the management commands say about namespaces of native NVMe multipathing: the kernel
// spreads their I/O itself, so there is no map to flush, no alias binding and no per-path
// offline state to set.
#include "cli/cmd_mgmt.h"
#include "common/log.h"
#include "struct/nvme_native.h"

namespace morvel::cli {

bool isNativeNamespace(const char *name) {
    if (name == nullptr || name[0] == '\0') return false;
    return structs::findNativeNamespace(structs::readNativeNamespaces(), name) != nullptr;
}

EcItem *refuseNative(const char *name, const char *what) {
    MLOG(common::LOG_ERROR, kMgmtLogSrc, "[%s] is a namespace of native NVMe multipathing, which has %s\n", name,
         what);
    return withParams(&EC_native_nvme_not_support, name, what);
}

}  // namespace morvel::cli
