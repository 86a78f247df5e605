// The path-health tracker: failures counted by the kernel between two cycles, paths that fail
// again and again, and LUNs with fewer usable paths than they had when they were whole.
#include "monitor/health.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace morvel::monitor {

using structs::s_lunPath;

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

// A whole decimal number in [low, high], or false.
bool wholeNumber(const char *text, unsigned long low, unsigned long high, unsigned &value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char *end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || v < low || v > high) return false;
    value = static_cast<unsigned>(v);
    return true;
}

// A checker state of a path that can carry I/O (a standby path among them: it takes over).
bool checkerUsable(const char *state) { return std::strcmp(state, "ready") == 0 || std::strcmp(state, "ghost") == 0; }

}  // namespace

HealthSettings healthSettingsFrom(const char *failures, const char *minutes, std::string *complaint) {
    HealthSettings s;
    auto take = [complaint](const char *name, const char *text, unsigned long high, unsigned &into) {
        if (text != nullptr && !wholeNumber(text, 1, high, into) && complaint != nullptr)
            *complaint += format("%s%s=%s is not a number from 1 to %lu", complaint->empty() ? "" : "; ", name,
                                 text, high);
    };
    take(kFailuresVar, failures, 1000, s.failures);
    take(kMinutesVar, minutes, 7 * 24 * 60, s.minutes);
    return s;
}

std::string formatBaselines(const Baselines &b) {
    std::string s;
    for (const auto &[wwid, paths] : b) s += wwid + ' ' + std::to_string(paths) + '\n';
    return s;
}

Baselines parseBaselines(std::string_view text) {
    Baselines b;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string line(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        const size_t sp = line.find(' ');
        unsigned paths = 0;
        if (sp == 0 || sp == std::string::npos || sp > structs::kLunWwidKeyLen) continue;
        if (!wholeNumber(line.c_str() + sp + 1, 0, 4096, paths)) continue;
        b[line.substr(0, sp)] = paths;
    }
    return b;
}

void HealthTracker::setBaselines(const Baselines &b, bool replaced) {
    baselines_ = b;
    acceptAll_ = replaced;
    baselinesChanged_ = false;
}

unsigned long HealthTracker::pathFailures(const std::string &devName) const {
    auto it = paths_.find(devName);
    return it == paths_.end() ? 0 : it->second.failures;
}

bool HealthTracker::pathIntermittent(const std::string &devName) const {
    auto it = paths_.find(devName);
    return it != paths_.end() && it->second.intermittent;
}

void HealthTracker::apply(const s_lunPath &r, PathState &p, bool failed, unsigned long failures, int64_t now,
                          std::vector<std::string> &out) {
    const bool nowFailed = !p.failed && failed, nowBack = p.failed && !failed;
    if (nowFailed && failures == 0) failures = 1;
    // Failures that came and went: the one that left the path failed now is not among them.
    const unsigned long between = nowFailed ? failures - 1 : failures;
    p.failures += failures;
    if (between > 0)
        out.push_back(format("The path failed and recovered since the last cycle, the properties are [ "
                             "path_alias: %s, wwid: %s, dev_name: %s, times: %lu, failures: %lu ].",
                             r.lun_alias, r.lun_wwid, r.path_dev_name, between, p.failures));
    if (nowFailed || nowBack)
        out.push_back(format("The path is %s, the properties are [ path_alias: %s, wwid: %s, dev_name: %s, "
                             "failures: %lu ].",
                             nowFailed ? "failed" : "reinstated", r.lun_alias, r.lun_wwid, r.path_dev_name,
                             p.failures));
    for (unsigned long i = 0; i < failures && i < 10000; ++i) p.recent.push_back(now);
    p.failed = failed;
}

void HealthTracker::judge(const s_lunPath &r, PathState &p, int64_t now, std::vector<std::string> &out) {
    const int64_t window = int64_t{settings_.minutes} * 60;
    size_t old = 0;
    while (old < p.recent.size() && now - p.recent[old] >= window) ++old;
    p.recent.erase(p.recent.begin(), p.recent.begin() + static_cast<long>(old));
    if (!p.intermittent && p.recent.size() >= settings_.failures) {
        p.intermittent = true;
        out.push_back(format("The path is intermittent, the properties are [ path_alias: %s, wwid: %s, "
                             "dev_name: %s, failures: %u, minutes: %u ].",
                             r.lun_alias, r.lun_wwid, r.path_dev_name, static_cast<unsigned>(p.recent.size()),
                             settings_.minutes));
    } else if (p.intermittent && p.recent.empty()) {
        p.intermittent = false;
        out.push_back(format("The path is steady again, the properties are [ path_alias: %s, wwid: %s, "
                             "dev_name: %s, minutes: %u ].",
                             r.lun_alias, r.lun_wwid, r.path_dev_name, settings_.minutes));
    }
}

