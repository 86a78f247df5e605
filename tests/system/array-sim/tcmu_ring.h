// One LUN of the kernel's user backstore (LIO TCM-User): the UIO device that carries its SCSI
// commands, mapped into this process, and the command ring in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tests/system/array-sim/scsi_lun.h"

namespace keldorsim {

// read_first_line: the first line of a file (sysfs attributes, the simulator's switches);
// false when the file cannot be read.
bool read_first_line(const std::string& path, std::string& line);

// find_uio: the /dev/uioN of the user backstore device named backstore (its UIO name reads
// "tcm-user/<hba>/<backstore>/<config>"); empty when there is none.
std::string find_uio(const std::string& backstore);

// One command taken off the ring, to be answered now or later (with TcmuRing::complete).
struct RingCommand {
    uint16_t id = 0;
    std::vector<uint8_t> cdb;
    bool data_out = false;
    std::vector<uint8_t> out;  // the data the initiator sent (data_out)
    size_t room = 0;           // for the data that goes back
    std::vector<std::pair<uint64_t, uint64_t>> iov;  // offset and length in the mapping
};

class TcmuRing {
public:

    TcmuRing() = default;
    TcmuRing(const TcmuRing&) = delete;
    TcmuRing& operator=(const TcmuRing&) = delete;
    ~TcmuRing();

    // open: maps /dev/uioN; false with a reason in error().
    bool open(const std::string& uio_dev);
    int fd() const { return fd_; }
    const std::string& error() const { return error_; }

    // fetch: takes the pending interrupt count and every command that came since the last
    // call, in their order.
    std::vector<RingCommand> fetch();
    // complete: answers one fetched command (commands may be answered in any order) and tells
    // the kernel.
    void complete(const RingCommand& cmd, const Reply& reply);

private:
    int fd_ = -1;
    uint32_t cursor_ = 0;  // where the next command is taken from
    uint8_t* map_ = nullptr;
    size_t map_size_ = 0;
    std::string error_;
};

}  // namespace keldorsim
