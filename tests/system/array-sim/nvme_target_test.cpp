// The simulated array's NVMe/TCP target: its PDUs byte for byte, its controllers' answers, and
// the vendor log page 0xC0 read back through morvel's own Get Log Page code and decoder.
#include <gtest/gtest.h>

#include <cstring>

#include "array/array.h"
#include "common/log.h"
#include "tests/system/array-sim/nvme_target.h"

namespace keldorsim::nvme {
namespace marr = morvel::array;
namespace {

class MemBacking : public Backing {
public:
    explicit MemBacking(size_t size) : data(size, 0) {}
    bool read(uint64_t offset, std::span<uint8_t> out) override {
        std::memcpy(out.data(), data.data() + offset, out.size());
        return true;
    }
    bool write(uint64_t offset, std::span<const uint8_t> in) override {
        std::memcpy(data.data() + offset, in.data(), in.size());
        return true;
    }
    bool flush() override { return true; }
    std::vector<uint8_t> data;
};

constexpr char kNqn[] = "nqn.2026-01.com.keldor:zrn.nvme2";

Command make(uint8_t opcode, uint32_t nsid = 0, uint32_t data_len = 0, std::map<int, uint32_t> cdw = {}) {
    Command c;
    std::vector<uint8_t> b(64, 0);
    b[0] = opcode;
    put_le16(b, 2, 7);
    put_le32(b, 4, nsid);
    put_le32(b, 32, data_len);
    for (const auto& [n, v] : cdw) put_le32(b, static_cast<size_t>(4 * n), v);
    std::copy(b.begin(), b.end(), c.b.begin());
    return c;
}

class NvmeSim : public ::testing::Test {
protected:
    NvmeSim() : backing(64 * 1024) {
        sub.nqn = kNqn;
        sub.ana = {AnaState::optimized, AnaState::optimized};
        Namespace n;
        n.name = "nv_a";
        n.nsid = 1;
        parse_uuid("4b454c44-4f52-5a52-4e00-0000000000c1", n.uuid);
        parse_uuid("4b454c444f525a524e000000000000c1", n.nguid);
        n.size_bytes = backing.data.size();
        n.backing = &backing;
        n.vdisk_name = "vd_nv_01";
        sub.namespaces.push_back(n);
        g_sim = this;
    }
    // Connect: an admin queue (cntlid 0xFFFF) or an I/O queue of the controller cntlid.
    Outcome connect(QueueRef& q, uint16_t qid, uint16_t cntlid = 0xFFFF, const std::string& nqn = kNqn) {
        Command c = make(0x7F, 0, 1024);
        c.b[4] = 0x01;
        c.b[42] = static_cast<uint8_t>(qid);
        c.b[44] = 31;  // SQSIZE
        std::vector<uint8_t> data(1024, 0);
        put_le16(data, 16, cntlid);
        std::memcpy(data.data() + 256, nqn.data(), nqn.size());
        return sub.execute(q, c, data);
    }
    // An enabled controller on the listener, with an I/O queue.
    void enable(QueueRef& admin, QueueRef& io, size_t listener) {
        admin.listener = io.listener = listener;
        ASSERT_EQ(0, connect(admin, 0).cqe.status);
        Command cc = make(0x7F);
        cc.b[4] = 0x00;
        cc.b[44] = 0x14;
        cc.b[48] = 1;
        ASSERT_EQ(0, sub.execute(admin, cc, {}).cqe.status);
        ASSERT_EQ(0, sub.execute(admin, make(0x09, 0, 0, {{10, 7}, {11, 0x00030003}}), {}).cqe.status);
        ASSERT_EQ(0, connect(io, 1, admin.cntlid).cqe.status);
    }
    // morvel's NVMe device operations, with the "device" the admin queue of listener fd.
    static int get_nsid(int) { return 1; }
    static int submit(int fd, struct nvme_admin_cmd* cmd) {
        Command c = make(cmd->opcode, cmd->nsid, cmd->data_len,
                         {{10, cmd->cdw10}, {11, cmd->cdw11}, {12, cmd->cdw12}, {13, cmd->cdw13}});
        Outcome o = g_sim->sub.execute(g_sim->admin[fd], c, {});
        if (!o.data.empty()) std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(cmd->addr)), o.data.data(), o.data.size());
        return o.cqe.status;
    }
    std::string vdisk_name(int listener = 0, int* ret = nullptr) {
        std::vector<morvel::common::HeldLine> lines;
        morvel::common::LogHold hold(lines);
        char name[marr::VDISK_NAME_SIZE] = {};
        const int r = marr::get_vdisk_info(listener, 1, name, marr::NvmeOps{get_nsid, submit});
        if (ret) *ret = r;
        return name;
    }

