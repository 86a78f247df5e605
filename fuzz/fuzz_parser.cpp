// The multipath -ll parsers, morvel's and the monitor's: each input is parsed into a list
// that is reused from input to input and into a fresh one; both must hold the same records.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "struct/mpath_parser.h"
#include "struct/target_port.h"

using namespace morvel::structs;

namespace {

template <class P>
void dumpPath(std::string &out, const P *p) {
    out += p->dev_node, out += '|', out += p->dev_name, out += '|', out += p->dev_id, out += '|';
    out += p->path_status, out += '|', out += p->morvel_status, out += '|', out += p->path_group_policy;
    out += '|', out += p->path_group_priority, out += '|', out += p->path_group_status, out += '\n';
}

template <class M>
std::string dump(const M *anchor) {
    std::string out;
    if (anchor->is_last == 1) return out;
    for (const M *d = anchor->next; d; d = d->is_last ? nullptr : d->next) {
        out += d->path_alias, out += '|', out += d->wwid, out += '|', out += d->device_number;
        out += '|', out += d->vendor, out += '|', out += d->lun_size, out += '\n';
        if (d->pdev && d->pdev->is_last == 0)
            for (const auto *p = d->pdev->next; p; p = p->is_last ? nullptr : p->next) dumpPath(out, p);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    static MorvelList<s_morvel> reusedCli;
    static MorvelList<mon::s_morvel> reusedMon;
    FixedPortResolver none;

    initMorvel(reusedCli.anchor());
    MorvelList<s_morvel> freshCli;
    auto *r1 = parseQueryCmdResultList(text.c_str(), reusedCli.anchor(), none);
    auto *r2 = parseQueryCmdResultList(text.c_str(), freshCli.anchor(), none);
    if (r1 != r2 || dump(reusedCli.anchor()) != dump(freshCli.anchor())) std::abort();

    initMorvel(reusedMon.anchor());
    MorvelList<mon::s_morvel> freshMon;
    std::string a = text, b = text;
    r1 = parseQueryCmdResult(a.data(), reusedMon.anchor());
    r2 = parseQueryCmdResult(b.data(), freshMon.anchor());
    if (r1 != r2 || dump(reusedMon.anchor()) != dump(freshMon.anchor())) std::abort();
    return 0;
}
