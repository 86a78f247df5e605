// keldor_nvme_sim: the NVMe/TCP side of the simulated Keldor array for the system tests. A
// userspace NVMe-over-TCP target: one NVM subsystem (model KELDORZRN) whose namespaces are
// files, served over one or more listeners; each admin queue's Connect makes a controller of
// its own (ids counting up from 1, never two alike at once), so the host sees one subsystem
// with a controller per port and reconnects (controller reset, module reload, a port that came
// back) get fresh controllers.
//
//   keldor_nvme_sim --state DIR --nqn NQN --listen ADDR:PORT [--listen ...]
//                   --ns NAME,NSID,FILE,UUID,NGUID,VDISK_NAME [--ns ...]
//
// e.g. --listen 127.0.0.5:4420 --listen 127.0.0.6:4420 --ns nv_a,1,/run/nv_a.img,
// 4b454c44-4f52-5a52-4e00-0000000000c1,4b454c444f525a524e000000000000c1,vd_nv_01, then on the
// host `nvme connect -t tcp -a 127.0.0.5 -s 4420 -n NQN` and the same for 127.0.0.6. The
// namespace's WWID is uuid.<UUID> (the kernel prefers the UUID to the NGUID). No digests are
// offered: connect without -g/-G.
//
// Answered: ICReq; Connect (admin and I/O queues), Property Get/Set (CAP, VS, CC, CSTS);
// Identify (controller, namespace, active namespace list, namespace descriptors, the I/O command
// set's controller page); Get Log Page (error, SMART, firmware, changed namespaces, ANA 0x0C and
// the array's vendor page 0xC0: the vdisk name from byte 0, NUL-ended, 64 bytes); Set/Get
// Features; Keep Alive; Asynchronous Event Request (held; completed with the ANA change notice);
// Abort (never aborts); Read, Write (in the capsule up to 8 KiB, else R2T and H2CData) and Flush.
// Every namespace is in ANA group 1, whose state is set per listener.
//
// Switches, read again at every request for page 0xC0 (and while one waits), or every 200 ms:
//   DIR/portN/ana_state     listener N (1, 2, ... in the order given): optimized, non-optimized,
//                           inaccessible, persistent-loss or change. A change counts up the ANA
//                           change count and completes a held AER of each controller of that
//                           listener with the ANA change notice (the host rereads the ANA log).
//                           Reads and writes through a listener that is inaccessible,
//                           persistent-loss or change fail with that ANA status.
//   DIR/NAME/vdisk_name     the name page 0xC0 reports (rename by replacing this file)
//   DIR/NAME/page_c0        "1" answered; "0" Invalid Log Page; "refuse" Invalid Field
//   DIR/NAME/latency_ms     N: page 0xC0 is answered N ms after it was asked (0: at once)
//   DIR/NAME/hang           "1": page 0xC0 is not answered at all until this is "0" again
// Every other command is answered at once, also while a page 0xC0 request waits. A controller
// whose queues send nothing for three times its keep-alive timeout (the host's KATO) is dropped.
// Counters: DIR/requests (admin_connects, io_connects, admin_commands, io_commands, keep_alives,
// ana_log, events, errors, connections), DIR/NAME/requests (commands, identify, log_c0 (asked),
// c0_held (kept waiting), reads, writes, flushes, errors), DIR/controllers (one line per live
// controller: "cntlid port queues hostnqn").
// DIR/ready (holding the pid) appears when every listener listens. SIGTERM or SIGINT ends it.
//
// In the test VM, guest/arrays.sh starts it (nvsim_up: two namespaces on 127.0.0.5:4420 and
// 127.0.0.6:4420, state in /run/keldor-nvme-sim), stops it (nvsim_down) and sets and reads its
// switches (nvsim_set, nvsim_count). A page 0xC0 request kept waiting past the host's command
// limit makes the Linux host reset that controller and connect again (a new controller id).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/system/array-sim/nvme_target.h"
#include "tests/system/array-sim/sim_files.h"
#include "tests/system/array-sim/tcmu_ring.h"

