// Line-oriented logging shared by morvel and morvel_monitor.
//
// Every write takes an exclusive flock on the file, checks that it is still the file at the
// log's path, cuts back a line that an earlier writer left unfinished, appends whole lines
// in a single write, checks the size, rotates if needed and unlocks: a line is on disk as
// soon as the call returns, and several processes can append to the same file at the same
// time. A write that does not go out whole is cut back, so a file never holds half a line.
// The file stays open from one line to the next (reopened when it was moved away or
// removed). Inside a LogBatch the lines are collected in memory and go out together, in
// one write, when the batch ends: no other writer can come between them, and no lock is
// held while the batch's lines are being made.
#include "common/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "common/comm_util.h"
#include "common/file_util.h"

namespace morvel::common {

namespace {

constexpr long kRotateSize = 10485760;  // 10 MiB: a file past this size is moved to its backup
constexpr size_t kLineMax = 1024;       // message and whole line: at most 1023 characters
constexpr int kPathMax = 200;           // full file path: at most 199 characters
constexpr int kTimeMax = 99;            // timestamp text before the milliseconds
constexpr int kLevelNameMax = 16;

// CLI log set
const char g_log_file_dir[] = "/dumps/";
const char g_log_file_name[] = "morvel_cli.log";
const char g_log_bk_file_name[] = "morvel_cli_bk.log";
// monitor log set
const char g_monitor_file_dir[] = "/dumps/";
const char g_monitor_file_name[] = "morvel_monitor.log";
const char g_monitor_bk_file_name[] = "morvel_monitor_bk.log";

// current set, chosen by every morvel_log call
const char *g_file_dir = g_log_file_dir;
const char *g_file_name = g_log_file_name;
const char *g_bk_file_name = g_log_bk_file_name;

const bool log_started = true;
const bool debug_started = false;

LogVariant g_variant = LogVariant::Cli;

// The lines of this thread are held here instead of written (see LogHold).
thread_local std::vector<HeldLine> *t_held = nullptr;

// The log file kept open between lines (fd -1: none); locked only while lines are written.
struct OpenLog {
    int fd = -1;
    pid_t owner = 0;  // a forked child opens its own: a shared descriptor shares its lock
    off_t size = -1;  // the file's size while the lock is held (-1: not known)
    dev_t dev = 0;    // the open file's identity
    ino_t ino = 0;
    char path[kPathMax] = {0};
};
OpenLog g_open;

// A LogBatch's lines not yet written, and the file they are for.
int g_depth = 0;
pid_t g_depthOwner = 0;  // the process whose batch it is
constexpr size_t kPendingMax = 64 * 1024;
std::string g_pending;
char g_pendingPath[kPathMax] = {0};
bool g_pendingMonitor = false;

unsigned long g_lostLines = 0;  // lines that did not reach their file, since the start

void closeOpenLog() {
    if (g_open.fd < 0) return;
    close(g_open.fd);
    g_open.fd = -1;
    g_open.path[0] = '\0';
}

bool isMonitor() { return g_variant == LogVariant::Monitor; }

// True when the file at path now is the one kept open (another process may have moved it to
// its backup name while we did not hold the lock); g_open.size becomes its size. One lstat:
// the open file's identity was taken when it was opened.
bool stillOurs(const char *path) {
    struct stat st{};
    if (lstat(path, &st) != 0) return false;
    g_open.size = st.st_size;
    return st.st_ino == g_open.ino && st.st_dev == g_open.dev;
}

// /dumps is a fixed path that an administrator may have opened up to others. Files in it
// are opened without following links in any case; a run says so once.
void warnAboutOpenDumpsDir() {
    static bool warned = false;
    if (warned) return;
    struct stat st{};
    if (lstat(g_log_file_dir, &st) != 0) return;
    if (st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return;
    warned = true;
    // the warning goes to the CLI log; the line being written keeps its own file set
    const char *dir = g_file_dir, *name = g_file_name, *bk = g_bk_file_name;
    morvel_log(LOG_ERROR, "common/comm_util", __LINE__, __func__,
               "Directory %s is not owned by root or is writable by group or others (owner %u, mode %04o).\n",
               g_log_file_dir, static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
    g_file_dir = dir;
    g_file_name = name;
    g_bk_file_name = bk;
}

// Opens path as the file kept open and holds the exclusive lock on the file that is at path
// once the lock is granted. A log file is never reached through a link: a symbolic link
// under the name is not followed, and a name that is not a plain file of its own (a hard
// link to some other file, a fifo) is not written to.
bool openLogLocked(const char *path) {
    int fd = openLocked(path, O_RDWR | O_CREAT | O_APPEND, 0600);
    if (fd < 0) return false;
    struct stat st{};
    const bool known = fstat(fd, &st) == 0;
    g_open.fd = fd;
    g_open.owner = getpid();
    g_open.dev = st.st_dev;
    g_open.ino = st.st_ino;
    g_open.size = known ? st.st_size : -1;
    std::snprintf(g_open.path, sizeof g_open.path, "%s", path);
    return true;
}

void backup_log_file(const char *from) {
    char bk[kPathMax] = {0};
    std::snprintf(bk, sizeof(bk), "%s%s", g_file_dir, g_bk_file_name);
    if (rename(from, bk) == 0) return;
    // Something that is no file of ours under the backup name (a folder) would stop every
    // rotation and let the log grow without end: it is moved aside, once, and said so.
    struct stat st{};
    const std::string aside = std::string(bk) + ".moved-aside";
    const bool moved = lstat(bk, &st) == 0 && S_ISDIR(st.st_mode) && rename(bk, aside.c_str()) == 0 &&
                       rename(from, bk) == 0;
    std::fprintf(stderr, moved ? "morvel: %s was in the way of the log's rotation, it is now %s\n"
                               : "morvel: the log %s cannot be rotated to %s: %s\n",
                 moved ? bk : from, moved ? aside.c_str() : bk, std::strerror(errno));
}

// A file whose last byte is not a newline holds the start of a line that its writer could
// not finish (a full disk, a crash): it is cut back to the end of the last whole line, so
// the next line does not run into it. Called with the lock held.
void cutUnfinishedLine(int fd, off_t size) {
    if (size <= 0) return;
    char tail[kLineMax];
    const off_t from = size > static_cast<off_t>(sizeof tail) ? size - static_cast<off_t>(sizeof tail) : 0;
    const ssize_t n = pread(fd, tail, static_cast<size_t>(size - from), from);
    if (n <= 0 || tail[n - 1] == '\n') return;
    const void *nl = memrchr(tail, '\n', static_cast<size_t>(n));
    if (nl == nullptr) {
        // longer than any line of ours: not cut, only ended
        if (pwrite(fd, "\n", 1, size) == 1) g_open.size = size + 1;
        return;
    }
    const off_t keep = from + (static_cast<const char *>(nl) - tail) + 1;
    if (ftruncate(fd, keep) == 0) g_open.size = keep;
}

// Lines that did not reach their file: change lines of the monitor go to standard error (the
// journal under systemd) one by one; of other lines the first of each kind of failure goes
// there, with what failed.
void reportLoss(bool opening, const char *path, const char *lines, size_t len, bool monitorLines) {
    g_lostLines += static_cast<unsigned long>(std::count(lines, lines + len, '\n'));
    static bool told[2] = {false, false};
    const int saved = errno;
    if (!told[opening ? 0 : 1]) {
        told[opening ? 0 : 1] = true;
        std::fprintf(stderr, "morvel: cannot %s %s: %s; its lines go to standard error\n",
                     opening ? "open" : "write to", path, std::strerror(saved));
        if (!monitorLines) std::fwrite(lines, 1, std::min(len, kLineMax), stderr);
    }
    if (monitorLines) std::fwrite(lines, 1, len, stderr);
    std::fflush(stderr);
}

// Appends whole lines to the log at path under its lock; false (reported) when they did
// not all reach it. A short write is cut back.
bool writeLines(const char *path, const char *lines, size_t len, bool monitorLines) {
    if (g_open.fd >= 0 && g_open.owner != getpid()) {
        close(g_open.fd);  // the parent's: its lock is the parent's too
        g_open.fd = -1;
    }
    bool reuse = g_open.fd >= 0 && std::strcmp(g_open.path, path) == 0;
    if (!reuse) {
        closeOpenLog();
        if (!mk_log_dir()) {
            reportLoss(true, path, lines, len, monitorLines);
            return false;
        }
        warnAboutOpenDumpsDir();
    }
    if (reuse) {
        lockExclusive(g_open.fd);
        reuse = stillOurs(path);  // else moved to its backup, or removed
        if (!reuse) closeOpenLog();
    }
    if (!reuse && !openLogLocked(path) && !(mk_log_dir() && openLogLocked(path))) {
        reportLoss(true, path, lines, len, monitorLines);
        return false;
    }
    struct stat st{};
    if (fstat(g_open.fd, &st) == 0) g_open.size = st.st_size;
    cutUnfinishedLine(g_open.fd, g_open.size);
    const size_t done = writeAll(g_open.fd, lines, len);
    bool ok = done == len;
    if (!ok) {
        const int why = errno;
        if (g_open.size >= 0 && ftruncate(g_open.fd, g_open.size) != 0) g_open.size = -1;
        errno = why != 0 ? why : EIO;
        reportLoss(false, path, lines, len, monitorLines);
    } else if (g_open.size >= 0) {
        g_open.size += static_cast<off_t>(len);
    }
    // Size test and rotation under the lock: the next writer finds the file gone from the
    // path and opens the new one, so a file is never rotated twice.
    if (g_open.size > kRotateSize) {
        backup_log_file(path);
        flock(g_open.fd, LOCK_UN);
        closeOpenLog();  // the next line opens the new file
    } else {
        flock(g_open.fd, LOCK_UN);
    }
    return ok;
}

void flushPending() {
    if (g_pending.empty()) return;
    (void)writeLines(g_pendingPath, g_pending.data(), g_pending.size(), g_pendingMonitor);
    g_pending.clear();
}


void levelName(int level, char (&name)[kLevelNameMax]) {
    switch (level) {
        case LOG_ERROR: copyField(name, "ERROR"); return;
        case LOG_INFO: copyField(name, "INFO "); return;
        case LOG_DEBUG: copyField(name, "DEBUG"); return;
        case LOG_WARN:
            if (isMonitor()) {
                copyField(name, "WARN ");
                return;
            }
            break;
        default: break;
    }
    std::snprintf(name, sizeof(name), "LEVEL[%d]", level);
}

// A line being made, at most kLineMax - 1 characters: what does not fit is cut.
struct LineText {
    char text[kLineMax];
    size_t len = 0;
    void put(std::string_view s) {
        size_t n = std::min(s.size(), kLineMax - 1 - len);
        std::memcpy(text + len, s.data(), n);
        len += n;
    }
};

// "[%Y-%m-%d %T.mmm]"; the local time text is made once per second (a run of lines shares it).
void timestamp(LineText &out) {
    struct timeval tv{};
    gettimeofday(&tv, nullptr);
    static time_t madeFor = -1;
    static char text[kTimeMax] = {0};
    if (tv.tv_sec != madeFor) {
        madeFor = tv.tv_sec;
        text[0] = '\0';
        struct tm tmNow{};
        if (localtime_r(&madeFor, &tmNow) != nullptr) std::strftime(text, sizeof(text), "%Y-%m-%d %T.", &tmNow);
    }
    const char ms[] = {static_cast<char>('0' + tv.tv_usec / 100000), static_cast<char>('0' + tv.tv_usec / 10000 % 10),
                       static_cast<char>('0' + tv.tv_usec / 1000 % 10)};
    out.put("[");
    out.put(text);
    out.put({ms, 3});
    out.put("]");
}

// The format with a backslash before every ';' (morvel rules only).
std::vector<char> escapedFormat(const char *format) {
    size_t len = std::strlen(format);
    std::vector<char> esc(2 * len + 1, '\0');
    escapeString(esc.data(), format);
    return esc;
}

}  // namespace

void set_log_variant(LogVariant v) { g_variant = v; }

int is_debug(void) { return 1; }

int mk_log_dir(void) {
    if (access(g_file_dir, F_OK) == 0) return 1;
    if (mkdir(g_file_dir, 0700) == 0) return 1;
    // another process may have made it in the meantime
    return (errno == EEXIST && access(g_file_dir, F_OK) == 0) ? 1 : 0;
}

long get_file_size(const char *path) {
    struct stat st{};
    if (path == nullptr || stat(path, &st) != 0) return -1;
    return static_cast<long>(st.st_size);
}

namespace {
// Formats the message as morvel_log does (the format escaped by morvel's rules) and holds it.
void holdLine(int level, const char *source_file, int line, const char *function_name, const char *format,
              va_list ap) {
    const char *fmt = format;
    std::vector<char> esc;
    if (!isMonitor() && std::strchr(format, ';')) {
        esc = escapedFormat(format);
        fmt = esc.data();
    }
    char message[kLineMax];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(message, sizeof message, fmt, ap);
#pragma GCC diagnostic pop
    t_held->push_back({level, source_file ? source_file : "", function_name ? function_name : "", line, message});
}
}  // namespace

LogHold::LogHold(std::vector<HeldLine> &into) : outer_(t_held) { t_held = &into; }
LogHold::~LogHold() { t_held = outer_; }

void logHeldLine(const HeldLine &held) {
    morvel_log(held.level, held.source.c_str(), held.line, held.function.c_str(), "%s", held.message.c_str());
}

void morvel_log(int level, const char *source_file, int line, const char *function_name,
                const char *format, ...) {
    if (t_held != nullptr && format != nullptr) {
        va_list ap;
        va_start(ap, format);
        holdLine(level, source_file, line, function_name, format, ap);
        va_end(ap);
        return;
    }
    if (level == LOG_MONITOR) {
        g_file_dir = g_monitor_file_dir;
        g_file_name = g_monitor_file_name;
        g_bk_file_name = g_monitor_bk_file_name;
    } else {
        g_file_dir = g_log_file_dir;
        g_file_name = g_log_file_name;
        g_bk_file_name = g_log_bk_file_name;
    }
    if (level == LOG_DEBUG && !is_debug()) return;
    if (!log_started || format == nullptr) return;
    char path[kPathMax];
    const size_t dirLen = strnlen(g_file_dir, kPathMax - 1);
    const size_t nameLen = strnlen(g_file_name, kPathMax - 1 - dirLen);
    std::memcpy(path, g_file_dir, dirLen);
    std::memcpy(path + dirLen, g_file_name, nameLen);
    path[dirLen + nameLen] = '\0';
    char name[kLevelNameMax] = {0};
    levelName(level, name);

    // The line is the head, the message and a newline, cut to kLineMax - 1 characters; a
    // line that had to be cut still ends with a newline, so it never runs into the next one.
    LineText out;
    timestamp(out);
    out.put(" ");
    if (level != LOG_MONITOR) {
        char number[16];
        const char *end = std::to_chars(number, number + sizeof number, line).ptr;
        for (std::string_view field : {std::string_view(name), std::string_view(source_file ? source_file : ""),
                                       std::string_view(function_name ? function_name : ""),
                                       std::string_view(number, static_cast<size_t>(end - number))}) {
            out.put(field);
            out.put(" ");
        }
    }
    const char *fmt = format;
    std::vector<char> esc;
    if (!isMonitor() && std::strchr(format, ';')) {
        esc = escapedFormat(format);
        fmt = esc.data();
    }
    int n;  // the message's whole length
    if (std::strchr(fmt, '%') == nullptr) {
        n = static_cast<int>(std::strlen(fmt));
        std::memcpy(out.text + out.len, fmt, std::min<size_t>(n, kLineMax - 1 - out.len));
    } else {
        va_list ap;
        va_start(ap, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        n = std::vsnprintf(out.text + out.len, kLineMax - out.len, fmt, ap);
#pragma GCC diagnostic pop
        va_end(ap);
    }
    const size_t len = std::min<size_t>(out.len + std::max(n, 0) + 1, kLineMax - 1);
    out.text[len - 1] = '\n';
    // The message's own text (a stored name, a command's output) cannot forge a line or
    // reach a terminal's control sequences; the newlines that end a format stay.
    size_t body = len - 1;
    while (body > out.len && out.text[body - 1] == '\n') --body;
    makeHarmless(out.text + out.len, body - out.len, "\t");

    // Inside a batch the line waits in memory for the batch's end (lines for another file
    // first send those before them).
    if (g_depth > 0 && g_depthOwner != getpid()) {
        g_depth = 0;  // a forked child: the batch and its lines are the parent's
        g_pending.clear();
    }
    if (g_depth > 0) {
        if (!g_pending.empty() && std::strcmp(g_pendingPath, path) != 0) flushPending();
        std::snprintf(g_pendingPath, sizeof g_pendingPath, "%s", path);
        g_pendingMonitor = level == LOG_MONITOR;
        g_pending.append(out.text, len);
        if (g_pending.size() > kPendingMax) flushPending();
        return;
    }
    (void)writeLines(path, out.text, len, level == LOG_MONITOR);
}

LogBatch::LogBatch() : lostBefore_(g_lostLines) {
    if (g_depth > 0 && g_depthOwner != getpid()) {
        g_depth = 0;  // a forked child's first batch
        g_pending.clear();
    }
    if (g_depth++ == 0) g_depthOwner = getpid();
}

void LogBatch::finish() {
    if (!open_) return;
    open_ = false;
    if (g_depth > 0 && g_depthOwner == getpid() && --g_depth == 0) flushPending();
}

bool LogBatch::complete() const { return g_lostLines == lostBefore_; }

void inDebug(const char *format, ...) {
    if (!debug_started || format == nullptr) return;
    std::vector<char> esc = escapedFormat(format);
    va_list ap;
    va_start(ap, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vprintf(esc.data(), ap);
#pragma GCC diagnostic pop
    va_end(ap);
    std::printf("\n");
}

}  // namespace morvel::common
