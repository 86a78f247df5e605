#include "tests/system/array-sim/tcmu_ring.h"

#include "tests/system/array-sim/tcmu_abi.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace keldorsim {
bool read_first_line(const std::string& path, std::string& line) {
    std::ifstream in(path);
    line.clear();
    if (!in) return false;
    std::getline(in, line);
    return true;
}

std::string find_uio(const std::string& backstore) {
    DIR* d = opendir("/sys/class/uio");
    if (!d) return {};
    std::string found;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.rfind("uio", 0) != 0) continue;
        std::string name;
        read_first_line("/sys/class/uio/" + n + "/name", name);
        // tcm-user/<hba>/<device>/<config>
        if (name.rfind("tcm-user/", 0) != 0) continue;
        const size_t a = name.find('/', 9);
        if (a == std::string::npos) continue;
        const size_t b = name.find('/', a + 1);
        if (name.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1) == backstore) {
            found = "/dev/" + n;
            break;
        }
    }
    closedir(d);
    return found;
}

TcmuRing::~TcmuRing() {
    if (map_) munmap(map_, map_size_);
    if (fd_ >= 0) close(fd_);
}

bool TcmuRing::open(const std::string& uio_dev) {
    const std::string base = uio_dev.substr(uio_dev.rfind('/') + 1);
    std::string size_text;
    read_first_line("/sys/class/uio/" + base + "/maps/map0/size", size_text);
    map_size_ = static_cast<size_t>(std::strtoull(size_text.c_str(), nullptr, 0));
    if (map_size_ == 0) {
        error_ = "no map size for " + base;
        return false;
    }
    fd_ = ::open(uio_dev.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        error_ = "open " + uio_dev + ": " + std::strerror(errno);
        return false;
    }
    void* m = mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (m == MAP_FAILED) {
        error_ = "mmap " + uio_dev + ": " + std::strerror(errno);
        return false;
    }
    map_ = static_cast<uint8_t*>(m);
    if (ktcmu_check(map_, map_size_) != 0) {
        error_ = "not a user backstore ring of mailbox version 2";
        return false;
    }
    cursor_ = ktcmu_start(map_);
    return true;
}

std::vector<RingCommand> TcmuRing::fetch() {
    uint32_t events = 0;
    std::vector<RingCommand> cmds;
    if (read(fd_, &events, sizeof events) < 0 && errno != EAGAIN && errno != EINTR) return cmds;
    ktcmu_cmd cmd{};
    while (ktcmu_next(map_, &cursor_, &cmd)) {
        RingCommand c;
        const uint8_t* cdb = map_ + cmd.cdb_off;
        c.id = cmd.cmd_id;
        c.cdb.assign(cdb, cdb + cdb_length(cdb[0]));
        c.data_out = is_data_out(c.cdb[0]);
        for (uint32_t i = 0; i < cmd.iov_cnt; ++i) {
            c.iov.emplace_back(cmd.iov[i].offset, cmd.iov[i].length);
            c.room += cmd.iov[i].length;
            if (c.data_out) {
                const uint8_t* p = map_ + cmd.iov[i].offset;
                c.out.insert(c.out.end(), p, p + cmd.iov[i].length);
            }
        }
        if (c.data_out) c.room = 0;
        cmds.push_back(std::move(c));
    }
    return cmds;
}

void TcmuRing::complete(const RingCommand& c, const Reply& r) {
    if (!c.data_out) {
        // the answer, then zeros: the data area still holds what an earlier command left
        size_t done = 0;
        for (const auto& [offset, len] : c.iov) {
            uint8_t* p = map_ + offset;
            const size_t n = done < r.data_in.size() ? std::min<size_t>(len, r.data_in.size() - done) : 0;
            if (n) std::memcpy(p, r.data_in.data() + done, n);
            std::memset(p + n, 0, len - n);
            done += len;
        }
    }
    ktcmu_cmd cmd{};
    cmd.cmd_id = c.id;
    ktcmu_complete(map_, &cmd, r.status, r.sense.data(), r.sense.size(), !c.data_out && c.room > 0,
                   static_cast<uint32_t>(r.data_in.size()));
    // tell the kernel the ring moved (a failed write only delays that to the next command)
    uint32_t kick = 0;
    [[maybe_unused]] const ssize_t n = write(fd_, &kick, sizeof kick);
}

}  // namespace keldorsim