    static inline NvmeSim* g_sim = nullptr;
    MemBacking backing;
    Subsystem sub;
    QueueRef admin[2], io[2];
};

TEST(NvmePdu, HeaderChecks) {
    struct Case {
        std::vector<uint8_t> bytes;
        bool ok;
    } cases[] = {
        {{4, 0, 72, 0, 72, 0, 0, 0}, true},
        {{4, 0, 72, 72, 0x48, 2, 0, 0}, true},      // in-capsule data at byte 72
        {{4, 0, 7, 0, 72, 0, 0, 0}, false},         // header shorter than the common one
        {{4, 0, 72, 0, 71, 0, 0, 0}, false},        // PDU shorter than its header
        {{4, 0, 72, 8, 80, 0, 0, 0}, false},        // data inside the header
        {{4, 0, 72, 0, 0, 0, 0x20, 0}, false},      // 2 MiB: too long
        {{4, 0, 72, 0}, false},
    };
    for (const Case& c : cases) {
        PduHeader h;
        EXPECT_EQ(c.ok, parse_header(c.bytes, h)) << testing::PrintToString(c.bytes);
    }
}

TEST(NvmePdu, RepliesAsTheHostReadsThem) {
    const auto ic = ic_resp_pdu();
    ASSERT_EQ(128u, ic.size());
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 128, 0, 128, 0, 0, 0, 0, 0, 0, 0}), std::vector<uint8_t>(ic.begin(), ic.begin() + 12));
    EXPECT_EQ(kMaxH2CData, le32(ic, 12));  // maxdata: a multiple of 4, at least 4096

    Completion c{0x1122334455667788ull, 3, 1, 0x77, sc::kAnaInaccessible};
    const auto r = resp_pdu(c);
    ASSERT_EQ(24u, r.size());
    EXPECT_EQ(5, r[0]);
    EXPECT_EQ(0x1122334455667788ull, le64(r, 8));
    EXPECT_EQ(0x77, le16(r, 20));
    EXPECT_EQ(sc::kAnaInaccessible, le16(r, 22) >> 1);

    const std::vector<uint8_t> payload{9, 8, 7, 6};
    const auto d = c2h_data_pdu(0x33, 512, payload, true);
    EXPECT_EQ((std::vector<uint8_t>{7, kFlagDataLast, 24, 24, 28, 0, 0, 0, 0x33, 0}), std::vector<uint8_t>(d.begin(), d.begin() + 10));
    DataPdu back;
    ASSERT_TRUE(parse_data_pdu(d, back));
    EXPECT_EQ(512u, back.offset);
    EXPECT_TRUE(back.last);
    EXPECT_EQ(payload, std::vector<uint8_t>(back.data.begin(), back.data.end()));
    auto cut = d;
    put_le32(cut, 16, 5);  // claims more data than it carries
    EXPECT_FALSE(parse_data_pdu(cut, back));

    const auto t = r2t_pdu(0x33, 2, 0, 16384);
    EXPECT_EQ(9, t[0]);
    EXPECT_EQ(2, le16(t, 10));
    EXPECT_EQ(16384u, le32(t, 16));
}

TEST(NvmeText, UuidsAndAnaStates) {
    std::array<uint8_t, 16> u{};
    EXPECT_TRUE(parse_uuid("4b454c44-4f52-5a52-4e00-0000000000C1", u));
    EXPECT_EQ(0x4b, u[0]);
    EXPECT_EQ(0xc1, u[15]);
    for (const char* bad : {"4b454c44-4f52-5a52-4e00-0000000000c", "4b454c444f525a524e000000000000cz",
                            "4b454c44f-4f52-5a52-4e00-0000000000c", ""})
        EXPECT_FALSE(parse_uuid(bad, u)) << bad;
    for (const char* s : {"optimized", "non-optimized", "inaccessible", "persistent-loss", "change"}) {
        AnaState st;
        ASSERT_TRUE(parse_ana_state(s, st));
        EXPECT_STREQ(s, ana_state_name(st));
    }
    AnaState st;
    EXPECT_FALSE(parse_ana_state("standby", st));
}

