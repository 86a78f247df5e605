// The query report as one JSON document (`morvel query -json`): the same devices, fields and
// vdisk names as the text report, from the same field table, plus what the text leaves out
// (each path's checker state and host interface, whether the device counts as failed).
#include <cjson/cJSON.h>

#include <cstdio>
#include <memory>
#include <string>

#include "struct/query_columns.h"
#include "struct/query_report.h"

namespace morvel::structs {

namespace {
using Json = std::unique_ptr<cJSON, void (*)(cJSON *)>;

// A text value, or null for an empty or missing one.
void addTextOrNull(cJSON *object, const char *key, const char *value) {
    if (value != nullptr && value[0] != '\0')
        cJSON_AddStringToObject(object, key, value);
    else
        cJSON_AddNullToObject(object, key);
}

cJSON *pathObject(const s_path_dev &path) {
    cJSON *object = cJSON_CreateObject();
    for (const PathColumn &c : kPathColumns) cJSON_AddStringToObject(object, c.key, c.cell(path));
    return object;
}

cJSON *lunObject(const s_morvel &device) {
    cJSON *object = cJSON_CreateObject();
    for (const LunField &f : kLunFields) cJSON_AddStringToObject(object, f.key, f.value(device));
    addTextOrNull(object, "vdisk_name", device.vdisk_name);
    const s_path_dev *first = firstValid(device.pdev);
    addTextOrNull(object, "host_interface", first != nullptr ? transportOf(first->host_interface) : nullptr);
    cJSON_AddBoolToObject(object, "failed", deviceFailed(&device));
    cJSON *paths = cJSON_AddArrayToObject(object, "paths");
    for (const s_path_dev *p = first; p != nullptr; p = nextValid(p)) cJSON_AddItemToArray(paths, pathObject(*p));
    return object;
}
}  // namespace

std::string formatMorvelJson(const s_morvel *first, bool one) {
    Json root(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddNumberToObject(root.get(), "schema_version", kQueryJsonSchemaVersion);
    cJSON *luns = cJSON_AddArrayToObject(root.get(), "luns");
    for (const s_morvel *d = first; d != nullptr; d = one ? nullptr : nextValid(d))
        cJSON_AddItemToArray(luns, lunObject(*d));
    std::unique_ptr<char, void (*)(void *)> text(cJSON_Print(root.get()), cJSON_free);
    if (!text) return {};
    return std::string(text.get()) + '\n';
}

bool printMorvelJson(s_morvel *first) {
    array::StoreCache store;
    resolveVdiskNames(first, store);
    const std::string text = formatMorvelJson(first);
    if (text.empty()) return false;
    std::fwrite(text.data(), 1, text.size(), stdout);
    return true;
}

}  // namespace morvel::structs
