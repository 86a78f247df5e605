#include "tests/system/array-sim/scsi_lun.h"

#include <algorithm>
#include <cctype>

namespace keldorsim {
namespace {

// Operation codes.
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kRead6 = 0x08;
constexpr uint8_t kWrite6 = 0x0A;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kStartStopUnit = 0x1B;
constexpr uint8_t kReadCapacity10 = 0x25;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kVerify10 = 0x2F;
constexpr uint8_t kSyncCache10 = 0x35;
constexpr uint8_t kModeSense10 = 0x5A;
constexpr uint8_t kRead16 = 0x88;
constexpr uint8_t kWrite16 = 0x8A;
constexpr uint8_t kVerify16 = 0x8F;
constexpr uint8_t kSyncCache16 = 0x91;
constexpr uint8_t kServiceActionIn16 = 0x9E;
constexpr uint8_t kReadCapacity16 = 0x10;  // service action of 0x9E
constexpr uint8_t kRead12 = 0xA8;
constexpr uint8_t kWrite12 = 0xAA;

// Sense keys and additional sense codes.
constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kMediumError = 0x03;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscUnrecoveredRead = 0x11;
constexpr uint8_t kAscWriteError = 0x0C;

// Page codes of page 0x00 that this array answers, in the order it lists them.
constexpr uint8_t kPages[] = {0x00, 0x80, 0x83, 0xB0, 0xB1, 0xB2, 0xD0};

uint16_t be16(std::span<const uint8_t> b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }
uint32_t be32(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}
uint64_t be64(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint64_t>(be32(b, at)) << 32 | be32(b, at + 4);
}
void put_be16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    v[at] = static_cast<uint8_t>(x >> 8);
    v[at + 1] = static_cast<uint8_t>(x);
}
void put_be32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (24 - 8 * i));
}
void put_be64(std::vector<uint8_t>& v, size_t at, uint64_t x) {
    put_be32(v, at, static_cast<uint32_t>(x >> 32));
    put_be32(v, at + 4, static_cast<uint32_t>(x));
}
// Space-padded ASCII field of a fixed width (INQUIRY vendor, product, revision).
void put_text(std::vector<uint8_t>& v, size_t at, size_t width, const std::string& s) {
    for (size_t i = 0; i < width; ++i) v[at + i] = i < s.size() ? static_cast<uint8_t>(s[i]) : ' ';
}

Reply check_condition(LunCounters& c, uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    ++c.check_conditions;
    Reply r;
    r.status = kStatusCheckCondition;
    r.sense.assign(18, 0);
    r.sense[0] = 0x70;  // current error, fixed format
    r.sense[2] = key;
    r.sense[7] = 10;    // additional sense length
    r.sense[12] = asc;
    r.sense[13] = ascq;
    return r;
}

Reply good(std::vector<uint8_t> data, size_t limit) {
    Reply r;
    if (data.size() > limit) data.resize(limit);
    r.data_in = std::move(data);
    return r;
}

uint64_t block_count(const LunIdentity& id) { return id.size_bytes / kBlockSize; }

std::vector<uint8_t> caching_page() {
    std::vector<uint8_t> p(20, 0);
    p[0] = 0x08;
    p[1] = 0x12;  // write cache off (WCE 0), read cache on (RCD 0)
    return p;
}
std::vector<uint8_t> control_page() {
    std::vector<uint8_t> p(12, 0);
    p[0] = 0x0A;
    p[1] = 0x0A;
    return p;
}

// The mode pages asked for, or nothing (then the page is not supported).
bool mode_pages(uint8_t page, uint8_t subpage, std::vector<uint8_t>& out) {
    if (subpage != 0 && subpage != 0xFF) return false;
    if (page == 0x08 || page == 0x3F) {
        auto p = caching_page();
        out.insert(out.end(), p.begin(), p.end());
    }
    if (page == 0x0A || page == 0x3F) {
        auto p = control_page();
        out.insert(out.end(), p.begin(), p.end());
    }
    return !out.empty();
}

Reply mode_sense(LunCounters& c, std::span<const uint8_t> cdb, size_t limit) {
    const bool ten = cdb[0] == kModeSense10;
    const uint8_t page = cdb[2] & 0x3F;
    const uint8_t control = cdb[2] >> 6;
    const uint8_t subpage = cdb[3];
    std::vector<uint8_t> pages;
    if (control == 3 || !mode_pages(page, subpage, pages)) return check_condition(c, kIllegalRequest, kAscInvalidFieldInCdb);
    const size_t alloc = ten ? be16(cdb, 7) : cdb[4];
    std::vector<uint8_t> data(ten ? 8 : 4, 0);
    data.insert(data.end(), pages.begin(), pages.end());
    if (ten) {
        put_be16(data, 0, static_cast<uint32_t>(data.size() - 2));
    } else {
        data[0] = static_cast<uint8_t>(data.size() - 1);
    }
    return good(std::move(data), std::min(alloc, limit));
}

