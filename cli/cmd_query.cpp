// The `query` command: the report of all devices of the array, or of the one device named
// (checked by the parameter checks before dispatch).
#include <cstdio>

#include "cli/cli_exe.h"
#include "struct/mpath_parser.h"
#include "struct/query_report.h"

namespace morvel::cli {

namespace {
template <class Fill>
EcItem *runQuery(Fill fill) {
    structs::MorvelList<> list;
    if (!list) return &EC_molloc_failed;
    EcItem *result = fill(list.anchor());
    if (result->code != 0) return result;
    structs::printMorvel(structs::firstValid(list.anchor()));
    std::fflush(stdout);
    return result;
}
}  // namespace

EcItem *query() {
    return runQuery([](structs::s_morvel *anchor) { return structs::queryMorvelInfo(anchor); });
}

EcItem *querySingleDevice(const char *name) {
    return runQuery([name](structs::s_morvel *anchor) { return structs::querySingleMorvelInfo(anchor, name); });
}

}  // namespace morvel::cli
