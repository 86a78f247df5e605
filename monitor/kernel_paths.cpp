// The kernel's state and failure count of every path of every multipath map, from
// "dmsetup status --target multipath". The kernel counts each failure of a path, also one
// that multipathd undid before the next cycle could see it.
#include <cstring>
#include <sstream>

#include "common/log.h"
#include "common/runner.h"
#include "monitor/health.h"

namespace morvel::monitor {

namespace {

constexpr const char *kSrc = "monitor/health";
constexpr const char kStatusCmd[] = "dmsetup status --target multipath";
constexpr size_t kStartBuf = 65536;

// Reads a count and then that many words.
bool skipCounted(std::istringstream &in) {
    unsigned n = 0;
    std::string word;
    if (!(in >> n)) return false;
    for (unsigned i = 0; i < n; ++i)
        if (!(in >> word)) return false;
    return true;
}

// One map's status: "<start> <length> multipath <features> <handler> <groups> <next group>",
// then per group "<A|D|E> <selector words> <paths> <words per path>", and per path
// "<major:minor> <A|F> <failures>" and the selector's words.
bool parseMap(const std::string &map, std::istringstream &in, KernelPaths &out) {
    std::string start, length, target;
    unsigned groups = 0, nextGroup = 0;
    if (!(in >> start >> length >> target) || target != "multipath") return false;
    if (!skipCounted(in) || !skipCounted(in) || !(in >> groups >> nextGroup)) return false;
    for (unsigned g = 0; g < groups; ++g) {
        std::string state, word;
        unsigned paths = 0, perPath = 0;
        if (!(in >> state) || !skipCounted(in) || !(in >> paths >> perPath)) return false;
        for (unsigned p = 0; p < paths; ++p) {
            std::string dev, active;
            unsigned long failures = 0;
            if (!(in >> dev >> active >> failures) || (active != "A" && active != "F")) return false;
            for (unsigned w = 0; w < perPath; ++w)
                if (!(in >> word)) return false;
            out[dev] = KernelPath{map, active == "F", failures};
        }
    }
    return true;
}

}  // namespace

bool parseMultipathStatus(std::string_view text, KernelPaths &out) {
    out.clear();
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        const std::string line(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (line.empty() || line == "No devices found") continue;
        const size_t colon = line.find(": ");
        if (colon == std::string::npos || colon == 0) return false;
        std::istringstream in(line.substr(colon + 2));
        if (!parseMap(line.substr(0, colon), in, out)) return false;
    }
    return true;
}

bool readKernelPaths(KernelPaths &out, bool logFailure) {
    std::string buf(kStartBuf, '\0');
    common::RunnerOutput h(buf.data());
    const int rc = common::exe_cmd_monitor(kStatusCmd, buf.data(), static_cast<int>(buf.size()), &h.out);
    if (rc < 0 || h.out == nullptr) {
        if (logFailure) MLOG(common::LOG_ERROR, kSrc, "Execute command [%s] failed", kStatusCmd);
        return false;
    }
    if (!parseMultipathStatus(h.out, out)) {
        if (logFailure) MLOG(common::LOG_ERROR, kSrc, "The output of [%s] could not be read: [%.200s]", kStatusCmd, h.out);
        return false;
    }
    return true;
}

}  // namespace morvel::monitor
