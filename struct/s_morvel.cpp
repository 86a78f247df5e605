// Reusable device and path lists, for both record layouts, and the look-ups over morvel's.
#include "struct/s_morvel.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "common/log.h"

namespace morvel::structs {

namespace {
constexpr const char kSrc[] = "struct/s_morvel";
constexpr size_t kAliasCompare = 65;
constexpr size_t kDevNameCompare = 30;

// The records are plain data: a reset is a zero fill of every field.
template <class T>
void zeroRecord(T *node) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T>);
    std::memset(static_cast<void *>(node), 0, sizeof(T));
}
}  // namespace

// ---- path records ----

template <class P>
P *mallocPathDev() {
    MLOG(common::LOG_INFO, kSrc, "Malloc struct s_path_dev.");
    P *node = new (std::nothrow) P();
    if (!node) return nullptr;
    zeroRecord(node);
    node->is_last = 1;
    return node;
}

template <class P>
void _initPathDev(P *node) {
    if (!node) return;
    common::inDebug("== ps_path_dev next = p->next;");
    P *next = node->next;
    common::inDebug("== before memset(p, 0, sizeof(s_path_dev));");
    zeroRecord(node);
    common::inDebug("== after memset(p, 0, sizeof(s_path_dev));");
    node->next = next;
    node->is_last = 1;
}

template <class P>
void initPathDev(P *anchor) {
    _initPathDev(anchor);
}

template <class P>
P *getOrMallocNextPathDev(P *prev) {
    if (!prev) return nullptr;
    if (prev->next) {
        _initPathDev(prev->next);
        return prev->next;
    }
    P *node = mallocPathDev<P>();
    if (!node) return nullptr;
    prev->next = node;
    return node;
}

template <class P>
void _freePathDev(P *node) {
    delete node;
}

template <class P>
void freePathDev(P *first) {
    while (first) {
        P *next = first->next;
        _freePathDev(first);
        first = next;
    }
}

// ---- device records ----

template <class M>
M *mallocMorvel() {
    MLOG(common::LOG_INFO, kSrc, "Malloc struct s_morvel.");
    M *node = new (std::nothrow) M();
    if (!node) return nullptr;
    zeroRecord(node);
    node->is_last = 1;
    return node;
}

template <class M>
void _initMorvel(M *node) {
    if (!node) return;
    auto *pdev = node->pdev;
    M *next = node->next;
    zeroRecord(node);
    node->pdev = pdev;
    node->next = next;
    node->is_last = 1;
    common::inDebug("== before initPathDev(p->pdev)");
    initPathDev(node->pdev);
    common::inDebug("== after initPathDev(p->pdev)");
}

template <class M>
void initMorvel(M *anchor) {
    _initMorvel(anchor);
}

template <class M>
M *getOrMallocNextMorvel(M *prev) {
    if (!prev) return nullptr;
    if (prev->next) {
        _initMorvel(prev->next);
        return prev->next;
    }
    M *node = mallocMorvel<M>();
    if (!node) return nullptr;
    prev->next = node;
    return node;
}

template <class M>
void _freeMorvel(M *node) {
    if (!node) return;
    freePathDev(node->pdev);
    delete node;
}

template <class M>
void freeMorvel(M *first) {
    while (first) {
        M *next = first->next;
        _freeMorvel(first);
        first = next;
    }
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
    if (!anchor || anchor->is_last == 1 || !anchor->next || !alias) return nullptr;
    for (s_morvel *dev = anchor->next; dev; dev = dev->next) {
        if (std::strncmp(dev->path_alias, alias, kAliasCompare) == 0) return dev;
        if (dev->is_last == 1) break;
    }
    return nullptr;
}

s_morvel *findMorvelByPathAlias_noMemoryLeak(s_morvel *anchor, const char *alias) {
    return findMorvelByPathAlias(anchor, alias);
}

s_path_dev *findMorvelByDeviceName(s_morvel *anchor, const char *alias, const char *name) {
    if (!anchor || !alias || !name || anchor->is_last == 1) return nullptr;
    s_morvel *dev = findMorvelByPathAlias(anchor, alias);
    if (!dev || !dev->pdev || dev->pdev->is_last == 1 || !dev->pdev->next) return nullptr;
    for (s_path_dev *path = dev->pdev->next; path; path = path->next) {
        if (std::strncmp(path->dev_name, name, kDevNameCompare) == 0) return path;
        if (path->is_last == 1) break;
    }
    return nullptr;
}

}  // namespace morvel::structs
