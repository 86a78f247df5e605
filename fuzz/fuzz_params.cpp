// The parameter checks over an argument vector split from the input at line feeds (the
// first word is the command). A check that passes leaves only plain text in the slots
// whose values reach command lines.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli_tags.h"

using namespace morvel::cli;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words{"morvel"};
    std::string cur;
    for (size_t i = 0; i < size && words.size() < 12; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == '\n') {
            words.push_back(cur);
            cur.clear();
        } else if (c != '\0') {
            cur += c;
        }
    }
    words.push_back(cur);
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    // Each run starts from empty slots, as a morvel process does.
    for (char *slot : {gParamMpathxVal, gParamPathVal, gParamStateVal, gParamGroupVal, gParamChooserVal,
                       gParamWwidVal, gParamAliasVal})
        std::memset(slot, 0, 257);
    EcItem *item = checkCliParams(static_cast<int>(words.size()), argv.data());
    if (item == nullptr) std::abort();
    if (item->code != 0) return 0;
    // setstate's path alias is only compared with the topology's names, never put into a
    // command line: it is the one slot left unchecked.
    if (words[1] != "setstate") {
        for (const char *p = gParamMpathxVal; *p; ++p)
            if (!std::isalnum(static_cast<unsigned char>(*p)) && !std::strchr("_.-:", *p)) std::abort();
    }
    for (const char *slot : { gParamPathVal, gParamStateVal, gParamGroupVal, gParamChooserVal,
                             gParamWwidVal, gParamAliasVal}) {
        if (strnlen(slot, 257) > 256) std::abort();
        for (const char *p = slot; *p; ++p)
            if (!std::isalnum(static_cast<unsigned char>(*p)) && !std::strchr("_.-:", *p)) std::abort();
    }
    return 0;
}