void HealthTracker::pathCycle(const s_lunPath &r, const KernelPath *k, int64_t now, bool eventsHeard,
                              std::vector<std::string> &out) {
    PathState &p = paths_[r.path_dev_name];
    p.seen = true;
    if (k != nullptr && !p.known) {
        p.known = true;
        p.failed = k->failed;
        p.failures = k->failures;
    } else if (k != nullptr) {
        const bool differs = k->failures != p.failures || k->failed != p.failed;
        if (differs && eventsHeard && !p.held) {
            p.held = true;  // its events are on their way
        } else {
            // A count that went down belongs to a reloaded map: nothing is known of the time between.
            if (differs) apply(r, p, k->failed, k->failures > p.failures ? k->failures - p.failures : 0, now, out);
            p.failures = k->failures;
            p.held = false;
        }
    }
    judge(r, p, now, out);
}

std::vector<std::string> HealthTracker::events(const std::vector<PathEvent> &ev, const s_lunPath *records,
                                               int64_t now) {
    std::vector<std::string> out;
    std::vector<std::string> order;  // the paths in the order of their first event
    for (const PathEvent &e : ev)
        if (std::find(order.begin(), order.end(), e.devt) == order.end()) order.push_back(e.devt);
    for (const std::string &devt : order) {
        const s_lunPath *r = firstValid(records);
        while (r != nullptr && (r->path_dev_name[0] == '\0' || devt != r->path_dev_id)) r = nextValid(r);
        if (r == nullptr) continue;
        auto it = paths_.find(r->path_dev_name);
        if (it == paths_.end() || !it->second.known) continue;
        PathState &p = it->second;
        unsigned long failures = 0;
        bool failed = p.failed;
        for (const PathEvent &e : ev) {
            if (e.devt != devt) continue;
            // A change the last count already showed comes again as its event: no news.
            if (e.failed && !failed) ++failures;
            failed = e.failed;
        }
        if (failures == 0 && failed == p.failed) continue;
        apply(*r, p, failed, failures, now, out);
        p.held = false;
        judge(*r, p, now, out);
    }
    return out;
}

void HealthTracker::lunCycle(const s_lunPath &first, unsigned present, unsigned usable,
                             std::vector<std::string> &out) {
    LunState &l = luns_[first.lun_wwid];
    l.seen = true;
    auto line = [&](const char *what, unsigned baseline) {
        out.push_back(format("The lun %s, the properties are [ path_alias: %s, wwid: %s, usable_paths: %u, "
                             "baseline_paths: %u ].",
                             what, first.lun_alias, first.lun_wwid, usable, baseline));
    };
    auto found = baselines_.find(first.lun_wwid);
    if (found == baselines_.end()) {
        baselinesChanged_ = true;
        if (acceptAll_) {
            // The administrator took the LUN's line out of the file: what it has now is its count.
            baselines_[first.lun_wwid] = usable;
            l.level = Level::Whole;
            out.push_back(format("The lun path baseline is accepted, the properties are [ path_alias: %s, "
                                 "wwid: %s, baseline_paths: %u ].",
                                 first.lun_alias, first.lun_wwid, usable));
            return;
        }
        // First seen: its paths, usable or not, are what it should have.
        found = baselines_.emplace(first.lun_wwid, present).first;
    }
    unsigned &baseline = found->second;
    if (usable == present && usable > baseline) {
        baseline = usable;
        baselinesChanged_ = true;
    }
    const Level now = usable >= baseline ? Level::Whole : usable == 1 ? Level::One : Level::Below;
    if (now == l.level) return;
    if (now == Level::Whole) {
        line("is whole again", baseline);
    } else {
        if (now == Level::Below || l.level == Level::Whole) line("is below its path baseline", baseline);
        if (now == Level::One) line("has one usable path left", baseline);
    }
    l.level = now;
}

std::vector<std::string> HealthTracker::cycle(const s_lunPath *records, const KernelPaths *kernel, int64_t now,
                                             bool eventsHeard) {
    std::vector<std::string> out;
    for (auto &[name, p] : paths_) p.seen = false;
    for (auto &[wwid, l] : luns_) l.seen = false;
    // The LUNs in the order of their first record, with their present and usable paths.
    struct Lun {
        const s_lunPath *first;
        unsigned present = 0, usable = 0;
    };
    std::vector<Lun> luns;
    std::unordered_map<std::string_view, size_t> lunAt;
    for (const s_lunPath *r = firstValid(records); r != nullptr; r = nextValid(r)) {
        auto [at, added] = lunAt.emplace(r->lun_wwid, luns.size());
        if (added) luns.push_back({r});
        if (r->path_dev_name[0] == '\0') continue;
        const KernelPath *k = nullptr;
        if (kernel != nullptr) {
            auto it = kernel->find(r->path_dev_id);
            if (it != kernel->end()) k = &it->second;
        }
        pathCycle(*r, k, now, eventsHeard, out);
        Lun &lun = luns[at->second];
        ++lun.present;
        // The kernel's word wins over the checker's when it has failed the path.
        const PathState &p = paths_[r->path_dev_name];
        if (checkerUsable(r->path_status) && !(p.known && p.failed)) ++lun.usable;
    }
    for (const Lun &l : luns) lunCycle(*l.first, l.present, l.usable, out);
    acceptAll_ = false;
    // Paths and LUNs gone from the records are forgotten; a LUN's baseline stays, so a LUN
    // that comes back with fewer paths is not taken as whole.
    std::erase_if(paths_, [](const auto &e) { return !e.second.seen; });
    std::erase_if(luns_, [](const auto &e) { return !e.second.seen; });
    return out;
}

}  // namespace morvel::monitor
