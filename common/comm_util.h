// Bounded string family and text helpers shared by morvel and morvel_monitor.
#pragma once
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace morvel::common {

// ---- vessar_ family: like the C library functions of the same stem ----
int vessar_strlen(const char *s);
int safe_strlen(const char *s);
char *vessar_strchr(const char *s, int ch);
size_t vessar_strcspn(const char *s, const char *reject);
size_t vessar_strspn(const char *s, const char *accept);
char *vessar_strtok(char *s, const char *delim);
int vessar_strncmp(const char *a, const char *b, size_t n);
char *vessar_strstr(const char *hay, const char *needle);
size_t vessar_strnlen(const char *s, size_t n);
void *vessar_memcpy(void *d, const void *s, size_t n);
char *vessar_strncat(char *d, const char *s, size_t n);
// Copies at most n characters and zero-fills up to and including d[n]: d needs n + 1 bytes.
char *vessar_strncpy(char *d, const char *s, size_t n);
void vessar_strrpl(char *dst, const char *src, const char *oldText, const char *newText);

// Bounded copy of a piece of text into a fixed-width text field of N bytes: at most limit
// (and at most N-1) characters, always terminated, rest of the field zeroed. The text need
// not end where the piece ends.
template <size_t N>
inline void copyField(char (&field)[N], std::string_view src, size_t limit) {
    if (limit > N - 1) limit = N - 1;
    std::memset(field, 0, N);
    std::memcpy(field, src.data(), src.size() < limit ? src.size() : limit);
}
// Same for a terminated text (null counts as empty).
template <size_t N>
inline void copyField(char (&field)[N], const char *src, size_t limit = N - 1) {
    if (src == nullptr) src = "";
    copyField(field, std::string_view(src, vessar_strnlen(src, limit)), limit);
}

// ---- text helpers ----
int numberOfString(const char *hay, const char *needle);
char *find_char(const char *s, int ch);
char *find_str(const char *hay, const char *needle);
char *get_next_line(char *s);
int findNotChar(const char *s, int start, char ch);
char *pFindNotChar(char *s, int start, char ch);
int findSubStrIndexes(char *s, char sep, char **starts, int max);
int isBeginwith(const char *s, const char *prefix);
int isEndWith(const char *s, const char *suffix);
// s cut to width characters, or followed by blanks up to width.
void appendWidth(std::string &out, std::string_view s, size_t width);
// Makes text that came from outside harmless on a terminal and in a log line: every control
// byte (C0 but those in keep; DEL; C1 whether raw or UTF-8 encoded) becomes '?', in place.
// Returns how many bytes were changed.
size_t makeHarmless(char *text, size_t len, std::string_view keep = {});
void printWidth(char *s, int width);
int splitStr(char *s, char sep, char ***fields);
char **strsplit_count(const char *s, const char *delim, size_t *count);
char **strsplit(const char *s, const char *delim);
int regMatch(const char *pattern, const char *s);

// ---- command-line character cleaning ----
int is_cmd_inject_char(const char *set, char c);
char cleanChar(char c);
void str_addchar(char *dst, char c);
char *cleanString(char *dst, const char *src);
char *escapeString(char *dst, const char *src);

}  // namespace morvel::common