namespace keldorsim::nvme {
namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

using Clock = std::chrono::steady_clock;
constexpr size_t kMaxBacklog = 64 * 1024 * 1024;  // a peer that reads nothing is dropped

// One TCP connection: one queue of a controller.
struct Conn {
    struct Pending {  // a write waiting for its data (H2CData)
        Command cmd;
        std::vector<uint8_t> data;
        size_t got = 0;
    };
    uint64_t id = 0;
    int fd = -1;
    QueueRef q;
    bool ic_done = false, dead = false;
    std::vector<uint8_t> in, out;
    size_t out_at = 0;
    uint16_t sqhd = 0, next_ttag = 1;
    Clock::time_point last_command = Clock::now();
    std::map<uint16_t, Pending> pending;  // by transfer tag
};

struct Held {
    uint64_t conn;
    Command cmd;
    Clock::time_point due;
};

struct NsFiles {
    std::string dir;
    std::unique_ptr<FileBacking> backing;
    uint64_t held = 0;
    std::string written;
};

class Server {
public:
    Subsystem sub;
    std::string state;
    std::vector<std::pair<std::string, uint16_t>> listen_at;
    std::vector<NsFiles> files;  // by namespace, in the order of sub.namespaces

    int run();
    bool add_ns(const std::string& arg);

private:
    std::vector<int> listeners_;
    std::map<uint64_t, std::unique_ptr<Conn>> conns_;
    std::vector<Held> held_;
    uint64_t next_conn_ = 1, connections_ = 0;
    std::string written_, written_ctrls_;

