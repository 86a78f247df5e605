// Parser of `multipath -ll` output into the device and path lists.
#pragma once
#include <functional>

#include "common/ec_items.h"
#include "struct/s_morvel.h"

namespace morvel::structs {

class PortResolver;

// Whether a WWID is one that has been seen as the array's before (morvel: the vdisk-name
// store; morvel_monitor: its previous records and its snapshot). A map that has lost all its
// paths shows no vendor and product in its header; it is kept as the array's LUN, without
// paths, when this answers true for its WWID. Empty: no such map is kept.
using KnownWwid = std::function<bool(const char *wwid)>;

inline constexpr const char MORVEL_END_REG[] = "[ ]+KELDOR[ ]*,(ZRN[ ]*)$";
inline constexpr const char MORVEL_NVME_END_REG[] = "[ ]+NVME[ ]*,(KELDORZRN[ ]*)$";

// ---- morvel ----
// Runs "multipath -ll" (or "multipath -ll <name>") and fills the list behind the anchor.
common::EcItem *queryMorvelInfo(s_morvel *anchor);
common::EcItem *querySingleMorvelInfo(s_morvel *anchor, const char *name);
// Pure parse of captured text into the (emptied) list behind the anchor. Transport and
// target port of each path are filled through the resolver (the live host when none is
// given; one by-path scan serves the whole parse).
common::EcItem *parseQueryCmdResultList(const char *text, s_morvel *anchor, const KnownWwid &known = {});
common::EcItem *parseQueryCmdResultList(const char *text, s_morvel *anchor, PortResolver &resolver,
                                        const KnownWwid &known = {});
// Parses the path-group block on lines [start, end) into the path list behind pathAnchor.
common::EcItem *processPathInfo(char **lines, int start, int end, s_path_dev *pathAnchor);
common::EcItem *processPathInfo(char **lines, int start, int end, s_path_dev *pathAnchor,
                             PortResolver &resolver);

// ---- morvel_monitor (older record layout and parser rules) ----
// daemonRan, when given, is the caller's memory of whether multipathd ran at the last call
// (-1: not known yet): "not running" is then logged only when that changes.
common::EcItem *queryMorvelInfo(mon::s_morvel *anchor, int *daemonRan = nullptr, const KnownWwid &known = {});
// Splits text in place (empty lines dropped) and fills the list behind the anchor.
common::EcItem *parseQueryCmdResult(char *text, mon::s_morvel *anchor, const KnownWwid &known = {});
common::EcItem *processPathInfo(char **lines, int start, int end, mon::s_path_dev *pathAnchor);

}  // namespace morvel::structs
