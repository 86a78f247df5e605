// The snapshot file: the input is read as a snapshot, and also cut into the seven fields of
// one record (at '\t'); whatever was read or built is written and must read back the same.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "monitor/monitor.h"

using namespace morvel;
using structs::s_lunPath;

namespace {

const std::string &scratch() {
    static const std::string dir = [] {
        std::string d = "/tmp/morvel-fuzz-snapshot-" + std::to_string(getpid());
        mkdir(d.c_str(), 0700);
        return d;
    }();
    return dir;
}

std::string dump(const s_lunPath *anchor) {
    std::string out;
    for (const s_lunPath *r = structs::firstValid(anchor); r; r = structs::nextValid(r)) {
        for (const char *f : {r->lun_alias, r->lun_wwid, r->path_dev_id, r->path_dev_name, r->path_status,
                              r->path_group_status, r->morvel_status})
            out += f, out += '\x1f';
        out += '\n';
    }
    return out;
}

void roundTrip(const s_lunPath *anchor, const std::string &path) {
    if (!monitor::writeLunPathToFile(const_cast<s_lunPath *>(anchor), path.c_str())) std::abort();
    structs::LunPathList back;
    if (!monitor::readLunPathToFile(back.anchor(), path.c_str())) std::abort();
    if (dump(back.anchor()) != dump(anchor)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string in(reinterpret_cast<const char *>(data), size);
    const std::string file = scratch() + "/input", snap = scratch() + "/data.morvel";
    std::ofstream(file, std::ios::trunc | std::ios::binary) << in;

    structs::LunPathList read;
    monitor::readLunPathToFile(read.anchor(), file.c_str());
    if (read.anchor()->is_last == 0) roundTrip(read.anchor(), snap);

    // One record from the input's bytes; a record never holds a line feed or a NUL.
    structs::LunPathList one;
    s_lunPath *r = structs::getOrMallocNextLunpath(one.anchor());
    char *fields[] = {r->lun_alias, r->lun_wwid, r->path_dev_id, r->path_dev_name, r->path_status,
                      r->path_group_status, r->morvel_status};
    const size_t widths[] = {sizeof r->lun_alias, sizeof r->lun_wwid, 31, 31, 31, 31, 31};
    size_t f = 0, n = 0;
    for (char c : in) {
        if (c == '\t') {
            if (++f == 7) break;
            n = 0;
        } else if (c != '\n' && c != '\0' && n + 1 < widths[f]) {
            fields[f][n++] = c;
        }
    }
    one.anchor()->is_last = 0;
    roundTrip(one.anchor(), snap);
    return 0;
}
