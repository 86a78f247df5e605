// Helpers shared by the monitor's tests: building device and LUN-path lists by hand,
// rendering a LUN-path list as snapshot lines, and reading files.
#pragma once
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/comm_util.h"
#include "common/log.h"
#include "struct/s_lunPath.h"
#include "struct/s_morvel.h"
#include "test_files.h"

namespace morvel::testutil {

using structs::s_lunPath;
namespace mon = structs::mon;

struct PathSpec {
    std::string name, id, checker, group, state;
};
struct DevSpec {
    std::string alias, wwid;
    std::vector<PathSpec> paths;
};

// Refills a device list the way the parser does (nodes reused, path anchors kept).
inline void fillDevices(mon::s_morvel *anchor, const std::vector<DevSpec> &devs) {
    structs::initMorvel(anchor);
    mon::s_morvel *prev = anchor;
    for (const auto &d : devs) {
        mon::s_morvel *dev = structs::getOrMallocNextMorvel(prev);
        common::copyField(dev->path_alias, d.alias.c_str());
        common::copyField(dev->wwid, d.wwid.c_str());
        if (dev->pdev == nullptr) dev->pdev = structs::mallocPathDev<mon::s_path_dev>();
        structs::initPathDev(dev->pdev);
        mon::s_path_dev *pp = dev->pdev;
        for (const auto &p : d.paths) {
            mon::s_path_dev *q = structs::getOrMallocNextPathDev(pp);
            common::copyField(q->dev_name, p.name.c_str());
            common::copyField(q->dev_id, p.id.c_str());
            common::copyField(q->path_status, p.checker.c_str());
            common::copyField(q->path_group_status, p.group.c_str());
            common::copyField(q->morvel_status, p.state.c_str());
            pp->is_last = 0;
            pp = q;
        }
        prev->is_last = 0;
        prev = dev;
    }
}

// A record in snapshot-line form: seven fields, each followed by a comma.
inline std::string recordLine(const s_lunPath *r) {
    std::string s;
    for (const char *f : {r->lun_alias, r->lun_wwid, r->path_dev_id, r->path_dev_name, r->path_status,
                          r->path_group_status, r->morvel_status}) {
        s += f;
        s += ',';
    }
    return s;
}

// The valid records of a list, as snapshot lines (without line feeds).
inline std::vector<std::string> recordLines(const s_lunPath *anchor) {
    std::vector<std::string> out;
    if (anchor == nullptr || anchor->is_last == 1) return out;
    for (const s_lunPath *r = anchor->next; r != nullptr; r = r->is_last ? nullptr : r->next) {
        out.push_back(recordLine(r));
    }
    return out;
}

// The pieces of text that sep ends, and the rest after the last sep when it is not empty.
inline std::vector<std::string> splitOn(const std::string &text, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

// Refills a LUN-path list from snapshot-form lines ("alias,wwid,id,name,st,grp,state,").
inline void fillRecords(s_lunPath *anchor, const std::vector<std::string> &lines) {
    structs::initLunpath(anchor);
    s_lunPath *prev = anchor;
    for (const auto &l : lines) {
        s_lunPath *r = structs::getOrMallocNextLunpath(prev);
        std::vector<std::string> f = splitOn(l, ',');
        f.resize(7);
        common::copyField(r->lun_alias, f[0].c_str());
        common::copyField(r->lun_wwid, f[1].c_str());
        common::copyField(r->path_dev_id, f[2].c_str());
        common::copyField(r->path_dev_name, f[3].c_str());
        common::copyField(r->path_status, f[4].c_str());
        common::copyField(r->path_group_status, f[5].c_str());
        common::copyField(r->morvel_status, f[6].c_str());
        prev->is_last = 0;
        prev = r;
    }
}

// These tests write /dumps and mount file systems: only inside the throw-away sandbox.
using testfiles::inSandbox;
using testfiles::readFile;
using testfiles::writeFile;

// Fixture of the tests that write /dumps and other folders: they run only inside the
// throw-away sandbox, and log as the monitor does.
class MonitorSandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!inSandbox()) GTEST_SKIP() << "run through ctest (sandbox)";
        common::set_log_variant(common::LogVariant::Monitor);
    }
};

inline std::vector<std::string> splitLines(const std::string &text) { return splitOn(text, '\n'); }

}  // namespace morvel::testutil
