// Parser of captured `multipath -ll` text into the device and path lists. One parser core
// serves both record layouts; the layout type selects morvel's rules or the monitor's older
// ones (field limits, the words kept of a path line). Both recognise the array's SCSI LUNs
// and NVMe namespaces by the same header rule, and a map that lost all its paths by its bare
// header when the caller knows its WWID as the array's.
#include "struct/mpath_parser.h"

#include <regex.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/comm_util.h"
#include "common/log.h"
#include "struct/target_port.h"

namespace morvel::structs {

using common::EcItem;

namespace {
constexpr const char kSrc[] = "cli/cli_exe";
constexpr size_t kBlockPrefix = 5;  // the tree drawing in front of every block line
constexpr size_t kPathWords = 6;

// morvel's layout and rules.
struct CliLayout {
    using Device = s_morvel;
    using Path = s_path_dev;
    static constexpr const char *parseFunc = "parseQueryCmdResultList";
    static constexpr size_t nameMax = 65;
    static constexpr size_t numberMax = 30;
    static constexpr size_t sizeMax = 30;
    static constexpr size_t fieldMax = 30;
};

// morvel_monitor's older layout and rules.
struct MonLayout {
    using Device = mon::s_morvel;
    using Path = mon::s_path_dev;
    static constexpr const char *parseFunc = "parseQueryCmdResult";
    static constexpr size_t nameMax = 64;
    static constexpr size_t numberMax = 29;
    static constexpr size_t sizeMax = 29;
    static constexpr size_t fieldMax = 30;
};

// Text from p up to the next blank or the end.
std::string_view untilBlank(const char *p) { return {p, std::strcspn(p, " ")}; }

const char *skipBlanks(const char *p) { return p + std::strspn(p, " "); }

// A block line from its 6th character on (empty for a shorter line).
const char *fromSixth(const char *line) { return line + strnlen(line, kBlockPrefix); }

// Splits text in place at its newlines. keepEmpty: empty lines stay, and a final newline
// gives a last, empty line; otherwise empty lines are dropped and do not count in line numbers.
std::vector<char *> splitLines(char *text, bool keepEmpty) {
    std::vector<char *> lines;
    char *const end = text + std::strlen(text);
    lines.reserve(static_cast<size_t>(std::count(text, end, '\n')) + 1);
    for (char *start = text;;) {
        char *nl = static_cast<char *>(std::memchr(start, '\n', static_cast<size_t>(end - start)));
        char *stop = nl ? nl : end;
        *stop = '\0';
        if (keepEmpty || stop != start) lines.push_back(start);
        if (!nl) return lines;
        start = nl + 1;
    }
}

// func: the parser function the line belongs to (the header and block rules are the whole
// parse's, the group and path lines processPathInfo's).
void logParseFailed(const char *func, int lineNo) {
    MLOG_AS(common::LOG_ERROR, kSrc, func, "Parse %dth line in 'multipath -ll' output failed.", lineNo);
}

// ---- header recognition ----

class CompiledRegex {
public:
    explicit CompiledRegex(const char *pattern)
        : ok_(regcomp(&re_, pattern, REG_EXTENDED | REG_NOSUB) == 0) {}
    ~CompiledRegex() {
        if (ok_) regfree(&re_);
    }
    CompiledRegex(const CompiledRegex &) = delete;
    CompiledRegex &operator=(const CompiledRegex &) = delete;
    bool matches(const char *s) const { return ok_ && regexec(&re_, s, 0, nullptr, 0) == 0; }

private:
    regex_t re_;
    bool ok_;
};

// Pathless: a map of the array that has lost all its paths (see bareHeaderWwid).
enum class Header { None, Scsi, Nvme, Pathless };

Header matchHeader(const char *line) {
    // Both expressions need "KELDOR" (the NVMe model is KELDORZRN): a cheap test first.
    if (!std::strstr(line, "KELDOR")) return Header::None;
    static const CompiledRegex scsi(MORVEL_END_REG);
    static const CompiledRegex nvme(MORVEL_NVME_END_REG);
    if (scsi.matches(line)) return Header::Scsi;
    if (nvme.matches(line)) return Header::Nvme;
    return Header::None;
}

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// multipathd marks a map with the last thing it did to it: "create: mpatha (...) dm-2 ...",
// and after a reconfigure "reload: ", "switchpg: ", "rename: " and the like.
std::string_view withoutMark(std::string_view line) {
    for (std::string_view mark : {"create: ", "reload: ", "switchpg: ", "rename: ", "resize: ", "reject: "})
        if (line.starts_with(mark)) return line.substr(mark.size());
    return line;
}

// A map whose paths are all gone keeps its header, but multipathd no longer knows its vendor
// and product: "mpathf (3600...) dm-5 ##,##", and older multipath-tools print nothing after
// dm-N. The WWID of such a header ("alias (wwid) dm-N" or "wwid dm-N", then "##,##" or
// nothing); empty for any other line.
std::string_view bareHeaderWwid(std::string_view line) {
    line = withoutMark(line);
    const size_t dm = line.find(" dm-");
    if (dm == std::string_view::npos) return {};
    std::string_view rest = line.substr(dm + 4);
    const size_t digits = std::min(rest.find_first_not_of("0123456789"), rest.size());
    if (digits == 0) return {};
    rest.remove_prefix(digits);
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    if (rest.starts_with("##,##")) rest.remove_prefix(5);
    if (rest.find_first_not_of(' ') != std::string_view::npos) return {};
    const std::string_view names = line.substr(0, dm);
    const size_t blank = names.find(' ');
    if (blank == 0 || names.empty()) return {};
    if (blank == std::string_view::npos) return names;
    std::string_view wwid = names.substr(blank + 1);
    if (wwid.size() < 3 || wwid.front() != '(' || wwid.back() != ')' || wwid.find(' ') != std::string_view::npos)
        return {};
    return wwid.substr(1, wwid.size() - 2);
}

// With enable_foreign "nvme" multipath-tools also lists the namespaces of native NVMe
// multipathing, in a form of its own: "uuid.... [nvme]:nvme0n1 NVMe,KELDORZRN,6.1.0-57", a
// size line and a path-group block. Such a namespace is no map: morvel reads it from sysfs
// (struct/nvme_native.h), so that it is listed once, with or without the foreign library.
bool isForeignNvmeHeader(const char *line) {
    const char *second = std::strchr(line, ' ');
    return second != nullptr && std::strncmp(skipBlanks(second), "[nvme]:", 7) == 0;
}

// The first line after the foreign namespace whose header is line i: past its size line and
// its block.
int skipForeign(char **lines, int i, int n) {
    int end = std::min(i + 2, n);
    while (end < n && (*skipBlanks(lines[end]) == '|' || *skipBlanks(lines[end]) == '`')) ++end;
    return end;
}

// A header of the array's, or a bare header whose WWID morvel has seen as the array's.
Header headerKind(const char *line, const KnownWwid *known) {
    Header kind = matchHeader(line);
    if (kind != Header::None || known == nullptr || !*known) return kind;
    const std::string_view wwid = bareHeaderWwid(line);
    return !wwid.empty() && (*known)(std::string(wwid).c_str()) ? Header::Pathless : Header::None;
}

// The WWID forms of NVMe namespaces ("uuid.", "eui.", "nguid.", the kernel's "nvme."
// fallback); SCSI WWIDs start with the digit of their designator type.
bool isNvmeWwid(std::string_view wwid) {
    for (std::string_view form : {"uuid.", "eui.", "nguid.", "nvme."})
        if (wwid.starts_with(form)) return true;
    return false;
}

// Names and device number of a header line: "alias (wwid) dm-N VENDOR,PRODUCT" or
// "wwid dm-N VENDOR,PRODUCT". False when the text after " dm-" is not a number: the
// device number goes into command lines (multipath -f /dev/dm-N), so such a header is
// malformed.
template <class L>
bool fillHeader(typename L::Device *dev, const char *line, Header kind) {
    std::string_view names = withoutMark(line);
    size_t dm = names.find(" dm-");
    if (dm != std::string_view::npos) {
        std::string_view number = untilBlank(names.data() + dm + 4);
        if (!allDigits(number)) return false;
        common::copyField(dev->device_number, number, L::numberMax);
        names = names.substr(0, dm);
    }
    auto word = [&](size_t &pos) {
        while (pos < names.size() && names[pos] == ' ') ++pos;
        size_t start = pos;
        while (pos < names.size() && names[pos] != ' ') ++pos;
        return names.substr(start, pos - start);
    };
    size_t pos = 0;
    std::string_view a = word(pos);
    std::string_view b = word(pos);
    // Without an alias the WWID names the map.
    std::string_view wwid = b.empty() ? a : b;
    if (wwid.starts_with('(')) wwid.remove_prefix(1);
    if (wwid.ends_with(')')) wwid.remove_suffix(1);
    common::copyField(dev->path_alias, b.empty() ? wwid : a, L::nameMax);
    common::copyField(dev->wwid, wwid, L::nameMax);
    // a bare header names no vendor: the WWID's form tells a namespace from a SCSI LUN
    const bool nvme = kind == Header::Nvme || (kind == Header::Pathless && isNvmeWwid(wwid));
    common::copyField(dev->vendor, nvme ? "NVME" : "KELDOR");
    common::copyField(dev->product_type, nvme ? "KELDORZRN" : "ZRN");
    return true;
}

// ---- path-group blocks ----

struct Group {
    char policy[31];
    char priority[31];
    char status[31];
};

// Reads the group line from its "policy=" on.
Group parseGroup(const char *policyAt) {
    Group g{};
    const char *p = policyAt + 7;  // behind "policy="
    if (*p) ++p;                   // and the opening quote
    const char *close = std::strchr(p, '\'');
    common::copyField(g.policy, close ? std::string_view(p, static_cast<size_t>(close - p)) : p, CliLayout::fieldMax);
    if (!close) return g;
    const char *rest = close + 1;
    if (const char *prio = std::strstr(rest, "prio=")) {
        std::string_view v = untilBlank(prio + 5);
        common::copyField(g.priority, v, CliLayout::fieldMax);
        rest = v.data() + v.size();
    }
    if (const char *status = std::strstr(rest, "status="))
        common::copyField(g.status, untilBlank(status + 7), CliLayout::fieldMax);
    return g;
}

struct Words {
    std::string_view w[kPathWords];
    size_t count = 0;
};

// Up to six blank-separated words; the sixth reaches to the end of the line.
Words splitPathWords(const char *p) {
    Words out;
    while (out.count < kPathWords) {
        p = skipBlanks(p);
        if (!*p) break;
        if (out.count == kPathWords - 1) {
            // multipathd pads the last column too, to the widest state of all its paths
            std::string_view last(p);
            out.w[out.count++] = last.substr(0, last.find_last_not_of(' ') + 1);
            break;
        }
        std::string_view v = untilBlank(p);
        out.w[out.count++] = v;
        p = v.data() + v.size();
    }
    return out;
}

template <class P>
void copyGroup(P *node, const Group &g) {
    common::copyField(node->path_group_policy, g.policy, 30);
    common::copyField(node->path_group_priority, g.priority, 30);
    common::copyField(node->path_group_status, g.status, 30);
}

// The fields both layouts keep: the first three words and the last; the path status is
// word `status` (the monitor's older rules keep the checker's word there).
template <class P>
void fillCommonPathFields(P *node, const Words &w, size_t status) {
    constexpr size_t m = CliLayout::fieldMax;
    common::copyField(node->dev_node, w.w[0], m);
    common::copyField(node->dev_name, w.w[1], m);
    common::copyField(node->dev_id, w.w[2], m);
    common::copyField(node->path_status, w.w[status], m);
    common::copyField(node->morvel_status, w.w[5], m);
}

void fillPath(s_path_dev *node, const Words &w, PortResolver *resolver) {
    fillCommonPathFields(node, w, 3);
    common::copyField(node->checker_status, w.w[4], CliLayout::fieldMax);
    // host_interface and target_port are still clear: the node is a fresh or reset one
    if (resolver) resolver->resolve(node->dev_name, node->host_interface, node->target_port);
}

void fillPath(mon::s_path_dev *node, const Words &w, PortResolver *) {
    fillCommonPathFields(node, w, 4);
    common::copyField(node->dm_status, w.w[3], CliLayout::fieldMax);
}

template <class L>
EcItem *parseBlock(char **lines, int start, int end, typename L::Path *pathAnchor,
                   PortResolver *resolver) {
    if (!lines || start >= end) return &common::EC_info_ok;
    PathTail<typename L::Path> tail(pathAnchor);
    int j = start;
    while (j < end) {
        const char *policy = std::strstr(fromSixth(lines[j]), "policy=");
        if (!policy) {
            logParseFailed("processPathInfo", j);
            return &common::EC_parse_cmd_out;
        }
        Group g = parseGroup(policy);
        common::inDebug("== policy=%s, priority=%s, grpStatus=%s", g.policy, g.priority, g.status);
        ++j;
        while (j < end && std::strncmp(fromSixth(lines[j]), "policy=", 7) != 0) {
            Words w = splitPathWords(fromSixth(lines[j]));
            // The device name (word 2, as the record keeps it) names sysfs entries that
            // the commands write to: one plain path component, or the line is malformed.
            if (w.count < kPathWords || !isSafeDevName(w.w[1].substr(0, L::fieldMax))) {
                logParseFailed("processPathInfo", j);
                return &common::EC_parse_cmd_out;
            }
            typename L::Path *node = tail.take();
            if (!node) return &common::EC_molloc_failed;
            copyGroup(node, g);
            fillPath(node, w, resolver);
            common::inDebug("== A path: dev_name: %s", node->dev_name);
            tail.keep(node);
            ++j;
        }
    }
    return &common::EC_info_ok;
}

// ---- devices ----

template <class L>
EcItem *parseLines(char **lines, int n, typename L::Device *anchor, PortResolver *resolver,
                   const KnownWwid *known) {
    if (!anchor) return &common::EC_invalid_input;
    common::LogBatch batch;  // one line per new record: one open of the log for all of them
    MorvelTail<typename L::Device> tail(anchor);
    int i = 0;
    while (i < n) {
        if (isForeignNvmeHeader(lines[i])) {
            i = skipForeign(lines, i, n);
            continue;
        }
        Header kind = headerKind(lines[i], known);
        if (kind == Header::None) {
            ++i;
            continue;
        }
        common::inDebug("== before getOrMallocNextMorvel");
        typename L::Device *dev = tail.take();
        common::inDebug("== after getOrMallocNextMorvel");
        if (!dev) return &common::EC_molloc_failed;
        if (!fillHeader<L>(dev, lines[i], kind)) {
            logParseFailed(L::parseFunc, i);
            return &common::EC_parse_cmd_out;
        }

        if (i + 1 >= n) {
            logParseFailed(L::parseFunc, i + 1);
            return &common::EC_parse_cmd_out;
        }
        if (const char *size = std::strstr(lines[i + 1], "size="))
            common::copyField(dev->lun_size, untilBlank(size + 5), L::sizeMax);

        int end = i + 2;
        for (; end < n; ++end) {
            const char *first = skipBlanks(lines[end]);
            if (*first != '|' && *first != '`') break;
            if (std::strlen(lines[end]) < kBlockPrefix + 1) {
                logParseFailed(L::parseFunc, end);
                return &common::EC_parse_cmd_out;
            }
        }

        if (!dev->pdev) {
            dev->pdev = mallocPathDev<typename L::Path>();
            if (!dev->pdev) return &common::EC_molloc_failed;
        }
        initPathDev(dev->pdev);
        common::inDebug("== before processPathInfo");
        EcItem *result = parseBlock<L>(lines, i + 2, end, dev->pdev, resolver);
        common::inDebug("== after processPathInfo");
        if (result->code != 0) return result;

        tail.keep(dev);
        i = end;
    }
    return &common::EC_info_ok;
}

}  // namespace

// ---- morvel ----

EcItem *parseQueryCmdResultList(const char *text, s_morvel *anchor, PortResolver &resolver,
                                const KnownWwid &known) {
    if (!text || !*text) return &common::EC_info_ok;
    std::string copy(text);
    std::vector<char *> lines = splitLines(copy.data(), true);
    return parseLines<CliLayout>(lines.data(), static_cast<int>(lines.size()), anchor, &resolver, &known);
}

EcItem *parseQueryCmdResultList(const char *text, s_morvel *anchor, const KnownWwid &known) {
    HostPortResolver resolver;
    return parseQueryCmdResultList(text, anchor, resolver, known);
}

EcItem *processPathInfo(char **lines, int start, int end, s_path_dev *pathAnchor,
                        PortResolver &resolver) {
    return parseBlock<CliLayout>(lines, start, end, pathAnchor, &resolver);
}

EcItem *processPathInfo(char **lines, int start, int end, s_path_dev *pathAnchor) {
    HostPortResolver resolver;
    return parseBlock<CliLayout>(lines, start, end, pathAnchor, &resolver);
}

// ---- morvel_monitor ----

EcItem *parseQueryCmdResult(char *text, mon::s_morvel *anchor, const KnownWwid &known) {
    if (!text || !*text) return &common::EC_info_ok;
    std::vector<char *> lines = splitLines(text, false);
    return parseLines<MonLayout>(lines.data(), static_cast<int>(lines.size()), anchor, nullptr, &known);
}

EcItem *processPathInfo(char **lines, int start, int end, mon::s_path_dev *pathAnchor) {
    return parseBlock<MonLayout>(lines, start, end, pathAnchor, nullptr);
}

}  // namespace morvel::structs
