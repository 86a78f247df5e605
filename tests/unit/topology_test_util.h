// Helpers of the topology tests: fixture files, captured listings turned into resolver data,
// and the guard for tests that lay out fake host trees.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "struct/target_port.h"
#include "test_files.h"

namespace morvel::topotest {

inline std::string fixturePath(const std::string &name) {
    std::string here = __FILE__;  // .../tests/unit/topology_test_util.h
    return here.substr(0, here.rfind("/unit/")) + "/fixtures/mpath/" + name;
}

using testfiles::readFile;
using testfiles::writeFile;

inline std::string fixture(const std::string &name) {
    std::string text = readFile(fixturePath(name));
    EXPECT_FALSE(text.empty()) << "missing fixture " << name;
    return text;
}

// An `ls -l /dev/disk/by-path/` capture as links: the 9th field is the name, the last the
// target.
inline std::vector<structs::ByPathLink> linksFromLsListing(const std::string &listing) {
    std::vector<structs::ByPathLink> links;
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::vector<std::string> words;
        for (std::string w; f >> w;) words.push_back(w);
        if (words.size() < 11 || words[9] != "->") continue;
        std::string target = words[10].substr(words[10].rfind('/') + 1);
        links.push_back({words[8], target});
    }
    return links;
}

// "/sys/block/<dev>/device/address: <text>" lines (grep's output) as per-device file texts.
inline std::unordered_map<std::string, std::string> addressesFromGrep(const std::string &grep) {
    std::unordered_map<std::string, std::string> out;
    std::istringstream in(grep);
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(": ");
        if (line.rfind("/sys/block/", 0) != 0 || colon == std::string::npos) continue;
        std::string dev = line.substr(11, line.find('/', 11) - 11);
        out[dev] = line.substr(colon + 2) + "\n";
    }
    return out;
}

// Tests that write fake /dev, /sys or /usr/bin trees run only inside the test sandbox.
using testfiles::inSandbox;
#define TOPO_REQUIRE_SANDBOX() \
    if (!::morvel::topotest::inSandbox()) GTEST_SKIP() << "runs only inside the test sandbox"

}  // namespace morvel::topotest
