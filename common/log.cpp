// Line-oriented logging shared by morvel and morvel_monitor.
//
// Every call opens the file, takes an exclusive flock, appends one whole line in a single
// write, checks the size, rotates if needed, unlocks and closes: nothing is buffered, so
// a line is on disk as soon as the call returns, and several processes can append to the
// same file at the same time.
#include "common/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/comm_util.h"
#include "common/file_util.h"

namespace morvel::common {

namespace {

constexpr long kRotateSize = 10485760;  // 10 MiB: a file past this size is moved to its backup
constexpr int kLineMax = 1024;          // message and whole line: at most 1023 characters
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

// The file that an open LogBatch holds open and locked (fd -1: none yet).
struct Batch {
    int depth = 0;
    int fd = -1;
    char path[kPathMax] = {0};
};
Batch g_batch;

void releaseBatchFile() {
    if (g_batch.fd < 0) return;
    unlockClose(g_batch.fd);
    g_batch.fd = -1;
    g_batch.path[0] = '\0';
}

bool isMonitor() { return g_variant == LogVariant::Monitor; }

// /dumps is a fixed path that an administrator may have opened up to others. Files in it
// are opened without following links in any case; a run says so once.
void warnAboutOpenDumpsDir() {
    static bool warned = false;
    if (warned) return;
    struct stat st{};
    if (lstat(g_log_file_dir, &st) != 0) return;
    if (st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return;
    warned = true;
    morvel_log(LOG_ERROR, "common/comm_util", __LINE__, __func__,
               "Directory %s is not owned by root or is writable by group or others (owner %u, mode %04o).\n",
               g_log_file_dir, static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
}

void backup_log_file(const char *from) {
    char bk[kPathMax] = {0};
    std::snprintf(bk, sizeof(bk), "%s%s", g_file_dir, g_bk_file_name);
    (void)rename(from, bk);
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

// "[%Y-%m-%d %T.mmm]"
void timestamp(char *out, size_t outSize) {
    struct timeval tv{};
    gettimeofday(&tv, nullptr);
    time_t now = tv.tv_sec;
    char text[kTimeMax] = {0};
    struct tm tmNow{};
    if (localtime_r(&now, &tmNow) != nullptr) std::strftime(text, sizeof(text), "%Y-%m-%d %T.", &tmNow);
    std::snprintf(out, outSize, "[%s%03d]", text, static_cast<int>(tv.tv_usec / 1000));
}

// The format with a backslash before every ';' (morvel rules only).
std::vector<char> escapedFormat(const char *format) {
    size_t len = std::strlen(format);
    std::vector<char> esc(2 * len + 1, '\0');
    escapeString(esc.data(), format);
    return esc;
}

// written is what snprintf wanted for the line in out (kLineMax bytes). A line that had
// to be cut still ends with a newline, so it never runs into the next line of the file.
void finishLine(char *out, int written) {
    if (written >= kLineMax) out[kLineMax - 2] = '\n';
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

void morvel_log(int level, const char *source_file, int line, const char *function_name,
                const char *format, ...) {
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
    if (!mk_log_dir()) return;
    warnAboutOpenDumpsDir();

    char name[kLevelNameMax] = {0};
    levelName(level, name);
    char stamp[kTimeMax + 16] = {0};
    timestamp(stamp, sizeof(stamp));

    char msg[kLineMax] = {0};
    va_list ap;
    va_start(ap, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (isMonitor()) {
        std::vsnprintf(msg, sizeof(msg), format, ap);
    } else {
        std::vector<char> esc = escapedFormat(format);
        std::vsnprintf(msg, sizeof(msg), esc.data(), ap);
    }
#pragma GCC diagnostic pop
    va_end(ap);

    char text[kLineMax] = {0};
    int n;
    if (level == LOG_MONITOR) {
        n = std::snprintf(text, sizeof(text), "%s %s\n", stamp, msg);
    } else {
        n = std::snprintf(text, sizeof(text), "%s %s %s %s %d %s\n", stamp, name,
                          source_file ? source_file : "", function_name ? function_name : "", line, msg);
    }
    if (n < 0) return;
    finishLine(text, n);

    char path[kPathMax] = {0};
    std::snprintf(path, sizeof(path), "%s%s", g_file_dir, g_file_name);

    // Both programs hold the lock from before the write until after the size test and
    // rename. Inside a LogBatch the file stays open and locked from one line to the next.
    int fd;
    if (g_batch.depth > 0 && g_batch.fd >= 0 && std::strcmp(g_batch.path, path) == 0) {
        fd = g_batch.fd;
    } else {
        if (g_batch.depth > 0) releaseBatchFile();
        // A log file is never reached through a link, and a name that is not a plain file
        // of its own is not written to.
        fd = openLocked(path, O_RDWR | O_CREAT | O_APPEND, 0600);
        if (fd < 0) return;
        if (g_batch.depth > 0) {
            g_batch.fd = fd;
            std::snprintf(g_batch.path, sizeof g_batch.path, "%s", path);
        }
    }

    (void)writeAll(fd, text, std::strlen(text));

    // Size test and rotation under the lock: the next writer finds the file gone from the
    // path and opens the new one, so a file is never rotated twice.
    struct stat st{};
    bool rotate = fstat(fd, &st) == 0 && st.st_size > kRotateSize;
    if (rotate) backup_log_file(path);

    if (fd == g_batch.fd) {
        if (rotate) releaseBatchFile();  // the next line opens the new file
        return;
    }
    unlockClose(fd);
}

LogBatch::LogBatch() { ++g_batch.depth; }

void LogBatch::finish() {
    if (!open_) return;
    open_ = false;
    if (--g_batch.depth == 0) releaseBatchFile();
}

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
