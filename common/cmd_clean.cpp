// Character cleaning of command lines before they reach the shell, and ';' escaping of
// log formats.
#include <cstring>

#include "common/comm_util.h"

namespace morvel::common {

namespace {
// Besides letters, digits and the blank, only these characters reach the shell.
constexpr const char kAllowedPunct[] = "\"#$%&'()*,-./:>[]\\^_{}|";
}  // namespace

int is_cmd_inject_char(const char *set, char c) {
    if (!set || c == '\0') return -1;
    const char *p = std::strchr(set, c);
    return p ? static_cast<int>(p - set) : -1;
}

char cleanChar(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    const bool letterOrDigit = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
    return letterOrDigit || u == ' ' || is_cmd_inject_char(kAllowedPunct, c) >= 0 ? c : '%';
}

void str_addchar(char *dst, char c) {
    const size_t n = std::strlen(dst);
    dst[n] = c;
    dst[n + 1] = '\0';
}

char *cleanString(char *dst, const char *src) {
    if (!src) return nullptr;
    char *p = dst + std::strlen(dst);
    for (; *src; ++src) *p++ = cleanChar(*src);
    *p = '\0';
    return dst;
}

char *escapeString(char *dst, const char *src) {
    if (!src) return nullptr;
    char *p = dst + std::strlen(dst);
    for (; *src; ++src) {
        if (is_cmd_inject_char(";", *src) >= 0) *p++ = '\\';
        *p++ = *src;
    }
    *p = '\0';
    return dst;
}

}  // namespace morvel::common
