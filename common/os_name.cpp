// Distribution name of the host: the Red Hat family release files, then the SUSE release
// files, then lsb_release. Callers compare the name with fixed texts, so its exact shape
// (blanks, newline, cut positions) matters.
#include "common/os_name.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/comm_util.h"

namespace morvel::common {

namespace {

char hi_linux_os_name[256];

constexpr int kRedhatLineSize = 120;   // at most 119 characters
constexpr int kSuseFirstSize = 240;    // at most 239 characters
constexpr int kSuseLineSize = 120;     // at most 119 characters
constexpr int kLsbLineSize = 128;      // at most 127 characters
constexpr int kFileNameMax = 64;       // characters taken from a release file
constexpr int kLsbNameMax = 240;       // characters taken from lsb_release

// Reads one line of at most size-1 characters; an unreadable line counts as empty.
void readLine(FILE *f, char *buf, int size) {
    if (fgets(buf, size, f) == nullptr) buf[0] = '\0';
}

using FileCloser = std::unique_ptr<FILE, decltype([](FILE *f) { fclose(f); })>;

}  // namespace

int read_redhat_release(void) {
    const char *path =
        access("/etc/oracle-release", R_OK) == 0 ? "/etc/oracle-release" : "/etc/redhat-release";
    FileCloser f(fopen(path, "r"));
    if (!f) return 1;

    char line[kRedhatLineSize];
    readLine(f.get(), line, sizeof line);
    const int len = static_cast<int>(strlen(line));
    // A first line that holds nothing but its line feed is as good as empty: the next
    // source is tried.
    if (len == 0 || (len == 1 && line[0] == '\n')) return 1;

    // The last two characters of the line (normally the line feed and the one before it)
    // are never copied; the word "release " is left out; the copy stops at '('.
    int copied = 0;
    for (int i = 0; i < len - 2 && copied < kFileNameMax;) {
        if (strncmp(line + i, "release ", 8) == 0) {
            i += 8;
            continue;
        }
        if (line[i] == '(') break;
        hi_linux_os_name[copied++] = line[i++];
    }
    hi_linux_os_name[copied] = '\0';
    return 0;
}

int read_suse_release(void) {
    const bool osRelease = access("/etc/os-release", R_OK) == 0;
    FileCloser f(fopen(osRelease ? "/etc/os-release" : "/etc/SuSE-release", "r"));
    if (!f) return 1;

    char first[kSuseFirstSize];
    char second[kSuseLineSize];
    readLine(f.get(), first, sizeof first);

    if (osRelease) {
        readLine(f.get(), second, sizeof second);
        if (second[0] == '\0') return 1;
        copyField(hi_linux_os_name, second, kFileNameMax);
        return 0;
    }

    char third[kSuseLineSize];
    readLine(f.get(), second, sizeof second);
    readLine(f.get(), third, sizeof third);
    if (first[0] == '\0') return 1;

    // Drop the bracketed architecture together with the blank before it, or else the
    // line's last character (its line feed).
    char *bracket = strchr(first, '(');
    if (bracket != nullptr && bracket != first) {
        bracket[-1] = '\0';
    } else {
        first[strlen(first) - 1] = '\0';
    }
    char joined[kSuseFirstSize + kSuseLineSize];
    snprintf(joined, sizeof joined, "%s%s", first, third);
    copyField(hi_linux_os_name, joined, kFileNameMax);
    return 0;
}

int read_lsb_release(void) {
    FILE *p = popen("/usr/bin/lsb_release -d -s 2>/dev/null", "r");
    if (p == nullptr) return 1;
    char line[kLsbLineSize];
    readLine(p, line, sizeof line);
    pclose(p);
    const size_t readLen = strlen(line);
    if (readLen == 0) return 1;

    // Work with indexes into the line: [start, end) is the text that is kept. (Writing
    // terminators into the line and copying from an alias of it is miscompiled by g++ 12
    // at -O2.)
    const size_t start = line[0] == '"' ? 1 : 0;
    size_t end = readLen;
    while (end > start && (line[end - 1] == '"' || line[end - 1] == '\n')) --end;
    const char *bracket = static_cast<const char *>(memchr(line + start, '(', end - start));
    if (bracket != nullptr && bracket != line) {
        // the text ends before the character in front of the bracket (normally a blank)
        const size_t cut = static_cast<size_t>(bracket - line) - 1;
        if (cut >= start) end = cut;
    } else if (readLen - 1 < end) {
        end = readLen - 1;  // the line's last character as read is dropped
    }
    copyField(hi_linux_os_name, std::string_view(line + start, end - start), kLsbNameMax);
    return 0;
}

const char *get_os_name(void) {
    if (read_redhat_release() != 0 && read_suse_release() != 0 && read_lsb_release() != 0) {
        snprintf(hi_linux_os_name, sizeof hi_linux_os_name, "%s", "Unknown Linux");
    }
    return hi_linux_os_name;
}

}  // namespace morvel::common
