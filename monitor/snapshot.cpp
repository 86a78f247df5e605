// The snapshot file: the records of the last reported topology, one line per record, so
// that changes made while the monitor is down are reported when it starts again.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/comm_util.h"
#include "common/file_util.h"
#include "common/log.h"
#include "monitor/monitor.h"

namespace morvel::monitor {

using structs::s_lunPath;

namespace {

constexpr const char *kSrc = "monitor/monitor";
constexpr int kReadLineMax = 511;  // characters of one snapshot line taken per read
constexpr size_t kChunkSize = 65536;
constexpr int kMaxShown = 256;  // characters of failed data shown in the log
// Seven fields of at most 30 characters (the WWID 65), each character escaped at worst,
// seven commas and a line feed.
constexpr size_t kMaxLineLen = 2 * (6 * 30 + 65) + 7 + 1;

// A comma or a backslash inside a field is written with a backslash before it; every other
// character as it is, so a field without them gives the same bytes as ever.
void appendField(char *chunk, size_t &used, const char *text, size_t width) {
    const size_t n = ::strnlen(text, width - 1);
    for (size_t i = 0; i < n; ++i) {
        if (text[i] == ',' || text[i] == '\\') chunk[used++] = '\\';
        chunk[used++] = text[i];
    }
    chunk[used++] = ',';
}

void appendRecord(char *chunk, size_t &used, const s_lunPath *r) {
    appendField(chunk, used, r->lun_alias, sizeof r->lun_alias);
    appendField(chunk, used, r->lun_wwid, sizeof r->lun_wwid);
    appendField(chunk, used, r->path_dev_id, sizeof r->path_dev_id);
    appendField(chunk, used, r->path_dev_name, sizeof r->path_dev_name);
    appendField(chunk, used, r->path_status, sizeof r->path_status);
    appendField(chunk, used, r->path_group_status, sizeof r->path_group_status);
    appendField(chunk, used, r->morvel_status, sizeof r->morvel_status);
    chunk[used++] = '\n';
}

}  // namespace

int open_file(const char *path) {
    if (path == nullptr) return -1;
    // The caller holds the writer's lock: a file under this name is a leftover of a writer
    // that died, or something planted. It is removed, never followed or reused: the new
    // file is created exclusively.
    if (::unlink(path) != 0 && errno != ENOENT) return -1;
    return common::openNoFollow(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
}

void close_file(int fd) { common::unlockClose(fd); }

ssize_t write_to_file(int fd, const void *data, size_t length) {
    return static_cast<ssize_t>(common::writeAll(fd, data, length));
}

bool writeStrToFile(int fd, const char *text, int length) {
    if (text == nullptr || length < 0) return false;
    const ssize_t written = write_to_file(fd, text, static_cast<size_t>(length));
    if (written != length) {
        // The data of a batch of lines is shown by its first line only.
        const char *lf = static_cast<const char *>(std::memchr(text, '\n', static_cast<size_t>(length)));
        const int shown = std::min(lf ? static_cast<int>(lf - text) : length, kMaxShown);
        MLOG(common::LOG_ERROR, kSrc,
             "Write data [%.*s] to file failed. Expected write %d bytes, but only write %d bytes.",
             shown, text, length, static_cast<int>(written));
        return false;
    }
    return true;
}

bool writeFieldToFile(int fd, const char *text) {
    if (text == nullptr) text = "";
    return writeStrToFile(fd, text, common::vessar_strlen(text)) && writeStrToFile(fd, ",", 1);
}

bool writeLunPathToFile(s_lunPath *anchor, const char *path) {
    if (anchor == nullptr || path == nullptr) return false;
    // Writers take turns on the lock file; the temporary file "<path>.tmp" is theirs while
    // they hold it.
    common::FileLock lock(path, kSrc);
    const std::string tmp = std::string(path) + ".tmp";
    if (!lock.held()) {
        MLOG(common::LOG_ERROR, kSrc, "Open file failed. file: %s.", tmp.c_str());
        return false;
    }
    common::AtomicFile file(path, 0600, ".tmp");
    if (!file.created()) {
        MLOG(common::LOG_ERROR, kSrc, "Open file failed. file: %s.", tmp.c_str());
        return false;
    }

    // Whole lines are gathered into large writes: a snapshot of many thousand records
    // costs a handful of system calls.
    char chunk[kChunkSize];
    size_t used = 0;
    bool ok = true;
    for (const s_lunPath *r = structs::firstValid(anchor); r != nullptr; r = structs::nextValid(r)) {
        if (used + kMaxLineLen > sizeof chunk) {
            ok = writeStrToFile(file.fd(), chunk, static_cast<int>(used));
            used = 0;
            if (!ok) break;
        }
        appendRecord(chunk, used, r);
    }
    if (ok && used > 0) ok = writeStrToFile(file.fd(), chunk, static_cast<int>(used));
    if (ok && !file.commit()) {
        if (file.failedStep() == common::AtomicFile::Step::Rename)
            MLOG(common::LOG_ERROR, kSrc, "Rename file [%s] to [%s] failed.", tmp.c_str(), path);
        else
            MLOG(common::LOG_ERROR, kSrc, "Sync file failed. file: %s.", tmp.c_str());
        ok = false;
    }
    if (ok) MLOG(common::LOG_INFO, kSrc, "Write lun path infomation to file successfully.");
    return ok;
}

char *readFieldFromStr1(char *text, char *field, int width) {
    if (text == nullptr || field == nullptr || width < 0) return nullptr;
    // The field ends at the first comma without a backslash before it; "\," and "\\"
    // stand for a comma and a backslash of the field (decoded in place).
    char *out = text;
    char *p = text;
    while (*p != '\0' && *p != ',') {
        if (*p == '\\' && (p[1] == ',' || p[1] == '\\')) ++p;
        *out++ = *p++;
    }
    if (*p != ',') {
        *out = '\0';
        MLOG(common::LOG_ERROR, kSrc, "Read lunpath field failed form string [%s].", text);
        common::inDebug("== Read lunpath field failed form string [%s].", text);
        return nullptr;
    }
    *out = '\0';
    common::vessar_strncpy(field, text, static_cast<size_t>(width));
    return p + 1;
}

char *readFieldFromStr(char *text, char *field) { return readFieldFromStr1(text, field, 30); }

bool readLunpathFromStr(char *line, s_lunPath *rec) {
    if (line == nullptr || rec == nullptr) return false;
    _initLunpath(rec);
    char *p = readFieldFromStr1(line, rec->lun_alias, sizeof rec->lun_alias - 1);
    if (p != nullptr) p = readFieldFromStr1(p, rec->lun_wwid, sizeof rec->lun_wwid - 1);
    if (p != nullptr) p = readFieldFromStr(p, rec->path_dev_id);
    if (p != nullptr) p = readFieldFromStr(p, rec->path_dev_name);
    if (p != nullptr) p = readFieldFromStr(p, rec->path_status);
    if (p != nullptr) p = readFieldFromStr(p, rec->path_group_status);
    if (p != nullptr) p = readFieldFromStr(p, rec->morvel_status);
    return p != nullptr;
}

namespace {
// Opens the snapshot for reading: a plain file of its own only (a planted fifo, device or
// hard link is not read), without following a link; null when it cannot be opened.
FILE *openSnapshot(const char *path) {
    int rfd = common::openPlainFile(path, O_RDONLY);
    FILE *f = rfd < 0 ? nullptr : ::fdopen(rfd, "r");
    if (f == nullptr && rfd >= 0) ::close(rfd);
    return f;
}

// Reads the snapshot's lines into records, one at a time: take() gives the record to fill
// (null ends the reading), keep(record) is called once it is filled. An empty or nearly
// empty line ends the reading; false when a line is malformed.
template <class Take, class Keep>
bool readSnapshotLines(FILE *f, Take &&take, Keep &&keep) {
    for (;;) {
        char line[kReadLineMax + 2] = {};
        if (std::fgets(line, kReadLineMax + 1, f) == nullptr) line[0] = '\0';
        common::inDebug("== Read line from file, data: [%s].", line);
        if (std::strlen(line) <= 2) return true;
        s_lunPath *r = take();
        if (r == nullptr || !readLunpathFromStr(line, r)) {
            _initLunpath(r);  // a half-read record is not kept
            return false;
        }
        keep(r);
    }
}
}  // namespace

bool readLunPathToFile(s_lunPath *anchor, const char *path) {
    if (anchor == nullptr || path == nullptr) return false;
    FILE *f = openSnapshot(path);
    if (f == nullptr) {
        MLOG(common::LOG_ERROR, kSrc, "Open file failed. file: %s.", path);
        common::inDebug("== Open file failed. file: %s.", path);
        return false;
    }
    initLunpath(anchor);
    structs::LunPathTail tail(anchor);
    const bool ok = readSnapshotLines(f, [&] { return tail.take(); }, [&](s_lunPath *r) { tail.keep(r); });
    std::fclose(f);
    return ok;
}

bool snapshotHoldsWwid(const char *path, const char *wwid) {
    if (path == nullptr || wwid == nullptr) return false;
    FILE *f = openSnapshot(path);
    if (f == nullptr) return false;
    s_lunPath rec{};
    bool held = false;
    readSnapshotLines(f, [&] { return held ? nullptr : &rec; },
                      [&](const s_lunPath *r) { held = std::strncmp(r->lun_wwid, wwid, structs::kLunWwidKeyLen) == 0; });
    std::fclose(f);
    return held;
}

}  // namespace morvel::monitor
