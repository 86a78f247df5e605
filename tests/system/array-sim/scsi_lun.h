// The SCSI side of the simulated Keldor array: one LUN's identity and the answers to the
// commands that the Linux disk driver, udev, multipath and morvel send to it. Everything here
// works on bytes only; the ring of the kernel's user backstore is in tcmu_ring.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace keldorsim {

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint32_t kBlockSize = 512;

// How the array treats its vendor page 0xD0.
enum class PageD0 {
    answered,  // listed in page 0x00 and answered
    unlisted,  // left out of page 0x00 and refused
    refused,   // listed in page 0x00, but the request ends in CHECK CONDITION
};

// Switches that can change while the array runs.
struct LunSwitches {
    std::string vdisk_name;  // answered in vendor page 0xD0
    PageD0 page_d0 = PageD0::answered;
    unsigned d0_delay_ms = 0;  // page 0xD0 is answered this long after it was asked
    bool d0_hang = false;      // page 0xD0 is not answered while this is set
};

// held_back: whether the command is a request for page 0xD0 that the switches keep waiting
// (delayed or hung); every other command is answered at once.
bool held_back(const LunSwitches& sw, std::span<const uint8_t> cdb);

struct LunIdentity {
    std::string vendor = "KELDOR";
    std::string product = "ZRN";
    std::string revision = "0001";
    std::string wwid;    // "3" + 32 hex digits, the first of them 6 (NAA-6 registered extended)
    std::string serial;  // unit serial number, page 0x80
    uint64_t size_bytes = 0;
};

// Requests seen, by kind. Written out by the server so that tests can see what was asked.
struct LunCounters {
    uint64_t commands = 0;
    uint64_t inquiry_std = 0;
    uint64_t inquiry_vpd_00 = 0;
    uint64_t inquiry_vpd_d0 = 0;
    uint64_t inquiry_vpd_other = 0;
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t check_conditions = 0;
};

// The LUN's data, so that the command logic can be tested without a file.
class Backing {
public:
    virtual ~Backing() = default;
    virtual bool read(uint64_t offset, std::span<uint8_t> out) = 0;
    virtual bool write(uint64_t offset, std::span<const uint8_t> in) = 0;
    virtual bool flush() = 0;
};

struct Reply {
    uint8_t status = kStatusGood;
    std::vector<uint8_t> sense;    // fixed-format sense data when status is CHECK CONDITION
    std::vector<uint8_t> data_in;  // what goes back to the initiator (cut to the transfer length)
};

// wwid_to_naa: the 16 bytes of the NAA-6 designator behind a 33-character WWID; empty when the
// text is not of that form.
std::vector<uint8_t> wwid_to_naa(const std::string& wwid);

// is_data_out: whether the command carries data to the LUN (WRITE, MODE SELECT); every other
// command may return data.
bool is_data_out(uint8_t opcode);

// cdb_length: the length of a command descriptor block by its operation code's group.
size_t cdb_length(uint8_t opcode);

// execute: runs one command. data_out holds what the initiator sent (WRITE); data_in_limit is
// the room the initiator gave for data coming back.
Reply execute(const LunIdentity& id, const LunSwitches& sw, LunCounters& counters, Backing& backing,
              std::span<const uint8_t> cdb, std::span<const uint8_t> data_out, size_t data_in_limit);

}  // namespace keldorsim
