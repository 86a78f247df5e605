// Bounded string family: small, predictable replacements for the C library's string
// functions, used everywhere text from commands is taken apart.
#include "common/comm_util.h"

namespace morvel::common {

int vessar_strlen(const char *s) {
    int n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

int safe_strlen(const char *s) { return s ? vessar_strlen(s) : 0; }

char *vessar_strchr(const char *s, int ch) {
    const char c = static_cast<char>(ch);
    for (;; ++s) {
        if (*s == c) return const_cast<char *>(s);
        if (*s == '\0') return nullptr;
    }
}

namespace {

// Length of the run at the start of s whose characters are all in set (inSet) or all
// outside it.
size_t span(const char *s, const char *set, bool inSet) {
    if (!s || !set) return static_cast<size_t>(-1);
    size_t i = 0;
    while (s[i] != '\0' && (vessar_strchr(set, s[i]) != nullptr) == inSet) ++i;
    return i;
}

char *g_tok_pos = nullptr;  // vessar_strtok's saved position

}  // namespace

size_t vessar_strcspn(const char *s, const char *reject) { return span(s, reject, false); }

size_t vessar_strspn(const char *s, const char *accept) { return span(s, accept, true); }

char *vessar_strtok(char *s, const char *delim) {
    if (!s) s = g_tok_pos;
    if (!s || !delim) return nullptr;
    s += vessar_strspn(s, delim);
    char *end = s + vessar_strcspn(s, delim);
    g_tok_pos = *end != '\0' ? end + 1 : nullptr;
    if (g_tok_pos != nullptr) *end = '\0';
    return *s != '\0' ? s : nullptr;
}

int vessar_strncmp(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const unsigned char ca = static_cast<unsigned char>(a[i]);
        const unsigned char cb = static_cast<unsigned char>(b[i]);
        if (ca != cb) return ca - cb;
        if (ca == '\0') return 0;
    }
    return 0;
}

char *vessar_strstr(const char *hay, const char *needle) {
    if (*needle == '\0') return const_cast<char *>(hay);
    for (; *hay; ++hay) {
        size_t i = 0;
        while (needle[i] && hay[i] == needle[i]) ++i;
        if (needle[i] == '\0') return const_cast<char *>(hay);
    }
    return nullptr;
}

size_t vessar_strnlen(const char *s, size_t n) {
    size_t i = 0;
    while (i < n && s[i] != '\0') ++i;
    return i;
}

void *vessar_memcpy(void *d, const void *s, size_t n) {
    auto *dp = static_cast<unsigned char *>(d);
    const auto *sp = static_cast<const unsigned char *>(s);
    for (size_t i = 0; i < n; ++i) dp[i] = sp[i];
    return d;
}

char *vessar_strncat(char *d, const char *s, size_t n) {
    vessar_strncpy(d + vessar_strlen(d), s, vessar_strnlen(s, n));
    return d;
}

char *vessar_strncpy(char *d, const char *s, size_t n) {
    if (n == 0) return d;
    size_t i = 0;
    for (; i < n && s[i] != '\0'; ++i) d[i] = s[i];
    for (; i <= n; ++i) d[i] = '\0';
    return d;
}

void vessar_strrpl(char *dst, const char *src, const char *oldText, const char *newText) {
    const int oldLen = vessar_strlen(oldText);
    const int newLen = vessar_strlen(newText);
    char *out = dst;
    while (*src) {
        if (oldLen > 0 && vessar_strncmp(src, oldText, oldLen) == 0) {
            vessar_memcpy(out, newText, newLen);
            out += newLen;
            src += oldLen;
        } else {
            *out++ = *src++;
        }
    }
    *out = '\0';
}

}  // namespace morvel::common
