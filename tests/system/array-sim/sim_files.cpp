#include "tests/system/array-sim/sim_files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace keldorsim {

FileBacking::~FileBacking() { close(fd_); }

bool FileBacking::read(uint64_t offset, std::span<uint8_t> out) {
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {  // past the end of a short file: zeros
            std::memset(out.data() + done, 0, out.size() - done);
            break;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool FileBacking::write(uint64_t offset, std::span<const uint8_t> in) {
    size_t done = 0;
    while (done < in.size()) {
        const ssize_t n = pwrite(fd_, in.data() + done, in.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool FileBacking::flush() { return fdatasync(fd_) == 0; }

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep)) out.push_back(cur);
    return out;
}

bool put_file(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!(out << text)) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace keldorsim
