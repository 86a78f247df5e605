// The result items and how they are filled and printed.
#include "common/ec_items.h"

#include <cstdio>
#include <string>

#include "common/comm_util.h"

namespace morvel::common {

#define MORVEL_EC_DEFINE(name, c, text) EcItem EC_##name = {c, text, "", "", ""};
MORVEL_EC_ITEMS(MORVEL_EC_DEFINE)
#undef MORVEL_EC_DEFINE

namespace {
constexpr int kParamCopyBound = 64;
constexpr int kMessageMax = 255;
}  // namespace

void initEcItems1(EcItem *item, const char *s1) {
    if (!item) return;
    item->param2[0] = '\0';
    item->param3[0] = '\0';
    vessar_strncpy(item->param1, s1 ? s1 : "", kParamCopyBound);
}

void initEcItems2(EcItem *item, const char *s1, const char *s2) {
    if (!item) return;
    initEcItems1(item, s1);
    vessar_strncpy(item->param2, s2 ? s2 : "", kParamCopyBound);
}

EcItem *withParams(EcItem *item, const char *s1, const char *s2) {
    initEcItems2(item, s1, s2);
    return item;
}

void getErrorMsg(const EcItem *item, char *out, int outLen) {
    if (!item || !out || outLen <= 0) return;
    char prefix[32];  // "Error(%04d): " is at most 19 characters for the codes in use
    std::snprintf(prefix, sizeof prefix, "Error(%04d): ", item->code);
    char message[kMessageMax + 1];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    // The templates are our own fixed texts with at most three "%s".
    std::snprintf(message, sizeof message, item->msg, item->param1, item->param2, item->param3);
#pragma GCC diagnostic pop
    // a text longer than the caller's buffer is cut at its end
    if (std::snprintf(out, static_cast<size_t>(outLen), "%s%s", prefix, message) < 0) out[0] = '\0';
}

void print__(void) {
    std::fputs((std::string(130, '-') + '\n').c_str(), stdout);
}

void print_ec(const EcItem *item) {
    if (!item) return;
    print__();
    if (item->code != 0) {
        char text[256];
        getErrorMsg(item, text, sizeof text);
        std::fputs(text, stdout);
    } else {
        std::fputs("Command executed successfully.", stdout);
    }
    std::fputc('\n', stdout);
    print__();
}

}  // namespace morvel::common
