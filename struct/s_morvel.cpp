// Reusable device and path lists, for both record layouts, and the look-ups over morvel's.
#include "struct/s_morvel.h"

#include <cstring>

#include "common/log.h"

namespace morvel::structs {

namespace {
constexpr const char kSrc[] = "struct/s_morvel";
constexpr size_t kAliasCompare = 65;
constexpr size_t kDevNameCompare = 30;
}  // namespace

// ---- path records ----

template <class P>
P *mallocPathDev() {
    MLOG(common::LOG_INFO, kSrc, "Malloc struct s_path_dev.");
    return newRecord<P>();
}

template <class P>
void _initPathDev(P *node) {
    clearRecord(node);
}

template <class P>
void initPathDev(P *anchor) {
    _initPathDev(anchor);
}

template <class P>
P *getOrMallocNextPathDev(P *prev) {
    return nextOrNew(prev, mallocPathDev<P>, _initPathDev<P>);
}

template <class P>
void _freePathDev(P *node) {
    delete node;
}

template <class P>
void freePathDev(P *first) {
    freeChain(first, _freePathDev<P>);
}

// ---- device records ----

template <class M>
M *mallocMorvel() {
    MLOG(common::LOG_INFO, kSrc, "Malloc struct s_morvel.");
    return newRecord<M>();
}

// The device's path list stays with it, emptied.
template <class M>
void _initMorvel(M *node) {
    if (!node) return;
    auto *pdev = node->pdev;
    clearRecord(node);
    node->pdev = pdev;
    initPathDev(node->pdev);
}

template <class M>
void initMorvel(M *anchor) {
    _initMorvel(anchor);
}

template <class M>
M *getOrMallocNextMorvel(M *prev) {
    return nextOrNew(prev, mallocMorvel<M>, _initMorvel<M>);
}

template <class M>
void _freeMorvel(M *node) {
    if (!node) return;
    freePathDev(node->pdev);
    delete node;
}

template <class M>
void freeMorvel(M *first) {
    freeChain(first, _freeMorvel<M>);
}

#define MORVEL_INSTANTIATE_LISTS(M, P)              \
    template P *mallocPathDev<P>();                 \
    template void _initPathDev<P>(P *);             \
    template void initPathDev<P>(P *);              \
    template P *getOrMallocNextPathDev<P>(P *);     \
    template void _freePathDev<P>(P *);             \
    template void freePathDev<P>(P *);              \
    template M *mallocMorvel<M>();                  \
    template void _initMorvel<M>(M *);              \
    template void initMorvel<M>(M *);               \
    template M *getOrMallocNextMorvel<M>(M *);      \
    template void _freeMorvel<M>(M *);              \
    template void freeMorvel<M>(M *);

MORVEL_INSTANTIATE_LISTS(s_morvel, s_path_dev)
MORVEL_INSTANTIATE_LISTS(mon::s_morvel, mon::s_path_dev)
#undef MORVEL_INSTANTIATE_LISTS

// ---- look-ups ----

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
