// The vdisk-name store: a JSON file {"disk": [{"wwid": ..., "vdisk_name": ...}, ...]} that
// remembers every vdisk name read from the array, keyed by WWID.
//
// Writers serialise on an exclusive flock of "<store>.lock" across the whole
// read-modify-write and replace the file through a temporary file in the same folder
// (fsync + rename), so readers never see a half-written store and concurrent morvel
// processes never lose each other's entries.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include <cjson/cJSON.h>

#include "array/array.h"
#include "common/comm_util.h"
#include "common/file_util.h"
#include "common/log.h"

namespace morvel::array {

using common::LOG_ERROR;

namespace {

constexpr mode_t kStoreMode = 0644;

struct JsonDeleter {
    void operator()(cJSON *p) const { cJSON_Delete(p); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// Identity of the file at a path: a writer replaces the file (a new inode), and an edit in
// place changes its size or modification time.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    long mtimeSec = 0, mtimeNsec = 0;
    bool operator==(const FileId &) const = default;
};

FileId idOf(const struct stat &st) {
    return {st.st_dev, st.st_ino, st.st_size, static_cast<long>(st.st_mtim.tv_sec),
            static_cast<long>(st.st_mtim.tv_nsec)};
}

}  // namespace

// ---- the document last read or written, with the exact text it came from ----
struct StoreCache::State {
    std::string path;
    std::string text;
    JsonPtr doc;
    FileId id;  // of the file that held text when it was read or written
    // First entry of each WWID, and whether every element of "disk" is an object (then the
    // index answers exactly as the walks over the array do).
    std::unordered_map<std::string, cJSON *> byWwid;
    bool indexed = false, allObjects = false;