TEST_F(NvmeSim, ConnectMakesOneControllerPerAdminQueue) {
    QueueRef bad, early;
    EXPECT_EQ(sc::kConnectInvalidParam | kDnr, connect(bad, 0, 0xFFFF, "nqn.other").cqe.status);
    EXPECT_EQ(sc::kInvalidOpcode | kDnr, sub.execute(bad, make(0x06, 0, 4096, {{10, 1}}), {}).cqe.status);
    enable(admin[0], io[0], 0);
    enable(admin[1], io[1], 1);
    EXPECT_EQ(1, admin[0].cntlid);
    EXPECT_EQ(2, admin[1].cntlid);
    EXPECT_EQ(2u, sub.controllers.size());
    // an I/O queue must name a live, enabled controller of its own listener
    early.listener = 1;
    EXPECT_NE(0, connect(early, 1, 1).cqe.status);
    EXPECT_NE(0, connect(early, 9, 2).cqe.status);  // beyond the queues granted
    sub.drop(1);
    QueueRef again;
    EXPECT_EQ(0, connect(again, 0).cqe.status);
    EXPECT_EQ(3, again.cntlid);  // ids are not reused at once
}

TEST_F(NvmeSim, IdentifyAnswers) {
    enable(admin[0], io[0], 0);
    const auto ctrl = sub.execute(admin[0], make(0x06, 0, 4096, {{10, 1}}), {}).data;
    ASSERT_EQ(4096u, ctrl.size());
    EXPECT_EQ("KELDORZRN", std::string(ctrl.begin() + 24, ctrl.begin() + 33));
    EXPECT_EQ(' ', ctrl[33]);
    struct Field {
        size_t at, width;
        uint64_t value;
    } fields[] = {{76, 1, 0x0B}, {78, 2, 1}, {80, 4, 0x00010400}, {344, 1, 0x5F}, {345, 4, 1}, {349, 4, 1},
                  {514, 2, 128}, {516, 4, 32}, {536, 4, 0x100001}, {1792, 4, 516}, {1800, 2, 0}};
    for (const Field& f : fields) {
        const uint64_t v = f.width == 1 ? ctrl[f.at] : f.width == 2 ? le16(ctrl, f.at) : le32(ctrl, f.at);
        EXPECT_EQ(f.value, v) << "byte " << f.at;
    }
    EXPECT_STREQ(kNqn, reinterpret_cast<const char*>(ctrl.data() + 768));

    const auto ns = sub.execute(admin[0], make(0x06, 1, 4096, {{10, 0}}), {}).data;
    EXPECT_EQ(128u, le64(ns, 0));  // 64 KiB of 512-byte blocks
    EXPECT_EQ(1, ns[30]);          // shared
    EXPECT_EQ(1u, le32(ns, 92));   // ANA group
    EXPECT_EQ(9, ns[130]);
    EXPECT_EQ(0u, le64(sub.execute(admin[0], make(0x06, 2, 4096, {{10, 0}}), {}).data, 0));  // inactive
    const auto list = sub.execute(admin[0], make(0x06, 0, 4096, {{10, 2}}), {}).data;
    EXPECT_EQ(1u, le32(list, 0));
    EXPECT_EQ(0u, le32(list, 4));
    const auto descs = sub.execute(admin[0], make(0x06, 1, 4096, {{10, 3}}), {}).data;
    EXPECT_EQ((std::vector<uint8_t>{2, 16, 0, 0, 0x4b}), std::vector<uint8_t>(descs.begin(), descs.begin() + 5));
    EXPECT_EQ((std::vector<uint8_t>{3, 16, 0, 0, 0x4b}), std::vector<uint8_t>(descs.begin() + 20, descs.begin() + 25));
    EXPECT_EQ(0xC1, descs[39]);
}

