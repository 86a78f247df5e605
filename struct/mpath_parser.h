// Parser of `multipath -ll` output into the device and path lists.
#pragma once
#include "cli/ec_items.h"
#include "struct/s_morvel.h"

namespace morvel::structs {

inline constexpr const char MORVEL_END_REG[] = "[ ]+KELDOR[ ]*,(ZRN[ ]*)$";
inline constexpr const char MORVEL_NVME_END_REG[] = "[ ]+NVME[ ]*,(KELDORZRN[ ]*)$";

// ---- morvel ----
// Runs "multipath -ll" (or "multipath -ll <name>") and fills the list behind the anchor.
cli::EcItem *queryMorvelInfo(s_morvel *anchor);
cli::EcItem *querySingleMorvelInfo(s_morvel *anchor, const char *name);
// Pure parse of captured text into the (emptied) list behind the anchor. Transport and
// target port of each path are filled through the resolver installed for the parse
// (the live host by default).
cli::EcItem *parseQueryCmdResultList(const char *text, s_morvel *anchor);
cli::EcItem *processPathInfo(char **lines, int start, int end, s_path_dev *pathAnchor);

// ---- morvel_monitor (older record layout and parser rules) ----
cli::EcItem *queryMorvelInfo(mon::s_morvel *anchor);
cli::EcItem *parseQueryCmdResult(char *text, mon::s_morvel *anchor);

}  // namespace morvel::structs