    std::string port_dir(size_t i) const { return state + "/port" + std::to_string(i + 1); }
    void reload_ns(size_t i);
    void reload_ana();
    void send(Conn& c, const std::vector<uint8_t>& pdu) {
        c.out.insert(c.out.end(), pdu.begin(), pdu.end());
        if (c.out.size() - c.out_at > kMaxBacklog) c.dead = true;
    }
    void complete(Conn& c, Completion cqe) {
        cqe.sq_head = c.sqhd = static_cast<uint16_t>((c.sqhd + 1) % kQueueEntries);
        cqe.sq_id = c.q.qid;
        send(c, resp_pdu(cqe));
    }
    void run_command(Conn& c, const Command& cmd, std::span<const uint8_t> data);
    void dispatch(Conn& c, const Command& cmd, std::span<const uint8_t> data);
    void handle(Conn& c, const PduHeader& h, std::span<const uint8_t> pdu);
    void receive(Conn& c);
    void flush(Conn& c);
    void serve_held(Clock::time_point now, Clock::time_point& wake);
    void close_conn(Conn& c);
    void expire(Clock::time_point now);
    void write_counters();
    bool listen_all();
};

bool Server::add_ns(const std::string& arg) {
    const auto f = split(arg, ',');
    if (f.size() != 6) return false;
    Namespace n;
    n.name = f[0];
    n.nsid = static_cast<uint32_t>(std::strtoul(f[1].c_str(), nullptr, 10));
    n.vdisk_name = f[5];
    if (n.nsid == 0 || n.nsid > kMaxNamespaces || !parse_uuid(f[3], n.uuid) || !parse_uuid(f[4], n.nguid) ||
        f[4].size() != 32) {
        std::fprintf(stderr, "keldor_nvme_sim: %s: NSID 1 to %u, a UUID and an NGUID of 32 hex digits\n", arg.c_str(),
                     kMaxNamespaces);
        return false;
    }
    const int fd = open(f[2].c_str(), O_RDWR | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::fprintf(stderr, "keldor_nvme_sim: %s: %s\n", f[2].c_str(), std::strerror(errno));
        return false;
    }
    n.size_bytes = static_cast<uint64_t>(st.st_size);
    NsFiles nf;
    nf.backing = std::make_unique<FileBacking>(fd);
    sub.namespaces.push_back(n);
    files.push_back(std::move(nf));
    return true;
}

void Server::reload_ns(size_t i) {
    Namespace& n = sub.namespaces[i];
    const std::string& dir = files[i].dir;
    std::string name, c0, latency, hang;
    if (read_first_line(dir + "/vdisk_name", name)) n.vdisk_name = name;
    if (read_first_line(dir + "/page_c0", c0))
        n.page_c0 = c0 == "0" ? PageC0::absent : c0 == "refuse" ? PageC0::refused : PageC0::answered;
    n.c0_delay_ms = read_first_line(dir + "/latency_ms", latency) ? std::strtoul(latency.c_str(), nullptr, 10) : 0;
    n.c0_hang = read_first_line(dir + "/hang", hang) && hang == "1";
}

void Server::reload_ana() {
    for (size_t i = 0; i < sub.ana.size(); ++i) {
        std::string text;
        AnaState st;
        if (!read_first_line(port_dir(i) + "/ana_state", text) || !parse_ana_state(text, st)) continue;
        for (const auto& [cntlid, cqe] : sub.set_ana(i, st)) {
            std::fprintf(stderr, "keldor_nvme_sim: port%zu %s: ANA change notice to controller %u\n", i + 1, text.c_str(),
                         cntlid);
            for (auto& [id, c] : conns_)
                if (c->q.connected && c->q.qid == 0 && c->q.cntlid == cntlid) complete(*c, cqe);
        }
    }
}

// A controller whose queues were all silent for three keep-alive timeouts is gone (its host lost
// the network or died): its connections are closed, so that no stale controller stays.
void Server::expire(Clock::time_point now) {
    std::map<uint16_t, Clock::time_point> last;
    for (const auto& [id, c] : conns_)
        if (c->q.connected) last[c->q.cntlid] = std::max(last[c->q.cntlid], c->last_command);
    for (const auto& [cntlid, ctrl] : sub.controllers) {
        const auto l = last.find(cntlid);
        if (ctrl.kato_ms == 0 || l == last.end() || now - l->second < std::chrono::milliseconds(3ull * ctrl.kato_ms))
            continue;
        std::fprintf(stderr, "keldor_nvme_sim: controller %u: no command for 3 keep-alive timeouts\n", cntlid);
        for (auto& [id, c] : conns_)
            if (c->q.connected && c->q.cntlid == cntlid) c->dead = true;
    }
}

void Server::run_command(Conn& c, const Command& cmd, std::span<const uint8_t> data) {
    const bool was_connected = c.q.connected;
    Outcome o = sub.execute(c.q, cmd, data);
    if (!was_connected && c.q.connected)
        std::fprintf(stderr, "keldor_nvme_sim: port%zu: controller %u queue %u connected\n", c.q.listener + 1,
                     c.q.cntlid, c.q.qid);
    if (o.held) return;
    if (!o.data.empty()) send(c, c2h_data_pdu(cmd.cid(), 0, o.data, true));
    complete(c, o.cqe);
}

void Server::dispatch(Conn& c, const Command& cmd, std::span<const uint8_t> data) {
    if (c.q.connected && c.q.qid == 0 && cmd.opcode() == 0x02 && (cmd.cdw(10) & 0xFF) == kLogVdisk) {
        for (size_t i = 0; i < sub.namespaces.size(); ++i)
            if (sub.namespaces[i].nsid == cmd.nsid()) reload_ns(i);
        if (sub.c0_held_back(cmd)) {
            Namespace* n = sub.find_ns(cmd.nsid());
            ++files[static_cast<size_t>(n - sub.namespaces.data())].held;
            held_.push_back({c.id, cmd, Clock::now() + std::chrono::milliseconds(n->c0_delay_ms)});
            return;
        }
    }
    run_command(c, cmd, data);
}

void Server::serve_held(Clock::time_point now, Clock::time_point& wake) {
    if (held_.empty()) return;
    for (size_t i = 0; i < sub.namespaces.size(); ++i) reload_ns(i);
    for (auto h = held_.begin(); h != held_.end();) {
        auto c = conns_.find(h->conn);
        const Namespace* n = sub.find_ns(h->cmd.nsid());
        if (c == conns_.end() || !n) {  // its queue is gone
            h = held_.erase(h);
            continue;
        }
        if (!n->c0_hang && now >= h->due) {
            run_command(*c->second, h->cmd, {});
            h = held_.erase(h);
            continue;
        }
        if (!n->c0_hang) wake = std::min(wake, h->due);
        ++h;
    }
}

void Server::handle(Conn& c, const PduHeader& h, std::span<const uint8_t> pdu) {
    if (!c.ic_done) {
        if (h.type != kIcReq || h.plen != kIcLen) {
            c.dead = true;
            return;
        }
        c.ic_done = true;
        send(c, ic_resp_pdu());
        return;
    }
    switch (h.type) {
    case kCapsuleCmd: {
        if (h.hlen < kCmdPduLen) {
            c.dead = true;
            return;
        }
        Command cmd;
        std::copy(pdu.begin() + kHdrLen, pdu.begin() + kCmdPduLen, cmd.b.begin());
        std::span<const uint8_t> data;
        if (h.plen > h.hlen) data = pdu.subspan(h.pdo ? h.pdo : h.hlen);
        if (cmd.writes() && data.empty() && cmd.data_length() > 0) {
            if (cmd.data_length() > kMaxPdu) {
                Completion bad;
                bad.cid = cmd.cid();
                bad.status = sc::kInvalidField | kDnr;
                complete(c, bad);
                return;
            }
            const uint16_t ttag = c.next_ttag++;
            if (c.next_ttag == 0xFFFF) c.next_ttag = 1;
            c.pending[ttag] = {cmd, std::vector<uint8_t>(cmd.data_length()), 0};
            send(c, r2t_pdu(cmd.cid(), ttag, 0, cmd.data_length()));
            return;
        }
        c.last_command = Clock::now();
        dispatch(c, cmd, data);
        return;
    }
    case kH2CData: {
        DataPdu d;
        auto p = c.pending.end();
        if (parse_data_pdu(pdu, d)) p = c.pending.find(d.ttag);
        if (p == c.pending.end() || d.offset > p->second.data.size() || d.length > p->second.data.size() - d.offset) {
            c.dead = true;
            return;
        }
        std::copy(d.data.begin(), d.data.end(), p->second.data.begin() + d.offset);
        p->second.got += d.length;
        if (p->second.got >= p->second.data.size()) {
            const Conn::Pending done = std::move(p->second);
            c.pending.erase(p);
            dispatch(c, done.cmd, done.data);
        }
        return;
    }
    default:  // H2CTermReq or anything a host does not send: the connection ends
        c.dead = true;
    }
}

void Server::receive(Conn& c) {
    uint8_t buf[65536];
    for (;;) {
        const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            c.in.insert(c.in.end(), buf, buf + n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) c.dead = true;
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    size_t at = 0;
    while (!c.dead && c.in.size() - at >= kHdrLen) {
        PduHeader h;
        std::span<const uint8_t> rest(c.in.data() + at, c.in.size() - at);
        if (!parse_header(rest, h)) {
            c.dead = true;
            break;
        }
        if (rest.size() < h.plen) break;
        handle(c, h, rest.first(h.plen));
        at += h.plen;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(at));
}

void Server::flush(Conn& c) {
    while (c.out_at < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.out_at, c.out.size() - c.out_at, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            c.out_at += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) c.dead = true;
        break;
    }
    if (c.out_at == c.out.size()) {
        c.out.clear();
        c.out_at = 0;
    }
}

void Server::close_conn(Conn& c) {
    if (c.q.connected && c.q.qid == 0) {
        std::fprintf(stderr, "keldor_nvme_sim: port%zu: controller %u gone\n", c.q.listener + 1, c.q.cntlid);
        sub.drop(c.q.cntlid);
    }
    close(c.fd);
}

void Server::write_counters() {
    std::ostringstream o;
    const SubsysCounters& k = sub.counters;
    o << "admin_connects " << k.admin_connects << "\nio_connects " << k.io_connects << "\nadmin_commands "
      << k.admin_commands << "\nio_commands " << k.io_commands << "\nkeep_alives " << k.keep_alives << "\nana_log "
      << k.ana_log << "\nevents " << k.events << "\nerrors " << k.errors << "\nconnections " << connections_ << "\n";
    if (o.str() != written_ && put_file(state + "/requests", o.str())) written_ = o.str();
    std::ostringstream ctrls;
    for (const auto& [id, c] : sub.controllers)
        ctrls << id << " " << c.listener + 1 << " " << c.io_queues << " " << c.hostnqn << "\n";
    if (ctrls.str() != written_ctrls_ && put_file(state + "/controllers", ctrls.str())) written_ctrls_ = ctrls.str();
    for (size_t i = 0; i < sub.namespaces.size(); ++i) {
        const NsCounters& n = sub.namespaces[i].counters;
        std::ostringstream s;
        s << "commands " << n.commands << "\nidentify " << n.identify << "\nlog_c0 " << n.log_c0 << "\nc0_held "
          << files[i].held << "\nreads " << n.reads << "\nwrites " << n.writes << "\nflushes " << n.flushes
          << "\nerrors " << n.errors << "\n";
        if (s.str() != files[i].written && put_file(files[i].dir + "/requests", s.str())) files[i].written = s.str();
    }
}

bool Server::listen_all() {
    for (const auto& [addr, port] : listen_at) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int one = 1;
        if (fd < 0 || inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1 ||
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 64) != 0) {
            std::fprintf(stderr, "keldor_nvme_sim: cannot listen on %s:%u: %s\n", addr.c_str(), port, std::strerror(errno));
            return false;
        }
        listeners_.push_back(fd);
    }
    return true;
}