std::vector<uint8_t> standard_inquiry(const LunIdentity& id) {
    std::vector<uint8_t> d(36, 0);
    d[0] = 0x00;  // connected direct-access block device
    d[2] = 0x06;  // SPC-4
    d[3] = 0x12;  // HiSup, response data format 2
    d[4] = static_cast<uint8_t>(d.size() - 5);
    d[5] = 0x00;  // no ALUA (TPGS 0)
    d[7] = 0x02;  // command queuing
    put_text(d, 8, 8, id.vendor);
    put_text(d, 16, 16, id.product);
    put_text(d, 32, 4, id.revision);
    return d;
}

std::vector<uint8_t> vpd_page(const LunIdentity& id, const LunSwitches& sw, uint8_t page, bool& known) {
    known = true;
    std::vector<uint8_t> d(4, 0);
    d[1] = page;
    switch (page) {
    case 0x00:
        for (uint8_t p : kPages)
            if (p != 0xD0 || sw.page_d0 != PageD0::unlisted) d.push_back(p);
        break;
    case 0x80:
        d.insert(d.end(), id.serial.begin(), id.serial.end());
        break;
    case 0x83: {
        const auto naa = wwid_to_naa(id.wwid);
        // NAA designator: binary code set, associated with the LUN
        d.insert(d.end(), {0x01, 0x03, 0x00, static_cast<uint8_t>(naa.size())});
        d.insert(d.end(), naa.begin(), naa.end());
        // T10 vendor identification: vendor (8 bytes, padded) then the serial number
        std::vector<uint8_t> t10(8, ' ');
        for (size_t i = 0; i < 8 && i < id.vendor.size(); ++i) t10[i] = static_cast<uint8_t>(id.vendor[i]);
        t10.insert(t10.end(), id.serial.begin(), id.serial.end());
        d.insert(d.end(), {0x02, 0x01, 0x00, static_cast<uint8_t>(t10.size())});
        d.insert(d.end(), t10.begin(), t10.end());
        break;
    }
    case 0xB0:  // block limits: no limits reported beyond the defaults
        d.resize(64, 0);
        break;
    case 0xB1:  // block device characteristics: non-rotating medium
        d.resize(64, 0);
        d[5] = 0x01;
        break;
    case 0xB2:  // logical block provisioning: none
        d.resize(8, 0);
        break;
    case 0xD0:
        // the array's vendor page: byte 2 the name's length, the name from byte 3
        if (sw.page_d0 != PageD0::answered) {
            known = false;
            return {};
        }
        {
            const size_t len = std::min<size_t>(sw.vdisk_name.size(), 255);
            d.assign(3 + len, 0);
            d[1] = page;
            d[2] = static_cast<uint8_t>(len);
            std::copy_n(sw.vdisk_name.data(), len, d.data() + 3);
        }
        return d;
    default:
        known = false;
        return {};
    }
    put_be16(d, 2, static_cast<uint32_t>(d.size() - 4));
    return d;
}

}  // namespace

bool held_back(const LunSwitches& sw, std::span<const uint8_t> cdb) {
    const bool d0 = cdb.size() >= 3 && cdb[0] == 0x12 && (cdb[1] & 0x01) && cdb[2] == 0xD0;
    return d0 && (sw.d0_hang || sw.d0_delay_ms > 0);
}