TEST_F(NvmeSim, VdiskNameThroughMorvelsGetLogPage) {
    enable(admin[0], io[0], 0);
    int ret = 1;
    EXPECT_EQ("vd_nv_01", vdisk_name(0, &ret));
    EXPECT_EQ(0, ret);
    struct Case {
        std::string name;
        PageC0 page;
        std::string want;
        int ret;
    } cases[] = {
        {"vd_nv_renamed", PageC0::answered, "vd_nv_renamed", 0},
        {std::string(70, 'x'), PageC0::answered, std::string(63, 'x'), 0},
        {"", PageC0::answered, "", -1},
        {"vd_nv_01", PageC0::absent, "", -1},
        {"vd_nv_01", PageC0::refused, "", -1},
    };
    for (const Case& c : cases) {
        sub.namespaces[0].vdisk_name = c.name;
        sub.namespaces[0].page_c0 = c.page;
        EXPECT_EQ(c.want, vdisk_name(0, &ret)) << c.name;
        EXPECT_EQ(c.ret, ret) << c.name;
    }
    EXPECT_EQ(6u, sub.namespaces[0].counters.log_c0);
    EXPECT_EQ(2u, sub.namespaces[0].counters.errors);
    const Command c0 = make(0x02, 1, 64, {{10, 0x000F00C0}});
    sub.namespaces[0].page_c0 = PageC0::answered;
    EXPECT_FALSE(sub.c0_held_back(c0));
    sub.namespaces[0].c0_hang = true;
    EXPECT_TRUE(sub.c0_held_back(c0));
    EXPECT_FALSE(sub.c0_held_back(make(0x02, 1, 64, {{10, 0x000F000C}})));
}

TEST_F(NvmeSim, AnaChangeCompletesTheHeldEventRequest) {
    enable(admin[0], io[0], 0);
    enable(admin[1], io[1], 1);
    EXPECT_TRUE(sub.execute(admin[0], make(0x0C), {}).held);
    EXPECT_TRUE(sub.set_ana(0, AnaState::optimized).empty());  // no change
    const auto sent = sub.set_ana(0, AnaState::inaccessible);
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(1, sent[0].first);
    EXPECT_EQ(0x000C0302u, sent[0].second.result);
    // the other listener's controller had no AER held: its next one is answered at once
    EXPECT_TRUE(sub.set_ana(1, AnaState::non_optimized).empty());
    const Outcome late = sub.execute(admin[1], make(0x0C), {});
    EXPECT_FALSE(late.held);
    EXPECT_EQ(0x000C0302u, late.cqe.result);

    const auto log = sub.execute(admin[0], make(0x02, 0xFFFFFFFF, 4096, {{10, 0x03FF000C}}), {}).data;
    ASSERT_EQ(4096u, log.size());
    EXPECT_EQ(3u, le64(log, 0));  // change count
    EXPECT_EQ(1u, le16(log, 8));
    EXPECT_EQ(1u, le32(log, 16));
    EXPECT_EQ(1u, le32(log, 20));
    EXPECT_EQ(0x03, log[32]);
    EXPECT_EQ(1u, le32(log, 48));
    EXPECT_EQ(0x02, sub.execute(admin[1], make(0x02, 0xFFFFFFFF, 64, {{10, 0x000F010C}}), {}).data[32]);
    EXPECT_EQ(0u, le32(sub.execute(admin[1], make(0x02, 0xFFFFFFFF, 64, {{10, 0x000F010C}}), {}).data, 20));

    EXPECT_EQ(sc::kAnaInaccessible, sub.execute(io[0], make(0x02, 1, 512, {{10, 0}}), {}).cqe.status);
    EXPECT_EQ(0, sub.execute(io[1], make(0x02, 1, 512, {{10, 0}}), {}).cqe.status);
}

TEST_F(NvmeSim, ReadWriteFlush) {
    enable(admin[0], io[0], 0);
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
    EXPECT_EQ(0, sub.execute(io[0], make(0x01, 1, 1024, {{10, 126}, {12, 1}}), data).cqe.status);
    EXPECT_EQ(data, sub.execute(io[0], make(0x02, 1, 1024, {{10, 126}, {12, 1}}), {}).data);
    EXPECT_EQ(0, sub.execute(io[0], make(0x00, 1), {}).cqe.status);
    struct Case {
        Command cmd;
        std::vector<uint8_t> out;
        uint16_t status;
    } bad[] = {
        {make(0x02, 1, 1024, {{10, 127}, {12, 1}}), {}, sc::kLbaRange | kDnr},    // past the end
        {make(0x01, 1, 1024, {{10, 0}, {12, 1}}), {1, 2}, sc::kInvalidField | kDnr},  // short data
        {make(0x02, 2, 512, {{10, 0}}), {}, sc::kInvalidNs | kDnr},
        {make(0x08, 1, 0, {{10, 0}}), {}, sc::kInvalidOpcode | kDnr},  // Write Zeroes: not offered
    };
    for (const Case& c : bad) EXPECT_EQ(c.status, sub.execute(io[0], c.cmd, c.out).cqe.status) << int(c.cmd.opcode());
    EXPECT_EQ(2u, sub.namespaces[0].counters.reads);
}

}  // namespace
}  // namespace keldorsim::nvme
