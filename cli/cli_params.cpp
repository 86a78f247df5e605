// Parameter checks of morvel: every command's words are checked here and their values
// stored in the parameter slots before the command is dispatched.
#include <cctype>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "cli/cli_tags.h"
#include "common/comm_util.h"

namespace morvel::cli {

char gParamMpathxVal[257];
char gParamPathVal[257];
char gParamStateVal[257];
char gParamGroupVal[257];
char gParamChooserVal[257];
char gParamWwidVal[257];
char gParamAliasVal[257];
int32_t gParamHostInterfaceType;
bool gParamJsonOutput;

namespace {

constexpr size_t kValueLen = 256;  // slots are 257 bytes: at most 256 characters kept
constexpr int kMaxNameLen = 60;
constexpr const char kNameRegex[] = "^[A-Za-z][A-Za-z0-9_.-]*$";
// multipath keeps at most 127 characters of a WWID.
constexpr size_t kMaxWwidLen = 127;
// The topology records hold at most 65 characters of a WWID: a longer one given as a device
// name could be neither matched nor shown whole.
constexpr size_t kMaxRecordWwidLen = 65;
// "nvme." with vendor id, empty serial and model, namespace id: 5 + 4 + 1 + 1 + 1 + 8
constexpr size_t kNvmeWwidMin = 20;


bool same(const char *a, const char *b) { return common::vessar_strncmp(a, b, kValueLen) == 0; }

template <size_t N>
bool inList(const char *value, const char *const (&list)[N]) {
    for (const char *v : list) {
        if (same(value, v)) return true;
    }
    return false;
}

void setSlot(char *slot, const char *value) { common::vessar_strncpy(slot, value, kValueLen); }
void clearSlot(char *slot) { std::memset(slot, 0, kValueLen); }

// The slot that a parameter name fills, among the given names, or null.
char *slotOf(const char *name, std::initializer_list<std::pair<const char *, char *>> slots) {
    for (const auto &[word, slot] : slots) {
        if (same(name, word)) return slot;
    }
    return nullptr;
}

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// n hex digits at s; s is advanced past them.
bool hexRun(const char *&s, size_t n) {
    for (size_t i = 0; i < n; ++i, ++s) {
        if (!isHex(*s)) return false;
    }
    return true;
}

// A UUID in its 8-4-4-4-12 form and nothing after it.
bool isUuid(const char *s) {
    for (size_t n : {8, 4, 4, 4}) {
        if (!hexRun(s, n) || *s++ != '-') return false;
    }
    return hexRun(s, 12) && *s == '\0';
}

// What the kernel builds behind "nvme." when a namespace reports no UUID, NGUID or EUI-64:
// the vendor id (4 hex digits), the serial number and the model (each its bytes in hex,
// trailing blanks dropped), the namespace id (8 hex digits), joined by dashes.
bool isNvmeFallback(const char *s) {
    if (!hexRun(s, 4) || *s++ != '-') return false;
    for (int part = 0; part < 2; ++part) {
        size_t n = 0;
        while (isHex(s[n])) ++n;
        if (n % 2 != 0) return false;
        s += n;
        if (*s++ != '-') return false;
    }
    return hexRun(s, 8) && *s == '\0';
}

bool isNameOrWwid(const char *s) { return common::regMatch(kNameRegex, s) == 1 || checkWwid(s) == &EC_ok; }

}  // namespace

EcItem *checkDeleteParams(int argc, char **argv) {
    if (argc < 3) return &EC_miss_mpathx;
    if (argc > 3) return withParams(&EC_invalid_param, argv[3]);
    setSlot(gParamMpathxVal, argv[2]);
    return checkDeviceName(gParamMpathxVal);
}

// Without a device name the whole report; a name is taken as delete takes it. "-json" in
// the first place asks for the JSON document instead of the text.
EcItem *checkQueryParams(int argc, char **argv) {
    gParamJsonOutput = argc > 2 && std::strcmp(argv[2], kJsonOption) == 0;
    if (gParamJsonOutput) {
        --argc;
        ++argv;
    }
    return argc < 3 ? &EC_ok : checkDeleteParams(argc, argv);
}

EcItem *checkSetStateParams(int argc, char **argv) {
    if (argc < 3) return &EC_miss_device_path_state;
    clearSlot(gParamMpathxVal);
    clearSlot(gParamPathVal);
    clearSlot(gParamStateVal);
    for (int i = 2; i < argc; i += 2) {
        const char *name = argv[i];
        char *slot = slotOf(name, {{"-path_alias", gParamMpathxVal}, {"-device_name", gParamPathVal},
                                   {"-state", gParamStateVal}});
        if (slot == nullptr) return withParams(&EC_invalid_param_name, name);
        if (i + 1 >= argc) return withParams(&EC_miss_param_val, name);
        const char *value = argv[i + 1];
        if (slot == gParamStateVal && !inList(value, kPathStates)) return withParams(&EC_invalid_param_value, value);
        setSlot(slot, value);
    }
    if (argc > 8) return withParams(&EC_invalid_param, argv[8]);
    if (argc < 8) return &EC_miss_device_path_state;
    // The path's device name goes into sysfs paths and multipathd command lines. A name
    // that was not given is left to the command, which reports the missing path.
    if (gParamPathVal[0] != '\0') return checkDeviceName(gParamPathVal);
    return &EC_ok;
}

EcItem *checkSetPathPolicyParams(int argc, char **argv) {
    if (argc < 3) return &EC_miss_group_chooser;
    clearSlot(gParamGroupVal);
    clearSlot(gParamChooserVal);
    gParamHostInterfaceType = 0;
    for (int i = 2; i < argc; ++i) {
        const char *word = argv[i];
        if (same(word, "-scsi") || same(word, "-nvme")) {
            gParamHostInterfaceType = same(word, "-nvme") ? 1 : 0;
            if (++i >= argc) return &EC_miss_group_chooser;
            word = argv[i];
        }
        char *slot = slotOf(word, {{"-group", gParamGroupVal}, {"-chooser", gParamChooserVal}});
        if (slot == nullptr) return withParams(&EC_invalid_param_name, word);
        if (i + 1 >= argc) return withParams(&EC_miss_param_val, word);
        const char *value = argv[++i];
        if (slot[0] != '\0') return withParams(&EC_param_duped, value);
        bool allowed = slot == gParamChooserVal       ? inList(value, kChoosers)
                       : gParamHostInterfaceType == 1 ? inList(value, kNvmeGroups)
                                                      : inList(value, kScsiGroups);
        if (!allowed) return withParams(&EC_invalid_param_value, value);
        setSlot(slot, value);
    }
    if (argc > 7) return withParams(&EC_invalid_param, argv[7]);
    return &EC_ok;
}

int isDigitorOrLetter(const char *s) {
    for (; *s != '\0'; ++s) {
        if (!std::isalnum(static_cast<unsigned char>(*s))) return 0;
    }
    return 1;
}

EcItem *checkDeviceName(const char *name) {
    // An NVMe WWID in the kernel's fallback form may be longer than a map name can be.
    if (std::strlen(name) <= kMaxRecordWwidLen && checkWwid(name) == &EC_ok) return &EC_ok;
    if (std::strlen(name) > kMaxNameLen) return &EC_devicename_length_error;
    if (!isNameOrWwid(name)) return &EC_devicename_format_error;
    return &EC_ok;
}

EcItem *checkWwid(const char *wwid) {
    size_t len = std::strlen(wwid);
    if (wwid[0] == '3') {
        if (len != 33) return &EC_wwid_length_error;
        return isDigitorOrLetter(wwid + 1) == 1 ? &EC_ok : &EC_wwid_format_error;
    }
    if (common::isBeginwith(wwid, "uuid.") == 1) {
        if (len != 41) return &EC_wwid_length_error;
        return isUuid(wwid + 5) ? &EC_ok : &EC_wwid_format_error;
    }
    if (common::isBeginwith(wwid, "nvme.") == 1) {
        if (len < kNvmeWwidMin || len > kMaxWwidLen) return &EC_wwid_length_error;
        return isNvmeFallback(wwid + 5) ? &EC_ok : &EC_wwid_format_error;
    }
    if (common::isBeginwith(wwid, "eui.") != 1) return &EC_wwid_format_error;
    // EUI-64 (16 digits) or NGUID (32 digits)
    if (len != 20 && len != 36) return &EC_wwid_length_error;
    return isDigitorOrLetter(wwid + 4) == 1 ? &EC_ok : &EC_wwid_format_error;
}

EcItem *checkAlias(const char *alias) {
    if (std::strlen(alias) > kMaxNameLen) return &EC_alias_length_error;
    if (!isNameOrWwid(alias)) return &EC_alias_format_error;
    return &EC_ok;
}

EcItem *checkDelAliasParams(int argc, char **argv) {
    if (argc < 3) return &EC_miss_wwid;
    clearSlot(gParamWwidVal);
    if (!same(argv[2], "-wwid")) return withParams(&EC_invalid_param_name, argv[2]);
    if (argc == 3) return withParams(&EC_miss_param_val, "-wwid");
    setSlot(gParamWwidVal, argv[3]);
    if (argc > 4) return withParams(&EC_invalid_param, argv[4]);
    // The WWID goes into the alias script's command line: same rule as for setalias.
    return checkWwid(gParamWwidVal);
}

EcItem *checkSetAliasParams(int argc, char **argv) {
    if (argc < 3) return &EC_miss_alias_wwid;
    clearSlot(gParamAliasVal);
    clearSlot(gParamWwidVal);
    for (int i = 2; i < argc; i += 2) {
        const char *name = argv[i];
        char *slot = slotOf(name, {{"-wwid", gParamWwidVal}, {"-alias", gParamAliasVal}});
        if (slot == nullptr) return withParams(&EC_invalid_param_name, name);
        if (i + 1 >= argc) return withParams(&EC_miss_param_val, name);
        if (slot[0] != '\0') return withParams(&EC_param_duped, name);
        setSlot(slot, argv[i + 1]);
    }
    if (gParamWwidVal[0] == '\0') return &EC_miss_wwid;
    if (gParamAliasVal[0] == '\0') return &EC_miss_alias;
    if (argc > 6) return withParams(&EC_invalid_param, argv[6]);
    EcItem *item = checkWwid(gParamWwidVal);
    if (item->code != 0) return item;
    return checkAlias(gParamAliasVal);
}

EcItem *checkNoParams(int argc, char **argv) {
    if (argc > 2) return withParams(&EC_invalid_param, argv[2]);
    return &EC_ok;
}

EcItem *checkCliParams(int argc, char **argv) {
    const CommandRow *row = findCommand(argv[1]);
    return row != nullptr ? row->check(argc, argv) : checkNoParams(argc, argv);
}

}  // namespace morvel::cli
