// The fields of the query report, one table for the text report and the JSON document: the
// device lines ("<key>: <value>") and the path table's columns (the header is the key). A
// field shown in one form and not the other says so in its row; a new column is one row.
#pragma once
#include "struct/s_morvel.h"

namespace morvel::structs {

struct LunField {
    const char *key;
    const char *(*value)(const s_morvel &);
};
// The device's lines, in the report's order; the vdisk name and the transport follow them.
inline constexpr LunField kLunFields[] = {
    {"path_alias", [](const s_morvel &d) -> const char * { return d.path_alias; }},
    {"wwid", [](const s_morvel &d) -> const char * { return d.wwid; }},
    {"device_number", [](const s_morvel &d) -> const char * { return d.device_number; }},
    {"vendor", [](const s_morvel &d) -> const char * { return d.vendor; }},
    {"product_type", [](const s_morvel &d) -> const char * { return d.product_type; }},
    {"lun_size", [](const s_morvel &d) -> const char * { return d.lun_size; }},
};

struct PathColumn {
    const char *key;  // the text table's header and the JSON key
    const char *(*cell)(const s_path_dev &);
    bool inTextTable;  // false: in the JSON document only
};
inline constexpr PathColumn kPathColumns[] = {
    {"dev_id", [](const s_path_dev &p) -> const char * { return p.dev_id; }, true},
    {"dev_name", [](const s_path_dev &p) -> const char * { return p.dev_name; }, true},
    {"dev_node", [](const s_path_dev &p) -> const char * { return p.dev_node; }, true},
    {"path_group_policy", [](const s_path_dev &p) -> const char * { return p.path_group_policy; }, true},
    {"path_group_priority", [](const s_path_dev &p) -> const char * { return p.path_group_priority; }, true},
    {"path_group_status", [](const s_path_dev &p) -> const char * { return p.path_group_status; }, true},
    {"path_status", [](const s_path_dev &p) -> const char * { return p.path_status; }, true},
    {"morvel_status", [](const s_path_dev &p) -> const char * { return p.morvel_status; }, true},
    {"target_port", [](const s_path_dev &p) -> const char * { return p.target_port; }, true},
    {"checker_status", [](const s_path_dev &p) -> const char * { return p.checker_status; }, false},
    {"host_interface", [](const s_path_dev &p) -> const char * { return p.host_interface; }, false},
};

// The device's transport as the report names it, from its first path's host_interface
// ("iscsi", "fc-nvme", "fc" or "sas"), or none.
const char *transportOf(const char *hostInterface);

}  // namespace morvel::structs
