// The `query` command: the report of all devices of the array, or of the one device named
// (checked by the parameter checks before dispatch), as text or as one JSON document.
#include <cstdio>

#include "cli/cli_exe.h"
#include "cli/cli_tags.h"
#include "struct/mpath_parser.h"
#include "struct/query_report.h"

namespace morvel::cli {

namespace {
// The report of all devices, or of the one named.
EcItem *runQuery(const char *name) {
    structs::MorvelList<> list;
    if (!list) return &EC_molloc_failed;
    EcItem *result = name == nullptr ? structs::queryMorvelInfo(list.anchor())
                                     : structs::querySingleMorvelInfo(list.anchor(), name);
    if (result->code != 0) return result;
    if (!gParamJsonOutput)
        structs::printMorvel(structs::firstValid(list.anchor()));
    else if (!structs::printMorvelJson(structs::firstValid(list.anchor())))
        return &EC_molloc_failed;
    std::fflush(stdout);
    return result;
}
}  // namespace

EcItem *query() { return runQuery(nullptr); }

EcItem *querySingleDevice(const char *name) { return runQuery(name); }

}  // namespace morvel::cli