int Server::run() {
    mkdir(state.c_str(), 0755);
    sub.ana.assign(listen_at.size(), AnaState::optimized);
    for (size_t i = 0; i < listen_at.size(); ++i) {
        mkdir(port_dir(i).c_str(), 0755);
        put_file(port_dir(i) + "/address", listen_at[i].first + ":" + std::to_string(listen_at[i].second) + "\n");
        if (access((port_dir(i) + "/ana_state").c_str(), F_OK) != 0) put_file(port_dir(i) + "/ana_state", "optimized\n");
    }
    for (size_t i = 0; i < sub.namespaces.size(); ++i) {
        Namespace& n = sub.namespaces[i];
        files[i].dir = state + "/" + n.name;
        n.backing = files[i].backing.get();
        mkdir(files[i].dir.c_str(), 0755);
        if (access((files[i].dir + "/vdisk_name").c_str(), F_OK) != 0)
            put_file(files[i].dir + "/vdisk_name", n.vdisk_name + "\n");
        if (access((files[i].dir + "/page_c0").c_str(), F_OK) != 0) put_file(files[i].dir + "/page_c0", "1\n");
        reload_ns(i);
        std::fprintf(stderr, "keldor_nvme_sim: %s: nsid %u, vdisk %s, %llu bytes\n", n.name.c_str(), n.nsid,
                     n.vdisk_name.c_str(), static_cast<unsigned long long>(n.size_bytes));
    }
    reload_ana();
    if (!listen_all()) return 1;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    write_counters();
    put_file(state + "/ready", std::to_string(getpid()) + "\n");

    while (!g_stop) {
        const Clock::time_point now = Clock::now();
        Clock::time_point wake = now + std::chrono::milliseconds(200);
        reload_ana();
        serve_held(now, wake);
        expire(now);
        for (auto& [id, c] : conns_) flush(*c);
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (!it->second->dead) {
                ++it;
                continue;
            }
            close_conn(*it->second);
            it = conns_.erase(it);
        }
        write_counters();

        std::vector<pollfd> fds;
        for (int l : listeners_) fds.push_back({l, POLLIN, 0});
        std::vector<Conn*> order;
        for (auto& [id, c] : conns_) {
            fds.push_back({c->fd, static_cast<short>(POLLIN | (c->out.size() > c->out_at ? POLLOUT : 0)), 0});
            order.push_back(c.get());
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
        if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(wait, 0))) < 0) {
            if (errno == EINTR) continue;
            std::perror("keldor_nvme_sim: poll");
            return 1;
        }
        for (size_t i = 0; i < listeners_.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            const int fd = accept4(listeners_[i], nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) continue;
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto c = std::make_unique<Conn>();
            c->id = next_conn_++;
            c->fd = fd;
            c->q.listener = i;
            ++connections_;
            conns_[c->id] = std::move(c);
        }
        for (size_t i = 0; i < order.size(); ++i) {
            const short ev = fds[listeners_.size() + i].revents;
            if (ev & (POLLIN | POLLHUP | POLLERR)) receive(*order[i]);
            if (!order[i]->dead) flush(*order[i]);
        }
    }
    for (auto& [id, c] : conns_) close_conn(*c);
    std::fprintf(stderr, "keldor_nvme_sim: stopped\n");
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: keldor_nvme_sim --state DIR --nqn NQN --listen ADDR:PORT ... "
                 "--ns NAME,NSID,FILE,UUID,NGUID,VDISK_NAME ...\n");
    return 2;
}

int main_(int argc, char** argv) {
    Server s;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        const std::string v = argv[++i];
        if (a == "--state") {
            s.state = v;
        } else if (a == "--nqn") {
            s.sub.nqn = v;
        } else if (a == "--listen") {
            const size_t colon = v.rfind(':');
            if (colon == std::string::npos) return usage();
            s.listen_at.emplace_back(v.substr(0, colon), static_cast<uint16_t>(std::strtoul(v.c_str() + colon + 1, nullptr, 10)));
        } else if (a == "--ns") {
            if (!s.add_ns(v)) return 2;
        } else {
            return usage();
        }
    }
    if (s.state.empty() || s.sub.nqn.empty() || s.listen_at.empty() || s.sub.namespaces.empty()) return usage();
    return s.run();
}

}  // namespace
}  // namespace keldorsim::nvme

int main(int argc, char** argv) { return keldorsim::nvme::main_(argc, argv); }
