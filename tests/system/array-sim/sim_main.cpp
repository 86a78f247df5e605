// keldor_array_sim: the userspace half of a simulated Keldor array for the system tests. It
// serves LUNs of the kernel's user backstore (LIO TCM-User): each LUN is a file with a vendor,
// a product, an NAA-6 WWID, a serial number and a vdisk name that vendor page 0xD0 reports.
//
//   keldor_array_sim --state DIR --lun BACKSTORE,FILE,WWID,SERIAL,VDISK_NAME [--lun ...]
//
// BACKSTORE is the name of the user backstore device in configfs (its UIO device is found by
// it). Per LUN, DIR/BACKSTORE/ holds the switches, read again at every INQUIRY and while a
// request waits:
//   vdisk_name   the name page 0xD0 reports (rename the vdisk by replacing this file)
//   page_d0      "1": page 0x00 lists page 0xD0 and it is answered; "0": it is not listed (and
//                refused); "refuse": it is listed, but asking for it ends in CHECK CONDITION
//   latency_ms   N: page 0xD0 is answered N ms after it was asked (0: at once)
//   hang         "1": page 0xD0 is not answered at all until this is "0" again
// Every other command is answered at once, also while a page 0xD0 request waits (the ring's
// commands are answered out of order). The server keeps DIR/BACKSTORE/requests up to date
// ("<kind> <count>" lines: commands, inquiry_vpd_00, inquiry_vpd_d0 (answered), d0_held (kept
// waiting), check_conditions, ...).
// DIR/ready appears when every LUN's ring is open. SIGTERM or SIGINT ends the server.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/system/array-sim/scsi_lun.h"
#include "tests/system/array-sim/sim_files.h"
#include "tests/system/array-sim/tcmu_ring.h"

namespace keldorsim {
namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

using Clock = std::chrono::steady_clock;

struct Lun {
    struct Held {
        RingCommand cmd;
        Clock::time_point due;
    };
    std::string backstore;
    std::string dir;
    LunIdentity id;
    LunSwitches sw;
    LunCounters counters;
    uint64_t d0_held = 0;
    std::unique_ptr<FileBacking> backing;
    TcmuRing ring;
    std::vector<Held> held;  // page 0xD0 requests kept waiting
    std::string written;  // the requests file as last written

