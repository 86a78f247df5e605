// One LUN of the kernel's user backstore (LIO TCM-User): the UIO device that carries its SCSI
// commands, mapped into this process, and the command ring in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tests/system/array-sim/scsi_lun.h"

namespace keldorsim {

// read_first_line: the first line of a file (sysfs attributes, the simulator's switches);
// false when the file cannot be read.
bool read_first_line(const std::string& path, std::string& line);

// find_uio: the /dev/uioN of the user backstore device named backstore (its UIO name reads
// "tcm-user/<hba>/<backstore>/<config>"); empty when there is none.
std::string find_uio(const std::string& backstore);

class TcmuRing {
public:
    // handler(cdb, data_out, data_in_limit) answers one command.
    using Handler = std::function<Reply(std::span<const uint8_t>, std::span<const uint8_t>, size_t)>;

    TcmuRing() = default;
    TcmuRing(const TcmuRing&) = delete;
    TcmuRing& operator=(const TcmuRing&) = delete;
    ~TcmuRing();

    // open: maps /dev/uioN; false with a reason in error().
    bool open(const std::string& uio_dev);
    int fd() const { return fd_; }
    const std::string& error() const { return error_; }

    // service: takes the pending interrupt count and answers every command in the ring.
    // Returns the number of commands answered.
    size_t service(const Handler& handler);

private:
    int fd_ = -1;
    uint8_t* map_ = nullptr;
    size_t map_size_ = 0;
    std::string error_;
};

}  // namespace keldorsim
