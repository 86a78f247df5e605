// The look-ups over morvel's device and path lists.
#include "struct/s_morvel.h"

#include <cstring>

namespace morvel::structs {

namespace {
constexpr size_t kAliasCompare = 65;
constexpr size_t kDevNameCompare = 30;
}  // namespace

s_morvel *findMorvelByPathAlias(s_morvel *anchor, const char *alias) {
    if (!alias) return nullptr;
    return findValid(anchor, [&](const s_morvel *d) { return std::strncmp(d->path_alias, alias, kAliasCompare) == 0; });
}

s_morvel *findMorvelByPathAlias_noMemoryLeak(s_morvel *anchor, const char *alias) {
    return findMorvelByPathAlias(anchor, alias);
}

s_path_dev *findMorvelByDeviceName(s_morvel *anchor, const char *alias, const char *name) {
    if (!name) return nullptr;
    s_morvel *dev = findMorvelByPathAlias(anchor, alias);
    if (!dev) return nullptr;
    return findValid(dev->pdev,
                     [&](const s_path_dev *p) { return std::strncmp(p->dev_name, name, kDevNameCompare) == 0; });
}

}  // namespace morvel::structs
