#include "tests/system/array-sim/nvme_target.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace keldorsim::nvme {
namespace {

// Opcodes.
constexpr uint8_t kFabrics = 0x7F;
constexpr uint8_t kPropertySet = 0x00, kConnect = 0x01, kPropertyGet = 0x04;
constexpr uint8_t kAdmGetLogPage = 0x02, kAdmIdentify = 0x06, kAdmAbort = 0x08, kAdmSetFeatures = 0x09,
                  kAdmGetFeatures = 0x0A, kAdmAsyncEvent = 0x0C, kAdmKeepAlive = 0x18;
constexpr uint8_t kIoFlush = 0x00, kIoWrite = 0x01, kIoRead = 0x02;

// Properties (controller registers).
constexpr uint32_t kRegCap = 0x00, kRegVs = 0x08, kRegCc = 0x14, kRegCsts = 0x1C;
constexpr uint32_t kVersion = 0x00010400;  // NVMe 1.4
constexpr uint32_t kCcEnable = 1, kCcShutdownMask = 3u << 14;
constexpr uint32_t kCstsReady = 1, kCstsShutdownDone = 2u << 2;

constexpr size_t kIdentifySize = 4096;
constexpr uint32_t kBlock = 512;

Completion status(const Command& cmd, uint16_t s) {
    Completion c;
    c.cid = cmd.cid();
    c.status = s;
    return c;
}
Outcome fail(const Command& cmd, uint16_t s) { return {status(cmd, s | kDnr), {}, false}; }
// The host is sent exactly the length it asked for: the answer cut or padded with zeros.
Outcome answer(const Command& cmd, std::vector<uint8_t> data, uint64_t result = 0) {
    Outcome o{status(cmd, sc::kSuccess), std::move(data), false};
    o.data.resize(cmd.data_length(), 0);
    o.cqe.result = result;
    return o;
}
// Space-padded ASCII field (serial number, model, firmware revision).
void put_text(std::vector<uint8_t>& v, size_t at, size_t width, const std::string& s) {
    for (size_t i = 0; i < width; ++i) v[at + i] = i < s.size() ? static_cast<uint8_t>(s[i]) : ' ';
}
void put_bytes(std::vector<uint8_t>& v, size_t at, std::span<const uint8_t> b) {
    std::copy(b.begin(), b.end(), v.begin() + static_cast<long>(at));
}
uint64_t cap() {
    return static_cast<uint64_t>(kQueueEntries - 1)  // MQES
           | 1ull << 16                             // contiguous queues required
           | 30ull << 24                            // timeout: 15 s in units of 500 ms
           | 1ull << 37;                            // NVM command set
}
// The completion of an AER for an ANA change: notice, ANA change, log page 0x0C.
constexpr uint64_t kAnaNotice = static_cast<uint32_t>(kLogAna) << 16 | 0x03u << 8 | 0x02u;
int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

uint16_t le16(std::span<const uint8_t> b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t le32(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(le16(b, at)) | static_cast<uint32_t>(le16(b, at + 2)) << 16;
}
uint64_t le64(std::span<const uint8_t> b, size_t at) { return le32(b, at) | static_cast<uint64_t>(le32(b, at + 4)) << 32; }
void put_le16(std::vector<uint8_t>& v, size_t at, uint64_t x) {
    for (size_t i = 0; i < 2; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
void put_le32(std::vector<uint8_t>& v, size_t at, uint64_t x) {
    for (size_t i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
void put_le64(std::vector<uint8_t>& v, size_t at, uint64_t x) {
    for (size_t i = 0; i < 8; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

bool parse_header(std::span<const uint8_t> b, PduHeader& h) {
    if (b.size() < kHdrLen) return false;
    h = {b[0], b[1], b[2], b[3], le32(b, 4)};
    if (h.hlen < kHdrLen || h.plen < h.hlen || h.plen > kMaxPdu) return false;
    return h.pdo == 0 || (h.pdo >= h.hlen && h.pdo <= h.plen);
}

bool parse_data_pdu(std::span<const uint8_t> pdu, DataPdu& d) {
    PduHeader h;
    if (!parse_header(pdu, h) || h.hlen < kDataHdrLen || pdu.size() < h.plen) return false;
    d.cid = le16(pdu, 8);
    d.ttag = le16(pdu, 10);
    d.offset = le32(pdu, 12);
    d.length = le32(pdu, 16);
    d.last = (h.flags & kFlagDataLast) != 0;
    const size_t at = h.pdo ? h.pdo : h.hlen;
    if (at + d.length > h.plen) return false;
    d.data = pdu.subspan(at, d.length);
    return true;
}

std::vector<uint8_t> ic_resp_pdu() {
    std::vector<uint8_t> p(kIcLen, 0);
    p[0] = kIcResp;
    p[2] = kIcLen;
    put_le32(p, 4, kIcLen);
    // PFV 0, CPDA 0, no digests
    put_le32(p, 12, kMaxH2CData);
    return p;
}

std::vector<uint8_t> resp_pdu(const Completion& c) {
    std::vector<uint8_t> p(kRespPduLen, 0);
    p[0] = kCapsuleResp;
    p[2] = kRespPduLen;
    put_le32(p, 4, kRespPduLen);
    put_le64(p, 8, c.result);
    put_le16(p, 16, c.sq_head);
    put_le16(p, 18, c.sq_id);
    put_le16(p, 20, c.cid);
    put_le16(p, 22, static_cast<uint32_t>(c.status) << 1);  // bit 0 is the phase tag
    return p;
}

std::vector<uint8_t> c2h_data_pdu(uint16_t cid, uint32_t offset, std::span<const uint8_t> data, bool last) {
    std::vector<uint8_t> p(kDataHdrLen + data.size(), 0);
    p[0] = kC2HData;
    p[1] = last ? kFlagDataLast : 0;
    p[2] = kDataHdrLen;
    p[3] = kDataHdrLen;
    put_le32(p, 4, kDataHdrLen + data.size());
    put_le16(p, 8, cid);
    put_le32(p, 12, offset);
    put_le32(p, 16, data.size());
    if (!data.empty()) std::memcpy(p.data() + kDataHdrLen, data.data(), data.size());
    return p;
}

std::vector<uint8_t> r2t_pdu(uint16_t cid, uint16_t ttag, uint32_t offset, uint32_t length) {
    std::vector<uint8_t> p(kDataHdrLen, 0);
    p[0] = kR2T;
    p[2] = kDataHdrLen;
    put_le32(p, 4, kDataHdrLen);
    put_le16(p, 8, cid);
    put_le16(p, 10, ttag);
    put_le32(p, 12, offset);
    put_le32(p, 16, length);
    return p;
}

namespace {
constexpr std::pair<AnaState, const char*> kAnaNames[] = {
    {AnaState::optimized, "optimized"},           {AnaState::non_optimized, "non-optimized"},
    {AnaState::inaccessible, "inaccessible"},     {AnaState::persistent_loss, "persistent-loss"},
    {AnaState::change, "change"},
};
}  // namespace

bool parse_ana_state(const std::string& text, AnaState& state) {
    for (const auto& [s, n] : kAnaNames)
        if (text == n) {
            state = s;
            return true;
        }
    return false;
}

const char* ana_state_name(AnaState state) {
    for (const auto& [s, n] : kAnaNames)
        if (s == state) return n;
    return "?";
}

bool parse_uuid(const std::string& text, std::array<uint8_t, 16>& out) {
    std::string hex;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash_at = text.size() == 36 && (i == 8 || i == 13 || i == 18 || i == 23);
        if (dash_at != (text[i] == '-')) return false;
        if (!dash_at) hex += text[i];
    }
    if (hex.size() != 32) return false;
    for (size_t i = 0; i < 16; ++i) {
        const int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

Namespace* Subsystem::find_ns(uint32_t nsid) {
    for (Namespace& n : namespaces)
        if (n.nsid == nsid) return &n;
    return nullptr;
}

std::vector<uint8_t> Subsystem::identify_ctrl(const Controller& c) const {
    std::vector<uint8_t> d(kIdentifySize, 0);
    put_text(d, 4, 20, serial);
    put_text(d, 24, 40, model);
    put_text(d, 64, 8, firmware);
    d[76] = 0x0B;  // CMIC: several ports, several controllers, ANA reporting
    d[77] = 5;     // MDTS: 128 KiB
    put_le16(d, 78, c.cntlid);
    put_le32(d, 80, kVersion);
    put_le32(d, 92, 1u << 8 | 1u << 11);  // OAES: namespace attribute and ANA change notices
    d[111] = 1;                           // an I/O controller
    d[259] = 3;                           // AERL: four outstanding AERs
    d[261] = 1u << 2;                     // LPA: extended data for Get Log Page
    d[262] = 0;                           // one error log entry
    put_le16(d, 320, 10);                 // KAS: keep-alive in units of 100 ms
    d[343] = 10;                          // ANATT: 10 s
    d[344] = 0x1F | 1u << 6;              // ANACAP: every state reported, group ids fixed
    put_le32(d, 345, kAnaGroup);          // ANAGRPMAX
    put_le32(d, 349, kAnaGroup);          // NANAGRPID
    d[512] = 0x66;                        // SQES
    d[513] = 0x44;                        // CQES
    put_le16(d, 514, kQueueEntries);      // MAXCMD
    put_le32(d, 516, kMaxNamespaces);     // NN
    d[525] = 1;                           // VWC: a volatile write cache (Flush is sent)
    put_le32(d, 536, 1u | 1u << 20);      // SGLS: supported, with offsets in the capsule
    put_le32(d, 540, kMaxNamespaces);     // MNAN
    std::memcpy(d.data() + 768, nqn.data(), std::min<size_t>(nqn.size(), 255));
    put_le32(d, 1792, (64 + kInlineData) / 16);  // IOCCSZ
    put_le32(d, 1796, 1);                        // IORCSZ
    d[1803] = 1;                                 // MSDBD
    return d;
}

std::vector<uint8_t> Subsystem::identify_ns(uint32_t nsid) const {
    std::vector<uint8_t> d(kIdentifySize, 0);
    for (const Namespace& n : namespaces) {
        if (n.nsid != nsid) continue;
        const uint64_t blocks = n.size_bytes / kBlock;
        put_le64(d, 0, blocks);  // NSZE
        put_le64(d, 8, blocks);  // NCAP
        put_le64(d, 16, blocks); // NUSE
        d[30] = 1;               // NMIC: shared by the controllers
        put_le32(d, 92, kAnaGroup);
        put_bytes(d, 104, n.nguid);
        d[128 + 2] = 9;  // LBA format 0: 512-byte blocks
    }
    return d;
}

std::vector<uint8_t> Subsystem::ns_descriptors(uint32_t nsid) const {
    std::vector<uint8_t> d(kIdentifySize, 0);
    for (const Namespace& n : namespaces) {
        if (n.nsid != nsid) continue;
        d[0] = 2;  // NGUID
        d[1] = 16;
        put_bytes(d, 4, n.nguid);
        d[20] = 3;  // UUID
        d[21] = 16;
        put_bytes(d, 24, n.uuid);
    }
    return d;
}

std::vector<uint8_t> Subsystem::active_ns_list(uint32_t after) const {
    std::vector<uint32_t> ids;
    for (const Namespace& n : namespaces)
        if (n.nsid > after) ids.push_back(n.nsid);
    std::sort(ids.begin(), ids.end());
    std::vector<uint8_t> d(kIdentifySize, 0);
    for (size_t i = 0; i < ids.size() && i < kIdentifySize / 4; ++i) put_le32(d, 4 * i, ids[i]);
    return d;
}

std::vector<uint8_t> Subsystem::ana_log(size_t listener, bool groups_only) const {
    std::vector<uint8_t> d(16 + 32, 0);
    put_le64(d, 0, ana_chgcnt);
    put_le16(d, 8, 1);  // one group
    put_le32(d, 16, kAnaGroup);
    put_le32(d, 20, groups_only ? 0 : namespaces.size());
    put_le64(d, 24, ana_chgcnt);
    d[32] = static_cast<uint8_t>(listener < ana.size() ? ana[listener] : AnaState::optimized);
    if (!groups_only)
        for (const Namespace& n : namespaces) {
            d.resize(d.size() + 4);
            put_le32(d, d.size() - 4, n.nsid);
        }
    return d;
}

std::vector<uint8_t> Subsystem::vdisk_log(const Namespace& ns) {
    // the array's vendor layout: the name from byte 0, ended by a NUL, in 64 bytes
    std::vector<uint8_t> d(64, 0);
    std::memcpy(d.data(), ns.vdisk_name.data(), std::min<size_t>(ns.vdisk_name.size(), 63));
    return d;
}

bool Subsystem::c0_held_back(const Command& cmd) const {
    if (cmd.opcode() != kAdmGetLogPage || (cmd.cdw(10) & 0xFF) != kLogVdisk) return false;
    for (const Namespace& n : namespaces)
        if (n.nsid == cmd.nsid()) return n.page_c0 == PageC0::answered && (n.c0_hang || n.c0_delay_ms > 0);
    return false;
}

std::vector<std::pair<uint16_t, Completion>> Subsystem::set_ana(size_t listener, AnaState state) {
    std::vector<std::pair<uint16_t, Completion>> out;
    if (listener >= ana.size() || ana[listener] == state) return out;
    ana[listener] = state;
    ++ana_chgcnt;
    for (auto& [id, c] : controllers) {
        if (c.listener != listener) continue;
        c.ana_event = true;
        if (c.aers.empty()) continue;
        Completion cqe;
        cqe.cid = c.aers.front();
        cqe.result = kAnaNotice;
        c.aers.erase(c.aers.begin());
        c.ana_event = false;
        ++counters.events;
        out.emplace_back(id, cqe);
    }
    return out;
}

Outcome Subsystem::execute(QueueRef& q, const Command& cmd, std::span<const uint8_t> data_out) {
    if (cmd.opcode() == kFabrics) return fabrics(q, cmd, data_out);
    auto c = controllers.find(q.cntlid);
    if (!q.connected || c == controllers.end()) return fail(cmd, sc::kInvalidOpcode);  // nothing before Connect
    if (q.qid == 0) return admin(c->second, cmd, data_out);
    return io(c->second, cmd, data_out);
}

Outcome Subsystem::fabrics(QueueRef& q, const Command& cmd, std::span<const uint8_t> data_out) {
    if (cmd.fctype() == kConnect) {
        const uint16_t qid = le16(cmd.b, 42), sqsize = le16(cmd.b, 44);
        Outcome bad = fail(cmd, sc::kConnectInvalidParam);
        if (q.connected || data_out.size() < 1024 || le16(cmd.b, 40) != 0 || sqsize == 0 || sqsize >= kQueueEntries)
            return bad;
        const std::string subnqn(reinterpret_cast<const char*>(data_out.data()) + 256,
                                 strnlen(reinterpret_cast<const char*>(data_out.data()) + 256, 256));
        if (subnqn != nqn) {
            bad.cqe.result = 1u << 16 | 256;  // the parameter in error: SUBNQN of the data
            return bad;
        }
        const uint16_t want = le16(data_out, 16);
        if (qid == 0) {
            ++counters.admin_connects;
            while (controllers.count(next_cntlid_) || next_cntlid_ == 0 || next_cntlid_ >= 0xFFF0)
                next_cntlid_ = next_cntlid_ >= 0xFFF0 ? 1 : static_cast<uint16_t>(next_cntlid_ + 1);
            Controller c;
            c.cntlid = next_cntlid_++;
            c.listener = q.listener;
            c.kato_ms = le32(cmd.b, 48);
            c.hostnqn.assign(reinterpret_cast<const char*>(data_out.data()) + 512,
                             strnlen(reinterpret_cast<const char*>(data_out.data()) + 512, 256));
            q.cntlid = c.cntlid;
            controllers[c.cntlid] = c;
        } else {
            auto c = controllers.find(want);
            if (c == controllers.end() || c->second.listener != q.listener || !(c->second.cc & kCcEnable) ||
                qid > c->second.io_queues)
                return bad;
            ++counters.io_connects;
            q.cntlid = want;
        }
        q.qid = qid;
        q.connected = true;
        Outcome o{status(cmd, sc::kSuccess), {}, false};
        o.cqe.result = q.cntlid;
        return o;
    }
    auto c = controllers.find(q.cntlid);
    if (!q.connected || c == controllers.end() || q.qid != 0) return fail(cmd, sc::kInvalidOpcode);
    Controller& ctrl = c->second;
    const bool eight = (cmd.b[40] & 7) == 1;
    const uint32_t offset = le32(cmd.b, 44);
    Outcome o{status(cmd, sc::kSuccess), {}, false};
    if (cmd.fctype() == kPropertyGet) {
        const std::map<uint32_t, uint64_t> regs{{kRegCap, cap()}, {kRegVs, kVersion}, {kRegCc, ctrl.cc}, {kRegCsts, ctrl.csts}};
        const auto r = regs.find(offset);
        if (r == regs.end() || (eight && offset != kRegCap)) return fail(cmd, sc::kInvalidField);
        o.cqe.result = r->second;
        return o;
    }
    if (cmd.fctype() == kPropertySet) {
        if (offset != kRegCc || eight) return fail(cmd, sc::kInvalidField);
        const uint32_t cc = static_cast<uint32_t>(le64(cmd.b, 48));
        if (!(cc & kCcEnable)) {
            ctrl.csts = 0;  // a reset: held AERs are dropped
            ctrl.aers.clear();
        } else {
            ctrl.csts |= kCstsReady;
        }
        if (cc & kCcShutdownMask) ctrl.csts |= kCstsShutdownDone;
        ctrl.cc = cc;
        return o;
    }
    return fail(cmd, sc::kInvalidOpcode);
}

Outcome Subsystem::admin(Controller& c, const Command& cmd, std::span<const uint8_t>) {
    ++counters.admin_commands;
    switch (cmd.opcode()) {
    case kAdmIdentify: {
        const uint8_t cns = cmd.cdw(10) & 0xFF;
        if (Namespace* n = find_ns(cmd.nsid()); n && (cns == 0 || cns == 3)) ++n->counters.identify;
        switch (cns) {
        case 0x00: return answer(cmd, identify_ns(cmd.nsid()));
        case 0x01: return answer(cmd, identify_ctrl(c));
        case 0x02: return answer(cmd, active_ns_list(cmd.nsid()));
        case 0x03:
            if (!find_ns(cmd.nsid())) return fail(cmd, sc::kInvalidNs);
            return answer(cmd, ns_descriptors(cmd.nsid()));
        case 0x06: return answer(cmd, {});  // I/O command set specific: no limits of its own
        default: return fail(cmd, sc::kInvalidField);
        }
    }
    case kAdmGetLogPage: return get_log(c, cmd);
    case kAdmSetFeatures:
    case kAdmGetFeatures: return features(c, cmd);
    case kAdmAsyncEvent:
        if (c.ana_event) {  // a change came while no AER was held
            c.ana_event = false;
            ++counters.events;
            Outcome o{status(cmd, sc::kSuccess), {}, false};
            o.cqe.result = kAnaNotice;
            return o;
        }
        if (c.aers.size() >= 4) return fail(cmd, 0x105);  // AER limit exceeded
        c.aers.push_back(cmd.cid());
        return {{}, {}, true};
    case kAdmKeepAlive:
        ++counters.keep_alives;
        return {status(cmd, sc::kSuccess), {}, false};
    case kAdmAbort: {
        Outcome o{status(cmd, sc::kSuccess), {}, false};
        o.cqe.result = 1;  // not aborted
        return o;
    }
    default: ++counters.errors; return fail(cmd, sc::kInvalidOpcode);
    }
}

Outcome Subsystem::get_log(Controller& c, const Command& cmd) {
    const uint8_t lid = cmd.cdw(10) & 0xFF;
    const bool rgo = (cmd.cdw(10) >> 8) & 1;
    const uint64_t lpo = cmd.cdw(12) | static_cast<uint64_t>(cmd.cdw(13)) << 32;
    std::vector<uint8_t> page;
    switch (lid) {
    case 0x01: page.assign(64, 0); break;    // error information: no errors
    case 0x02: page.assign(512, 0); put_le16(page, 1, 300); break;  // SMART: 300 K
    case 0x03: page.assign(512, 0); page[0] = 1; put_text(page, 8, 8, firmware); break;
    case 0x04: page.assign(4096, 0); break;  // changed namespace list: none
    case kLogAna:
        ++counters.ana_log;
        c.ana_event = false;
        page = ana_log(c.listener, rgo);
        break;
    case kLogVdisk: {
        Namespace* n = find_ns(cmd.nsid());
        if (!n) return fail(cmd, sc::kInvalidNs);
        ++n->counters.log_c0;
        if (n->page_c0 == PageC0::absent) {
            ++n->counters.errors;
            return fail(cmd, sc::kInvalidLogPage);
        }
        if (n->page_c0 == PageC0::refused) {
            ++n->counters.errors;
            return fail(cmd, sc::kInvalidField);
        }
        page = vdisk_log(*n);
        break;
    }
    default: ++counters.errors; return fail(cmd, sc::kInvalidLogPage);
    }
    if (lpo > page.size()) return fail(cmd, sc::kInvalidField);
    page.erase(page.begin(), page.begin() + static_cast<long>(lpo));
    return answer(cmd, std::move(page));
}

Outcome Subsystem::features(Controller& c, const Command& cmd) {
    const uint8_t fid = cmd.cdw(10) & 0xFF;
    const bool set = cmd.opcode() == kAdmSetFeatures;
    static constexpr uint8_t kKnown[] = {0x01, 0x02, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0F};
    if (std::find(std::begin(kKnown), std::end(kKnown), fid) == std::end(kKnown)) return fail(cmd, sc::kInvalidField);
    Outcome o{status(cmd, sc::kSuccess), {}, false};
    if (fid == 0x07) {  // number of queues, zero-based
        if (set) {
            if (c.io_queues == 0) {
                const uint32_t want = std::min<uint32_t>(cmd.cdw(11) & 0xFFFF, cmd.cdw(11) >> 16);
                c.io_queues = static_cast<uint16_t>(std::min<uint32_t>(want, kMaxIoQueues - 1) + 1);
            }
        }
        const uint32_t n = c.io_queues ? c.io_queues - 1u : kMaxIoQueues - 1u;
        o.cqe.result = n << 16 | n;
        return o;
    }
    if (fid == 0x0F && !set) {
        o.cqe.result = c.kato_ms;
        return o;
    }
    if (set) {
        c.features[fid] = cmd.cdw(11);
        if (fid == 0x0F) c.kato_ms = cmd.cdw(11);
    } else {
        const auto f = c.features.find(fid);
        o.cqe.result = f != c.features.end() ? f->second : fid == 0x06 ? 1 : 0;
    }
    return o;
}

Outcome Subsystem::io(Controller& c, const Command& cmd, std::span<const uint8_t> data_out) {
    ++counters.io_commands;
    Namespace* n = find_ns(cmd.nsid());
    if (!n) return fail(cmd, sc::kInvalidNs);
    ++n->counters.commands;
    const AnaState st = c.listener < ana.size() ? ana[c.listener] : AnaState::optimized;
    const uint16_t path_status = st == AnaState::inaccessible      ? sc::kAnaInaccessible
                                 : st == AnaState::persistent_loss ? sc::kAnaPersistentLoss
                                 : st == AnaState::change          ? sc::kAnaTransition
                                                                   : sc::kSuccess;
    auto error = [&](uint16_t s, bool dnr = true) {
        ++n->counters.errors;
        return Outcome{status(cmd, static_cast<uint16_t>(s | (dnr ? kDnr : 0))), {}, false};
    };
    if (path_status != sc::kSuccess) return error(path_status, false);  // another path may serve it
    const uint64_t slba = cmd.cdw(10) | static_cast<uint64_t>(cmd.cdw(11)) << 32;
    const uint64_t nlb = (cmd.cdw(12) & 0xFFFF) + 1ull;
    const uint64_t blocks = n->size_bytes / kBlock;
    switch (cmd.opcode()) {
    case kIoFlush:
        ++n->counters.flushes;
        return n->backing->flush() ? Outcome{status(cmd, sc::kSuccess), {}, false} : error(sc::kInternal);
    case kIoRead: {
        ++n->counters.reads;
        if (slba >= blocks || nlb > blocks - slba) return error(sc::kLbaRange);
        if (cmd.data_length() != nlb * kBlock) return error(sc::kInvalidField);
        std::vector<uint8_t> data(nlb * kBlock);
        if (!n->backing->read(slba * kBlock, data)) return error(sc::kInternal);
        return answer(cmd, std::move(data));
    }
    case kIoWrite:
        ++n->counters.writes;
        if (slba >= blocks || nlb > blocks - slba) return error(sc::kLbaRange);
        if (data_out.size() != nlb * kBlock) return error(sc::kInvalidField);
        if (!n->backing->write(slba * kBlock, data_out)) return error(sc::kInternal);
        return {status(cmd, sc::kSuccess), {}, false};
    default: return error(sc::kInvalidOpcode);
    }
}

}  // namespace keldorsim::nvme