    cJSON *find(const std::string &p, const std::string &t) const {
        return (doc && p == path && t == text) ? doc.get() : nullptr;
    }
    // The cached document when the file at p is still the one it came from: no read needed.
    cJSON *findById(const std::string &p, const FileId &fileId) const {
        return (doc && p == path && id.size >= 0 && id == fileId) ? doc.get() : nullptr;
    }
    void put(const std::string &p, std::string t, JsonPtr d, FileId fileId = {}) {
        clear();
        path = p;
        text = std::move(t);
        doc = std::move(d);
        id = fileId;
    }
    // Hands the document over to a writer, which puts it back once the file holds it.
    JsonPtr take(const std::string &p, const std::string &t) {
        if (!find(p, t)) return nullptr;
        JsonPtr d = std::move(doc);
        clear();
        return d;
    }
    void clear() {
        path.clear();
        doc.reset();
        byWwid.clear();
        indexed = false;
    }
    // The first entry for wwid in the cached document, or none.
    cJSON *entry(const char *wwid) {
        if (!indexed) {
            indexed = true;
            allObjects = true;
            cJSON *disk = cJSON_GetObjectItem(doc.get(), "disk");
            if (!isJsonArray(disk)) disk = nullptr;
            cJSON *e = nullptr;
            cJSON_ArrayForEach(e, disk) {
                if (!isJsonObject(e)) {
                    allObjects = false;
                    continue;
                }
                cJSON *w = cJSON_GetObjectItem(e, "wwid");
                if (isJsonString(w)) byWwid.emplace(w->valuestring, e);
            }
        }
        auto it = byWwid.find(wwid);
        return it == byWwid.end() ? nullptr : it->second;
    }
};

StoreCache::StoreCache() : state_(std::make_unique<State>()) {}
StoreCache::~StoreCache() = default;

namespace {

using Cache = StoreCache::State;

// Exclusive lock of the store, held for the lifetime of the object; leftovers of
// interrupted writers are removed once it is held.
struct StoreLock : common::FileLock {
    explicit StoreLock(const char *store_path) : FileLock(store_path, kLogSrc) {
        if (!held()) MLOG(LOG_ERROR, kLogSrc, "Can not open lock file %s, errno %d.\n", lockPath().c_str(), error());
    }
};

// Replaces the file at path with text: temporary file in the same folder, fsync, rename.
bool writeAtomic(const char *path, const char *text) {
    common::AtomicFile file(path, kStoreMode);
    if (!file.created()) {
        MLOG(LOG_ERROR, kLogSrc, "Can not create a temporary file for %s, errno %d.\n", path, file.error());
        return false;
    }
    if (file.write(text, std::strlen(text)) && file.commit()) return true;
    MLOG(LOG_ERROR, kLogSrc, "Write file %s failed, errno %d.\n", path, file.error());
    return false;
}

// Prints and writes the document (store lock held); the cache keeps it on success.
bool writeDocument(const char *path, JsonPtr doc, Cache &cache) {
    std::unique_ptr<char, void (*)(void *)> text(cJSON_Print(doc.get()), cJSON_free);
    if (!text || !writeAtomic(path, text.get())) {
        cache.clear();
        return false;
    }
    struct stat st{};
    cache.put(path, text.get(), std::move(doc), stat(path, &st) == 0 ? idOf(st) : FileId{});
    return true;
}

// A fresh one-entry store (store lock held).
bool writeFreshStore(const char *path, const char *wwid, const char *name, Cache &cache) {
    JsonPtr doc(new_disk_document(wwid, name));
    return doc && writeDocument(path, std::move(doc), cache);
}

// Content that is not a store is kept aside for the administrator before a fresh store
// replaces it.
void keepUnusableStore(const char *path) {
    std::string aside = std::string(path) + ".corrupt";
    if (rename(path, aside.c_str()) == 0) {
        MLOG(LOG_ERROR, kLogSrc, "File %s is not a valid vdisk name store, it is kept as %s.\n",
             path, aside.c_str());
    }
}

// The whole store, opened without following a link, and the status of the file read: 1 read,
// 0 not readable, -1 not opened.
int readStore(const char *path, std::string &text, struct stat &st) {
    int fd = common::openPlainFile(path, O_RDONLY);  // no fifo, device or hard link
    if (fd < 0) return -1;
    const bool ok = fstat(fd, &st) == 0 && common::readAll(fd, text);
    close(fd);
    return ok ? 1 : 0;
}

// Appends {"wwid": wwid, "vdisk_name": name} to the "disk" array; false when memory runs out.
bool appendEntry(cJSON *disk, const char *wwid, const char *name) {
    cJSON *entry = cJSON_CreateObject();
    if (entry == nullptr || cJSON_AddStringToObject(entry, "wwid", wwid) == nullptr ||
        cJSON_AddStringToObject(entry, "vdisk_name", name) == nullptr) {
        cJSON_Delete(entry);
        return false;
    }
    cJSON_AddItemToArray(disk, entry);
    return true;
}

bool isStoreDocument(const cJSON *root) {
    return isJsonObject(root) && isJsonArray(cJSON_GetObjectItem(root, "disk"));
}

}  // namespace

bool isJsonString(const cJSON *item) { return item != nullptr && cJSON_IsString(item); }
bool isJsonObject(const cJSON *item) { return item != nullptr && cJSON_IsObject(item); }
bool isJsonArray(const cJSON *item) { return item != nullptr && cJSON_IsArray(item); }

cJSON *new_disk_document(const char *wwid, const char *name) {
    if (wwid == nullptr || name == nullptr) return nullptr;
    JsonPtr root(cJSON_CreateObject());
    cJSON *disk = root ? cJSON_AddArrayToObject(root.get(), "disk") : nullptr;
    if (disk == nullptr || !appendEntry(disk, wwid, name)) return nullptr;
    return root.release();
}

int make_disk_json(const char *wwid, const char *name, const char *store_path) {
    if (store_path == nullptr) return 0;
    StoreLock lock(store_path);
    if (!lock.held()) return 0;
    StoreCache own;
    return writeFreshStore(store_path, wwid, name, own.state()) ? 1 : 0;
}

namespace {
// The parsed store, from the cache while the file at store_path is the one it came from.
// Null when it cannot be read or parsed; why is logged when loud.
cJSON *loadStore(const char *store_path, Cache &cache, bool loud) {
    struct stat st{};
    if (cJSON *root = lstat(store_path, &st) == 0 ? cache.findById(store_path, idOf(st)) : nullptr) return root;
    std::string text;
    const int got = readStore(store_path, text, st);
    if (got < 0 && loud) MLOG_AS(LOG_ERROR, kLogSrc, "getStoredVdiskname", "Error can't open file %s.\n", store_path);
    if (got <= 0) return nullptr;
    if (cJSON *root = cache.find(store_path, text)) {
        cache.id = idOf(st);
        return root;
    }
    JsonPtr doc(cJSON_Parse(text.c_str()));
    if (!doc) {
        const char *err = cJSON_GetErrorPtr();
        if (loud) MLOG_AS(LOG_ERROR, kLogSrc, "getStoredVdiskname", "Error before: [%s].\n", err ? err : "");
        return nullptr;
    }
    cJSON *root = doc.get();
    cache.put(store_path, std::move(text), std::move(doc), idOf(st));
    return root;
}
}  // namespace

bool storeHoldsWwid(const char *store_path, const char *wwid, StoreCache *shared) {
    if (store_path == nullptr || wwid == nullptr) return false;
    StoreCache own;
    Cache &cache = (shared != nullptr ? *shared : own).state();
    cJSON *root = loadStore(store_path, cache, false);
    return isStoreDocument(root) && cache.entry(wwid) != nullptr;
}

void getStoredVdiskname(const char *store_path, const char *wwid, char *name, unsigned int *found,
                        StoreCache *shared, size_t name_size) {
    if (store_path == nullptr || wwid == nullptr) return;
    StoreCache own;
    Cache &cache = (shared != nullptr ? *shared : own).state();
    cJSON *root = loadStore(store_path, cache, true);
    if (root == nullptr) return;
    if (!isJsonObject(root)) {
        MLOG(LOG_ERROR, kLogSrc, "Invalid JSON format for %s file.\n", store_path);
        return;
    }
    if (!isJsonArray(cJSON_GetObjectItem(root, "disk"))) {
        MLOG(LOG_ERROR, kLogSrc, "Invalid JSON format for json property %s.\n", "disk");
        return;
    }
    // The first object whose "wwid" is this WWID; other elements are passed over.
    if (cJSON *entry = cache.entry(wwid)) {
        cJSON *n = cJSON_GetObjectItem(entry, "vdisk_name");
        if (isJsonString(n)) {
            if (name != nullptr && name_size > 0) common::vessar_strncpy(name, n->valuestring, name_size - 1);
            sanitize_vdisk_name(name, wwid);
        }
        if (found) *found = 1;
    }
}

int update_wwid_vdiskname(cJSON *document, const char *wwid, cJSON *new_name_item,
                          unsigned int *found, unsigned int *changed, unsigned int *index) {
    *found = 0;
    *changed = 0;
    cJSON *disk = cJSON_GetObjectItem(document, "disk");
    if (!isJsonArray(disk) || cJSON_GetArraySize(disk) == 0) return 0;
    const char *newName = isJsonString(new_name_item) ? new_name_item->valuestring : "";
    unsigned int pos = 0;
    for (cJSON *entry = disk->child; entry != nullptr; entry = entry->next, ++pos) {
        if (!isJsonObject(entry)) {
            // Passed over like the lookup does, so that the entries behind it stay reachable.
            MLOG(LOG_ERROR, kLogSrc, "Invalid JSON format for json property %s.\n",
                 entry->string ? entry->string : "(null)");
            continue;
        }
        cJSON *w = cJSON_GetObjectItem(entry, "wwid");
        if (!isJsonString(w) || std::strcmp(w->valuestring, wwid) != 0) continue;
        cJSON *old = cJSON_GetObjectItem(entry, "vdisk_name");
        // A name that is missing or not a string is no name: the new one takes its place.
        const bool replace =
            isJsonString(old) ? std::strcmp(old->valuestring, newName) != 0 : isJsonString(new_name_item);
        if (replace) {
            std::string oldName = isJsonString(old) ? old->valuestring : "";
            bool put = old != nullptr ? cJSON_ReplaceItemInObject(entry, "vdisk_name", new_name_item) != 0
                                      : cJSON_AddItemToObject(entry, "vdisk_name", new_name_item) != 0;
            if (put) {
                *changed = 1;
                *index = pos;
                if (!oldName.empty())
                    MLOG(LOG_ERROR, kLogSrc, "device (%s), vdisk name change from (%s) to (%s).\n",
                         wwid, oldName.c_str(), newName);
                else
                    MLOG(LOG_ERROR, kLogSrc, "device (%s), vdisk name change from (NULL) to (%s).\n", wwid, newName);
            }
        }
        *found = 1;
        return 0;
    }
    return 0;
}

void store_wwid_vdiskname(const char *store_path, const char *wwid, const char *name,
                          StoreCache *shared) {
    bool noWwid = wwid == nullptr || wwid[0] == '\0';
    bool noName = name == nullptr || name[0] == '\0';
    if (noWwid) MLOG(LOG_ERROR, kLogSrc, "Failed to save wwid filed, because wwid is NULL.\n");
    if (noName)
        MLOG(LOG_ERROR, kLogSrc, "Failed to save vdisk name filed, because vdisk name is NULL.\n");
    if (noWwid || noName || store_path == nullptr) return;

    StoreCache own;
    Cache &cache = (shared != nullptr ? *shared : own).state();
    // The file is still the one in memory and already holds this name as a string: nothing
    // to write (a vdisk_name that is no string is replaced below). Files are only ever
    // replaced whole, so a report's run of known names needs no lock.
    struct stat st;
    auto holdsName = [&] {
        if (!cache.findById(store_path, idOf(st)) || !isStoreDocument(cache.doc.get())) return false;
        cJSON *entry = cache.entry(wwid);
        cJSON *old = entry ? cJSON_GetObjectItem(entry, "vdisk_name") : nullptr;
        return cache.allObjects && entry && isJsonString(old) && std::strcmp(old->valuestring, name) == 0;
    };
    if (shared != nullptr && lstat(store_path, &st) == 0 && holdsName()) return;

    StoreLock lock(store_path);
    if (!lock.held()) return;
    if (lstat(store_path, &st) != 0) {
        if (errno == ENOENT) writeFreshStore(store_path, wwid, name, cache);
        return;
    }
    if (holdsName()) return;
    std::string text;
    if (readStore(store_path, text, st) <= 0) return;
    if (st.st_size == 0) {
        writeFreshStore(store_path, wwid, name, cache);
        return;
    }
    JsonPtr doc = cache.take(store_path, text);
    if (!doc) doc.reset(cJSON_Parse(text.c_str()));
    if (!doc || !isStoreDocument(doc.get())) {
        keepUnusableStore(store_path);
        writeFreshStore(store_path, wwid, name, cache);
        return;
    }

    JsonPtr nameItem(cJSON_CreateString(name));
    unsigned int found = 0, changed = 0, index = 0;
    if (nameItem) update_wwid_vdiskname(doc.get(), wwid, nameItem.get(), &found, &changed, &index);
    if (!changed && (found || !nameItem)) {  // nothing to write; the file still holds text
        cache.put(store_path, std::move(text), std::move(doc), idOf(st));  // the next call needs no lock
        return;
    }
    if (changed) nameItem.release();  // now owned by the document
    if (!found && !appendEntry(cJSON_GetObjectItem(doc.get(), "disk"), wwid, name))
        return;  // the document is dropped; the file stays as it was
    writeDocument(store_path, std::move(doc), cache);
}

void useInBandName(const char *func, bool read, const char *wwid, char *name, unsigned int *found,
                   StoreCache *cache) {
    *found = 0;
    if (read) {
        *found = 1;
        store_wwid_vdiskname(STORAGE_CONFIG_FILE, wwid, name, cache);
        return;
    }
    name[0] = '\0';
    MLOG_AS(LOG_ERROR, kLogSrc, func,
            "Devcie (%s), unable to get vdisk name using in-band channel, we try to get vdisk name from file.\n", wwid);
    getStoredVdiskname(STORAGE_CONFIG_FILE, wwid, name, found, cache);
}

namespace {
using InBandReader = int (*)(const char *device_path, char *name);

// func: the entry's name, which the log line carries.
void displayWith(const char *func, InBandReader reader, const char *device_path, const char *wwid,
                 char *name, unsigned int *found, StoreCache *cache) {
    const bool read = reader(device_path, name) == 0 && name[0] != '\0';
    useInBandName(func, read, wwid, name, found, cache);
}
}  // namespace

void displayVdiskname(const char *device_path, const char *wwid, char *name, unsigned int *found,
                      StoreCache *cache) {
    displayWith(__func__, [](const char *dev, char *n) { return get_vdisk_name(dev, n); }, device_path, wwid, name,
                found, cache);
}

void displayNvmeVdiskname(const char *device_path, const char *wwid, char *name,
                          unsigned int *found, StoreCache *cache) {
    displayWith(__func__, [](const char *dev, char *n) { return get_nvme_vdisk_name(dev, n); }, device_path, wwid,
                name, found, cache);
}

}  // namespace morvel::array
