// What both simulators keep on disk: a LUN's or namespace's data in a file, and the switch and
// counter files of their state folder.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tests/system/array-sim/scsi_lun.h"

namespace keldorsim {

// The data of a LUN or namespace in an open file; past the end of a short file it reads zeros.
class FileBacking : public Backing {
public:
    explicit FileBacking(int fd) : fd_(fd) {}
    ~FileBacking() override;
    FileBacking(const FileBacking&) = delete;
    FileBacking& operator=(const FileBacking&) = delete;
    bool read(uint64_t offset, std::span<uint8_t> out) override;
    bool write(uint64_t offset, std::span<const uint8_t> in) override;
    bool flush() override;

private:
    int fd_;
};

// The fields of a command-line value such as "name,file,wwid".
std::vector<std::string> split(const std::string& s, char sep);

// put_file: writes a whole file through a temporary name, so that a reader never sees half of it.
bool put_file(const std::string& path, const std::string& text);

}  // namespace keldorsim