    void reload_switches() {
        std::string name, d0, latency, hang;
        if (read_first_line(dir + "/vdisk_name", name)) sw.vdisk_name = name;
        if (read_first_line(dir + "/page_d0", d0)) sw.page_d0 = d0 == "0" ? PageD0::unlisted : d0 == "refuse" ? PageD0::refused : PageD0::answered;
        sw.d0_delay_ms = read_first_line(dir + "/latency_ms", latency) ? std::strtoul(latency.c_str(), nullptr, 10) : 0;
        sw.d0_hang = read_first_line(dir + "/hang", hang) && hang == "1";
    }
    void answer(const RingCommand& c) { ring.complete(c, execute(id, sw, counters, *backing, c.cdb, c.out, c.room)); }
    // Answers the new commands, keeps back those the switches hold, answers the held ones that
    // are due; the time of the next one due, if any, makes wake earlier.
    void serve(Clock::time_point now, Clock::time_point& wake) {
        for (RingCommand& c : ring.fetch()) {
            if (c.cdb[0] == 0x12) reload_switches();
            if (held_back(sw, c.cdb)) {
                ++d0_held;
                held.push_back({std::move(c), now + std::chrono::milliseconds(sw.d0_delay_ms)});
            } else {
                answer(c);
            }
        }
        if (held.empty()) return;
        reload_switches();
        for (auto h = held.begin(); h != held.end();) {
            if (!sw.d0_hang && now >= h->due) {
                answer(h->cmd);
                h = held.erase(h);
                continue;
            }
            if (!sw.d0_hang) wake = std::min(wake, h->due);
            ++h;
        }
    }
    // Rewrites the requests file when a count changed since it was last written.
    void write_counters() {
        std::ostringstream o;
        o << "commands " << counters.commands << "\n"
          << "inquiry_std " << counters.inquiry_std << "\n"
          << "inquiry_vpd_00 " << counters.inquiry_vpd_00 << "\n"
          << "inquiry_vpd_d0 " << counters.inquiry_vpd_d0 << "\n"
          << "d0_held " << d0_held << "\n"
          << "inquiry_vpd_other " << counters.inquiry_vpd_other << "\n"
          << "reads " << counters.reads << "\n"
          << "writes " << counters.writes << "\n"
          << "check_conditions " << counters.check_conditions << "\n";
        if (o.str() == written) return;
        if (put_file(dir + "/requests", o.str())) written = o.str();
    }
};

int usage() {
    std::fprintf(stderr, "usage: keldor_array_sim --state DIR --lun BACKSTORE,FILE,WWID,SERIAL,VDISK_NAME ...\n");
    return 2;
}

int run(int argc, char** argv) {
    std::string state;
    std::vector<std::unique_ptr<Lun>> luns;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--state" && i + 1 < argc) {
            state = argv[++i];
        } else if (a == "--lun" && i + 1 < argc) {
            const auto f = split(argv[++i], ',');
            if (f.size() != 5) return usage();
            auto lun = std::make_unique<Lun>();
            lun->backstore = f[0];
            lun->id.wwid = f[2];
            lun->id.serial = f[3];
            lun->sw.vdisk_name = f[4];
            if (wwid_to_naa(f[2]).empty()) {
                std::fprintf(stderr, "keldor_array_sim: %s is not an NAA-6 WWID of 33 characters\n", f[2].c_str());
                return 2;
            }
            const int fd = open(f[1].c_str(), O_RDWR | O_CLOEXEC);
            struct stat st {};
            if (fd < 0 || fstat(fd, &st) != 0) {
                std::fprintf(stderr, "keldor_array_sim: %s: %s\n", f[1].c_str(), std::strerror(errno));
                return 1;
            }
            lun->id.size_bytes = static_cast<uint64_t>(st.st_size);
            lun->backing = std::make_unique<FileBacking>(fd);
            luns.push_back(std::move(lun));
        } else {
            return usage();
        }
    }
    if (state.empty() || luns.empty()) return usage();

    mkdir(state.c_str(), 0755);
    for (auto& l : luns) {
        l->dir = state + "/" + l->backstore;
        mkdir(l->dir.c_str(), 0755);
        if (access((l->dir + "/vdisk_name").c_str(), F_OK) != 0) put_file(l->dir + "/vdisk_name", l->sw.vdisk_name + "\n");
        if (access((l->dir + "/page_d0").c_str(), F_OK) != 0) put_file(l->dir + "/page_d0", "1\n");
        l->reload_switches();
        const std::string uio = find_uio(l->backstore);
        if (uio.empty()) {
            std::fprintf(stderr, "keldor_array_sim: no user backstore device %s\n", l->backstore.c_str());
            return 1;
        }
        if (!l->ring.open(uio)) {
            std::fprintf(stderr, "keldor_array_sim: %s: %s\n", l->backstore.c_str(), l->ring.error().c_str());
            return 1;
        }
        l->write_counters();
        std::fprintf(stderr, "keldor_array_sim: %s on %s: WWID %s, vdisk %s, %llu bytes\n", l->backstore.c_str(),
                     uio.c_str(), l->id.wwid.c_str(), l->sw.vdisk_name.c_str(),
                     static_cast<unsigned long long>(l->id.size_bytes));
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    put_file(state + "/ready", std::to_string(getpid()) + "\n");

    std::vector<pollfd> fds;
    for (auto& l : luns) fds.push_back({l->ring.fd(), POLLIN, 0});
    while (!g_stop) {
        const Clock::time_point now = Clock::now();
        Clock::time_point wake = now + std::chrono::seconds(1);
        for (auto& l : luns) {
            l->serve(now, wake);
            l->write_counters();
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
        if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(wait, 0))) < 0 && errno != EINTR) {
            std::perror("keldor_array_sim: poll");
            return 1;
        }
    }
    std::fprintf(stderr, "keldor_array_sim: stopped\n");
    return 0;
}

}  // namespace
}  // namespace keldorsim

int main(int argc, char** argv) { return keldorsim::run(argc, argv); }
