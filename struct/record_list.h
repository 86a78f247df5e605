// The reusable list scheme of every record family (devices, paths, LUN-path records): a
// singly linked list behind an anchor node whose valid nodes end at the first node with
// is_last 1; the nodes behind it are stale and kept for reuse. The record types are plain
// data with the fields is_last and next.
#pragma once
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace morvel::structs {

// A new record, all fields zero (value-initialised plain data), is_last 1; null when
// memory runs out.
template <class T>
T *newRecord() {
    T *node = new (std::nothrow) T();
    if (node != nullptr) node->is_last = 1;
    return node;
}

// Clears a record's fields and makes it the last; its link to the next node is kept.
template <class T>
void clearRecord(T *node) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T>);
    if (node == nullptr) return;
    T *next = node->next;
    std::memset(static_cast<void *>(node), 0, sizeof(T));
    node->next = next;
    node->is_last = 1;
}

// The node after prev, reused (cleared with reset) or newly allocated with alloc and
// linked; null for a null prev or when memory runs out.
template <class T>
T *nextOrNew(T *prev, T *(*alloc)(), void (*reset)(T *)) {
    if (prev == nullptr) return nullptr;
    if (prev->next != nullptr)
        reset(prev->next);
    else
        prev->next = alloc();  // stays null when memory runs out
    return prev->next;
}

// Frees the whole chain from first, stale nodes included, one node at a time with freeOne.
template <class T>
void freeChain(T *first, void (*freeOne)(T *)) {
    while (first != nullptr) {
        T *next = first->next;
        freeOne(first);
        first = next;
    }
}

// The first valid record behind a list's anchor, and the valid record after r; null where
// the list ends (is_last).
template <class T>
T *firstValid(T *anchor) {
    return (anchor == nullptr || anchor->is_last == 1) ? nullptr : anchor->next;
}
template <class T>
T *nextValid(T *r) {
    return r->is_last == 1 ? nullptr : r->next;
}

// The first valid record behind the anchor for which match(record) holds, or null.
template <class T, class Match>
T *findValid(T *anchor, Match match) {
    for (T *r = firstValid(anchor); r != nullptr; r = nextValid(r)) {
        if (match(r)) return r;
    }
    return nullptr;
}

// Refills a list behind its anchor, one record at a time: take() hands out the node after
// the last valid one (a stale node cleared, or a new one), and keep() makes it valid. A
// node that could not be filled is never kept, so the list ends before it.
template <class T, T *(*Next)(T *)>
class ListTail {
public:
    explicit ListTail(T *anchor) : last_(anchor) {}
    T *take() const { return Next(last_); }
    void keep(T *node) {
        last_->is_last = 0;
        last_ = node;
    }

private:
    T *last_;
};

// Move-only owner of a list: allocates its anchor and frees the whole chain (stale nodes
// included) through Free when it goes out of scope.
template <class T, T *(*Alloc)(), void (*Free)(T *)>
class ListOwner {
public:
    ListOwner() : anchor_(Alloc()) {}
    ListOwner(const ListOwner &) = delete;
    ListOwner &operator=(const ListOwner &) = delete;
    ListOwner(ListOwner &&o) noexcept : anchor_(std::exchange(o.anchor_, nullptr)) {}
    ListOwner &operator=(ListOwner &&o) noexcept {
        std::swap(anchor_, o.anchor_);  // o frees what this held
        return *this;
    }
    ~ListOwner() { Free(anchor_); }
    T *anchor() const { return anchor_; }
    explicit operator bool() const { return anchor_ != nullptr; }

private:
    T *anchor_;
};

}  // namespace morvel::structs
