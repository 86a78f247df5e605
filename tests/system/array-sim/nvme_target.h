// The NVMe side of the simulated Keldor array: the PDUs of the NVMe/TCP transport and the
// answers of one NVM subsystem's controllers to the Fabrics, admin and I/O commands that the
// Linux host (nvme_tcp, nvme_fabrics, nvme_core), nvme-cli, multipath's ANA prioritizer and
// morvel send. Everything here works on bytes; the sockets are in nvme_sim_main.cpp.
//
// Layouts are those of the Linux headers (include/linux/nvme-tcp.h, include/linux/nvme.h), all
// fields little-endian. Header and data digests are never offered.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tests/system/array-sim/scsi_lun.h"

namespace keldorsim::nvme {

// ---- the TCP transport's PDUs
enum PduType : uint8_t {
    kIcReq = 0x0,
    kIcResp = 0x1,
    kH2CTermReq = 0x2,
    kC2HTermReq = 0x3,
    kCapsuleCmd = 0x4,
    kCapsuleResp = 0x5,
    kH2CData = 0x6,
    kC2HData = 0x7,
    kR2T = 0x9,
};
constexpr uint8_t kFlagDataLast = 0x04;
constexpr size_t kHdrLen = 8;         // common header: type, flags, hlen, pdo, plen
constexpr size_t kIcLen = 128;        // ICReq and ICResp
constexpr size_t kCmdPduLen = 72;     // header and the 64-byte command
constexpr size_t kRespPduLen = 24;    // header and the 16-byte completion
constexpr size_t kDataHdrLen = 24;    // H2CData, C2HData and R2T
constexpr uint32_t kMaxH2CData = 128 * 1024;  // the most data one H2CData PDU may carry
constexpr uint32_t kInlineData = 8192;        // the most data an I/O command capsule may carry
constexpr size_t kMaxPdu = 1024 * 1024;       // longer PDUs end the connection

uint16_t le16(std::span<const uint8_t> b, size_t at);
uint32_t le32(std::span<const uint8_t> b, size_t at);
uint64_t le64(std::span<const uint8_t> b, size_t at);
void put_le16(std::vector<uint8_t>& v, size_t at, uint64_t x);
void put_le32(std::vector<uint8_t>& v, size_t at, uint64_t x);
void put_le64(std::vector<uint8_t>& v, size_t at, uint64_t x);

struct PduHeader {
    uint8_t type = 0, flags = 0, hlen = 0, pdo = 0;
    uint32_t plen = 0;
};
// parse_header: the common header of the PDU that starts b (at least kHdrLen bytes); false when
// its lengths cannot be those of a PDU (hlen below 8, plen below hlen or above kMaxPdu, pdo
// inside the header or past the end).
bool parse_header(std::span<const uint8_t> b, PduHeader& h);

// H2CData or C2HData as received; data points into the PDU.
struct DataPdu {
    uint16_t cid = 0, ttag = 0;
    uint32_t offset = 0, length = 0;
    bool last = false;
    std::span<const uint8_t> data;
};
// parse_data_pdu: a whole data PDU (plen bytes); false when its data does not fit in it.
bool parse_data_pdu(std::span<const uint8_t> pdu, DataPdu& d);

// A command capsule's 64-byte submission entry.
struct Command {
    std::array<uint8_t, 64> b{};
    uint8_t opcode() const { return b[0]; }
    uint16_t cid() const { return le16(b, 2); }
    uint32_t nsid() const { return le32(b, 4); }
    uint32_t cdw(int n) const { return le32(b, static_cast<size_t>(4 * n)); }  // n 10 to 15
    uint32_t data_length() const { return le32(b, 32); }  // of the SGL descriptor in DPTR
    uint8_t fctype() const { return b[4]; }               // of a Fabrics command (opcode 0x7F)
    bool writes() const { return (b[0] & 1) != 0; }       // data goes from host to controller
};

// Status: status code type << 8 | status code, with kDnr for "do not retry".
constexpr uint16_t kDnr = 0x4000;
namespace sc {
constexpr uint16_t kSuccess = 0x000, kInvalidOpcode = 0x001, kInvalidField = 0x002, kInternal = 0x006,
                   kInvalidNs = 0x00B, kLbaRange = 0x080, kInvalidLogPage = 0x109,
                   kConnectInvalidParam = 0x182, kAnaPersistentLoss = 0x301, kAnaInaccessible = 0x302,
                   kAnaTransition = 0x303;
}  // namespace sc

struct Completion {
    uint64_t result = 0;
    uint16_t sq_head = 0, sq_id = 0, cid = 0, status = 0;
};

std::vector<uint8_t> ic_resp_pdu();
std::vector<uint8_t> resp_pdu(const Completion& c);
std::vector<uint8_t> c2h_data_pdu(uint16_t cid, uint32_t offset, std::span<const uint8_t> data, bool last);
std::vector<uint8_t> r2t_pdu(uint16_t cid, uint16_t ttag, uint32_t offset, uint32_t length);

// ---- the subsystem
// ANA states as the ANA log page codes them.
enum class AnaState : uint8_t {
    optimized = 0x01,
    non_optimized = 0x02,
    inaccessible = 0x03,
    persistent_loss = 0x04,
    change = 0x0F,
};
// parse_ana_state: "optimized", "non-optimized", "inaccessible", "persistent-loss", "change".
bool parse_ana_state(const std::string& text, AnaState& state);
const char* ana_state_name(AnaState state);

// How the array treats its vendor log page 0xC0.
enum class PageC0 {
    answered,
    absent,   // Invalid Log Page, as an array without the page
    refused,  // Invalid Field in Command
};

constexpr uint8_t kLogVdisk = 0xC0;
constexpr uint8_t kLogAna = 0x0C;
constexpr uint32_t kAnaGroup = 1;  // every namespace is in this ANA group
constexpr uint32_t kMaxNamespaces = 32;
constexpr uint16_t kQueueEntries = 128;  // CAP.MQES + 1, MAXCMD
constexpr uint16_t kMaxIoQueues = 8;

struct NsCounters {
    uint64_t commands = 0, identify = 0, log_c0 = 0, reads = 0, writes = 0, flushes = 0, errors = 0;
};

struct Namespace {
    std::string name;  // its folder in the state folder
    uint32_t nsid = 0;
    std::array<uint8_t, 16> uuid{}, nguid{};
    uint64_t size_bytes = 0;
    Backing* backing = nullptr;
    // switches
    std::string vdisk_name;
    PageC0 page_c0 = PageC0::answered;
    unsigned c0_delay_ms = 0;  // page 0xC0 is answered this long after it was asked
    bool c0_hang = false;      // page 0xC0 is not answered while this is set
    NsCounters counters;
};

// One controller: made by the Connect of an admin queue, joined by the Connects of its I/O
// queues (which name it by its id), gone with its admin queue.
struct Controller {
    uint16_t cntlid = 0;
    size_t listener = 0;  // the port it was connected through
    std::string hostnqn;
    uint32_t cc = 0, csts = 0, kato_ms = 0;
    uint16_t io_queues = 0;  // granted by Set Features (Number of Queues), 0 before
    std::map<uint8_t, uint32_t> features;
    std::vector<uint16_t> aers;  // Asynchronous Event Requests held, by command id
    bool ana_event = false;      // an ANA change waits for an AER
};

struct SubsysCounters {
    uint64_t admin_connects = 0, io_connects = 0, admin_commands = 0, io_commands = 0, keep_alives = 0,
             ana_log = 0, events = 0, errors = 0;
};

// What a queue knows of itself: the port it came in through and, after its Connect, its
// controller and queue id.
struct QueueRef {
    size_t listener = 0;
    uint16_t cntlid = 0xFFFF;  // none yet
    uint16_t qid = 0;
    bool connected = false;
};

struct Outcome {
    Completion cqe;
    std::vector<uint8_t> data;  // to the host (C2HData), exactly the length it asked for
    bool held = false;          // an AER kept for later: nothing is sent now
};

class Subsystem {
public:
    std::string nqn;
    std::string serial = "KLDNV0000001";
    std::string model = "KELDORZRN";
    std::string firmware = "0001";
    std::vector<Namespace> namespaces;
    std::vector<AnaState> ana;  // by listener
    uint64_t ana_chgcnt = 1;
    SubsysCounters counters;
    std::map<uint16_t, Controller> controllers;

