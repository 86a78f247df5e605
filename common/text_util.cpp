// Text helpers over command output: searching, skipping, splitting, fixed-width printing
// and extended regular expressions.
#include <regex.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/comm_util.h"

namespace morvel::common {

int numberOfString(const char *hay, const char *needle) {
    if (!hay || !needle || *needle == '\0') return 0;
    int count = 0;
    for (const char *p = vessar_strstr(hay, needle); p; p = vessar_strstr(p + 1, needle)) {
        ++count;
        if (p[1] == '\0') break;
    }
    return count;
}

char *find_char(const char *s, int ch) { return s ? const_cast<char *>(std::strchr(s, ch)) : nullptr; }

char *find_str(const char *hay, const char *needle) { return hay && needle ? vessar_strstr(hay, needle) : nullptr; }

char *get_next_line(char *s) {
    if (!s) return nullptr;
    char *nl = std::strchr(s, '\n');
    if (!nl) return nullptr;
    if (nl[1] == '\0') {
        *nl = '\0';
        return nullptr;
    }
    return nl + 1;
}

int findNotChar(const char *s, int start, char ch) {
    if (!s || start < 0 || start >= vessar_strlen(s)) return -1;
    for (int i = start; s[i] != '\0'; ++i)
        if (s[i] != ch) return i;
    return -1;
}

char *pFindNotChar(char *s, int start, char ch) {
    const int i = findNotChar(s, start, ch);
    return i < 0 ? nullptr : s + i;
}

int findSubStrIndexes(char *s, char sep, char **starts, int max) {
    if (!s || *s == '\0' || !starts || max <= 0) return 0;
    int n = 0;
    for (int i = 0; s[i] != '\0' && n < max; ++i) {
        if (s[i] != sep && (i == 0 || s[i - 1] == sep)) starts[n++] = s + i;
    }
    return n;
}

int isBeginwith(const char *s, const char *prefix) {
    return s && prefix && std::strncmp(s, prefix, std::strlen(prefix)) == 0 ? 1 : 0;
}

int isEndWith(const char *s, const char *suffix) {
    return s && suffix && std::string_view(s).ends_with(suffix) ? 1 : 0;
}

size_t makeHarmless(char *text, size_t len, std::string_view keep) {
    if (text == nullptr) return 0;
    size_t changed = 0;
    auto mark = [&](size_t i) {
        text[i] = '?';
        ++changed;
    };
    for (size_t i = 0; i < len;) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            if (keep.find(static_cast<char>(c)) == std::string_view::npos) mark(i);
            ++i;
            continue;
        }
        if (c < 0x80) {
            ++i;
            continue;
        }
        // a whole UTF-8 sequence passes, except the two-byte form of a C1 control
        // (U+0080..U+009F); a byte outside any sequence that is a raw C1 control is marked
        const size_t need = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        size_t have = 1;
        while (need > 0 && have < need && i + have < len && (static_cast<unsigned char>(text[i + have]) & 0xC0) == 0x80)
            ++have;
        if (need > 0 && have == need) {
            if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
                mark(i);
                mark(i + 1);
            }
            i += need;
            continue;
        }
        if (c <= 0x9F) mark(i);
        ++i;
    }
    return changed;
}

void appendWidth(std::string &out, std::string_view s, size_t width) {
    s = s.substr(0, width);
    out.append(s);
    out.append(width - s.size(), ' ');
}

void printWidth(char *s, int width) {
    if (!s || width < 0) return;
    std::string cell;
    appendWidth(cell, s, static_cast<size_t>(width));
    std::fputs(cell.c_str(), stdout);
}

int splitStr(char *s, char sep, char ***fields) {
    if (!s || *s == '\0' || !fields) return 0;
    const auto seps = static_cast<size_t>(std::count(s + 1, s + std::strlen(s), sep));
    auto **arr = static_cast<char **>(std::calloc(seps + 2, sizeof(char *)));
    if (!arr) return 0;
    const char delim[2] = {sep, '\0'};
    int n = 0;
    char *save = nullptr;
    for (char *tok = strtok_r(s, delim, &save); tok; tok = strtok_r(nullptr, delim, &save))
        arr[n++] = tok;
    arr[n] = nullptr;
    *fields = arr;
    return n;
}

char **strsplit_count(const char *s, const char *delim, size_t *count) {
    if (count) *count = 0;
    if (!s || !delim) return nullptr;
    const size_t dlen = std::strlen(delim);
    const size_t slen = std::strlen(s);
    size_t pieces = 1;
    if (dlen > 0)
        for (const char *p = std::strstr(s, delim); p; p = std::strstr(p + dlen, delim)) ++pieces;
    const size_t arrBytes = (pieces + 1) * sizeof(char *);
    auto *block = static_cast<char *>(std::malloc(arrBytes + slen + 1));
    if (!block) return nullptr;
    auto **arr = reinterpret_cast<char **>(block);
    char *copy = block + arrBytes;
    std::memcpy(copy, s, slen + 1);
    size_t n = 0;
    char *cur = copy;
    if (dlen > 0) {
        for (char *p = std::strstr(cur, delim); p; p = std::strstr(cur, delim)) {
            *p = '\0';
            arr[n++] = cur;
            cur = p + dlen;
        }
    }
    arr[n++] = cur;
    arr[n] = nullptr;
    if (count) *count = n;
    return arr;
}

char **strsplit(const char *s, const char *delim) { return strsplit_count(s, delim, nullptr); }

int regMatch(const char *pattern, const char *s) {
    if (!pattern || !s || *pattern == '\0' || *s == '\0') return 0;
    regex_t re;
    if (regcomp(&re, pattern, REG_EXTENDED | REG_NOSUB) != 0) return 2;
    const int rc = regexec(&re, s, 0, nullptr, 0);
    regfree(&re);
    if (rc == 0) return 1;
    if (rc == REG_NOMATCH) return 0;
    return 2;
}

}  // namespace morvel::common