namespace {

Reply inquiry(const LunIdentity& id, const LunSwitches& sw, LunCounters& c, std::span<const uint8_t> cdb,
              size_t limit) {
    const bool evpd = cdb[1] & 0x01;
    const size_t alloc = std::min<size_t>(be16(cdb, 3), limit);
    if (!evpd) {
        ++c.inquiry_std;
        if (cdb[2] != 0) return check_condition(c, kIllegalRequest, kAscInvalidFieldInCdb);
        return good(standard_inquiry(id), alloc);
    }
    const uint8_t page = cdb[2];
    if (page == 0x00)
        ++c.inquiry_vpd_00;
    else if (page == 0xD0)
        ++c.inquiry_vpd_d0;
    else
        ++c.inquiry_vpd_other;
    bool known = false;
    auto data = vpd_page(id, sw, page, known);
    if (!known) return check_condition(c, kIllegalRequest, kAscInvalidFieldInCdb);
    return good(std::move(data), alloc);
}

Reply read_capacity(const LunIdentity& id, bool sixteen, size_t alloc) {
    const uint64_t last = block_count(id) ? block_count(id) - 1 : 0;
    if (!sixteen) {
        std::vector<uint8_t> d(8, 0);
        put_be32(d, 0, last > 0xFFFFFFFEu ? 0xFFFFFFFFu : static_cast<uint32_t>(last));
        put_be32(d, 4, kBlockSize);
        return good(std::move(d), alloc);
    }
    std::vector<uint8_t> d(32, 0);
    put_be64(d, 0, last);
    put_be32(d, 8, kBlockSize);
    return good(std::move(d), alloc);
}

struct Extent {
    uint64_t lba = 0;
    uint32_t blocks = 0;
};

Extent rw_extent(std::span<const uint8_t> cdb) {
    switch (cdb[0]) {
    case kRead6:
    case kWrite6: {
        Extent e{static_cast<uint64_t>((cdb[1] & 0x1F) << 16 | cdb[2] << 8 | cdb[3]), cdb[4]};
        if (e.blocks == 0) e.blocks = 256;
        return e;
    }
    case kRead10:
    case kWrite10:
    case kVerify10:
        return {be32(cdb, 2), be16(cdb, 7)};
    case kRead12:
    case kWrite12:
        return {be32(cdb, 2), be32(cdb, 6)};
    default:  // 16-byte forms
        return {be64(cdb, 2), be32(cdb, 10)};
    }
}

Reply read_write(const LunIdentity& id, LunCounters& c, Backing& backing, std::span<const uint8_t> cdb,
                 std::span<const uint8_t> data_out, size_t limit) {
    const Extent e = rw_extent(cdb);
    if (e.lba > block_count(id) || e.blocks > block_count(id) - e.lba)
        return check_condition(c, kIllegalRequest, kAscLbaOutOfRange);
    const uint64_t offset = e.lba * kBlockSize;
    const size_t bytes = static_cast<size_t>(e.blocks) * kBlockSize;
    if (is_data_out(cdb[0])) {
        ++c.writes;
        const size_t n = std::min(bytes, data_out.size());
        if (!backing.write(offset, data_out.first(n))) return check_condition(c, kMediumError, kAscWriteError);
        return Reply{};
    }
    ++c.reads;
    std::vector<uint8_t> data(std::min(bytes, limit));
    if (!backing.read(offset, data)) return check_condition(c, kMediumError, kAscUnrecoveredRead);
    return good(std::move(data), limit);
}

}  // namespace

std::vector<uint8_t> wwid_to_naa(const std::string& wwid) {
    if (wwid.size() != 33 || wwid[0] != '3' || wwid[1] != '6') return {};
    std::vector<uint8_t> out;
    for (size_t i = 1; i < wwid.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(wwid[i])) || !std::isxdigit(static_cast<unsigned char>(wwid[i + 1])))
            return {};
        out.push_back(static_cast<uint8_t>(std::stoul(wwid.substr(i, 2), nullptr, 16)));
    }
    return out;
}

bool is_data_out(uint8_t opcode) {
    switch (opcode) {
    case kWrite6:
    case kWrite10:
    case kWrite12:
    case kWrite16:
    case 0x15:  // MODE SELECT(6)
    case 0x55:  // MODE SELECT(10)
        return true;
    default:
        return false;
    }
}

size_t cdb_length(uint8_t opcode) {
    switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 16;
    }
}

Reply execute(const LunIdentity& id, const LunSwitches& sw, LunCounters& counters, Backing& backing,
              std::span<const uint8_t> cdb, std::span<const uint8_t> data_out, size_t data_in_limit) {
    ++counters.commands;
    if (cdb.empty() || cdb.size() < cdb_length(cdb[0])) return check_condition(counters, kIllegalRequest, kAscInvalidOpcode);
    switch (cdb[0]) {
    case kTestUnitReady:
    case kStartStopUnit:
    case kSyncCache10:
    case kSyncCache16:
        if ((cdb[0] == kSyncCache10 || cdb[0] == kSyncCache16) && !backing.flush())
            return check_condition(counters, kMediumError, kAscWriteError);
        return Reply{};
    case kVerify10:
    case kVerify16:
        return Reply{};
    case kRequestSense: {
        std::vector<uint8_t> s(18, 0);
        s[0] = 0x70;
        s[7] = 10;
        return good(std::move(s), std::min<size_t>(cdb[4], data_in_limit));
    }
    case kInquiry:
        return inquiry(id, sw, counters, cdb, data_in_limit);
    case kModeSense6:
    case kModeSense10:
        return mode_sense(counters, cdb, data_in_limit);
    case kReadCapacity10:
        return read_capacity(id, false, data_in_limit);
    case kServiceActionIn16:
        if ((cdb[1] & 0x1F) != kReadCapacity16) break;
        return read_capacity(id, true, std::min<size_t>(be32(cdb, 10), data_in_limit));
    case kRead6:
    case kRead10:
    case kRead12:
    case kRead16:
    case kWrite6:
    case kWrite10:
    case kWrite12:
    case kWrite16:
        return read_write(id, counters, backing, cdb, data_out, data_in_limit);
    default:
        break;
    }
    return check_condition(counters, kIllegalRequest, kAscInvalidOpcode);
}

}  // namespace keldorsim