    // execute: one command of the queue q; data_out is what the host sent with it (in the
    // capsule or by H2CData). A Connect fills q.
    Outcome execute(QueueRef& q, const Command& cmd, std::span<const uint8_t> data_out);
    // c0_held_back: whether the command is a Get Log Page 0xC0 that the switches of its
    // namespace keep waiting (delayed or hung).
    bool c0_held_back(const Command& cmd) const;
    // set_ana: a listener's new state. Each of its controllers that holds an AER gets the ANA
    // change notice: the completions to send on their admin queues, by controller id.
    std::vector<std::pair<uint16_t, Completion>> set_ana(size_t listener, AnaState state);
    // drop: the controller's admin queue is gone.
    void drop(uint16_t cntlid) { controllers.erase(cntlid); }

    Namespace* find_ns(uint32_t nsid);
    std::vector<uint8_t> identify_ctrl(const Controller& c) const;
    std::vector<uint8_t> identify_ns(uint32_t nsid) const;
    std::vector<uint8_t> ns_descriptors(uint32_t nsid) const;
    std::vector<uint8_t> active_ns_list(uint32_t after) const;
    std::vector<uint8_t> ana_log(size_t listener, bool groups_only) const;
    static std::vector<uint8_t> vdisk_log(const Namespace& ns);

private:
    Outcome fabrics(QueueRef& q, const Command& cmd, std::span<const uint8_t> data_out);
    Outcome admin(Controller& c, const Command& cmd, std::span<const uint8_t> data_out);
    Outcome io(Controller& c, const Command& cmd, std::span<const uint8_t> data_out);
    Outcome get_log(Controller& c, const Command& cmd);
    Outcome features(Controller& c, const Command& cmd);
    uint16_t next_cntlid_ = 1;
};

// parse_uuid: "8-4-4-4-12" hex digits, or 32 hex digits (an NGUID), into 16 bytes.
bool parse_uuid(const std::string& text, std::array<uint8_t, 16>& out);

}  // namespace keldorsim::nvme
