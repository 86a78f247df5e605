// Runs a fuzz target without libFuzzer: every file named on the command line, and every
// file in every folder named, is fed to LLVMFuzzerTestOneInput once. Options (words that
// begin with '-', as libFuzzer takes them) are ignored. Exit status 0 when all ran.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {
void runFile(const std::filesystem::path &p, int &count) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    ++count;
}
}  // namespace

int main(int argc, char **argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.empty() || arg[0] == '-') continue;
        std::filesystem::path p(arg);
        if (std::filesystem::is_directory(p)) {
            for (const auto &e : std::filesystem::recursive_directory_iterator(p))
                if (e.is_regular_file()) runFile(e.path(), count);
        } else if (std::filesystem::is_regular_file(p)) {
            runFile(p, count);
        } else {
            std::fprintf(stderr, "%s: no such file or folder\n", arg.c_str());
            return 2;
        }
    }
    std::printf("%d inputs ran\n", count);
    return count > 0 ? 0 : 1;
}
