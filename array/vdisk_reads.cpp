// The in-band vdisk-name reads of one query, in threads of a helper process. The helper
// tells the caller over a pipe when each read starts and what it gave; the caller keeps
// the clock. See vdisk_reads.h for why a process of its own.
#include "array/vdisk_reads.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "common/comm_util.h"
#include "common/file_util.h"
#include "common/log.h"

namespace morvel::array {

using common::LOG_ERROR;

namespace {

using Clock = std::chrono::steady_clock;

// ---- messages: u32 length of the rest, u8 kind, u32 index, and for a result its fields ----

enum : uint8_t { kStarted = 1, kDone = 2 };

void putU32(std::string &out, uint32_t v) { out.append(reinterpret_cast<const char *>(&v), sizeof v); }
void putText(std::string &out, const std::string &s) {
    putU32(out, static_cast<uint32_t>(s.size()));
    out += s;
}

// Reads fields off a message body, failing (for good) when the body is too short.
struct Fields {
    std::string_view rest;
    bool ok = true;
    uint32_t u32() {
        uint32_t v = 0;
        if (rest.size() < sizeof v) return ok = false, 0;
        std::memcpy(&v, rest.data(), sizeof v);
        rest.remove_prefix(sizeof v);
        return v;
    }
    std::string text() {
        const uint32_t n = u32();
        if (!ok || rest.size() < n) return ok = false, std::string();
        std::string s(rest.substr(0, n));
        rest.remove_prefix(n);
        return s;
    }
};

std::string message(uint8_t kind, uint32_t index, const std::string &body = {}) {
    std::string out;
    putU32(out, static_cast<uint32_t>(1 + sizeof index + body.size()));
    out += static_cast<char>(kind);
    putU32(out, index);
    return out + body;
}

// ---- the helper process ----

struct Helper {
    Helper(int f, const std::vector<VdiskRead> &r, VdiskNameReader rd) : fd(f), reads(&r), reader(rd) {}
    int fd;
    const std::vector<VdiskRead> *reads;
    VdiskNameReader reader;
    std::atomic<size_t> next{0};
    std::mutex sending;

    void send(const std::string &msg) {
        std::lock_guard<std::mutex> hold(sending);
        (void)common::writeAll(fd, msg.data(), msg.size());
    }
};

VdiskReadResult readOne(const VdiskRead &read, VdiskNameReader reader) {
    VdiskReadResult r;
    common::LogHold hold(r.lines);
    const bool got = reader(read, r.name) == 0 && r.name[0] != '\0';
    r.outcome = got ? ReadOutcome::Read : ReadOutcome::Failed;
    if (!got) r.name[0] = '\0';
    return r;
}

void *work(void *arg) {
    Helper &h = *static_cast<Helper *>(arg);
    for (size_t i; (i = h.next++) < h.reads->size();) {
        const auto index = static_cast<uint32_t>(i);
        h.send(encodeReadStarted(index));
        h.send(encodeReadDone(index, readOne((*h.reads)[i], h.reader)));
    }
    return nullptr;
}

// The helper keeps the pipe and nothing else of the caller's: standard input, output and
// error are /dev/null, every other descriptor is closed. It never returns.
[[noreturn]] void serve(int fd, const std::vector<VdiskRead> &reads, unsigned atOnce, VdiskNameReader reader) {
    int null = open("/dev/null", O_RDWR);
    for (int std : {0, 1, 2})
        if (null >= 0 && std != fd && std != null) dup2(null, std);
    if (fd > 3) close_range(3, static_cast<unsigned>(fd) - 1, 0);
    close_range(static_cast<unsigned>(std::max(fd, 2)) + 1, ~0U, 0);
    Helper h(fd, reads, reader);
    std::vector<pthread_t> threads;
    const size_t extra = std::min<size_t>(std::max(atOnce, 1U), reads.size()) - 1;
    for (size_t t = 0; t < extra; ++t) {
        pthread_t id;
        if (pthread_create(&id, nullptr, work, &h) == 0) threads.push_back(id);
    }
    work(&h);
    for (pthread_t id : threads) pthread_join(id, nullptr);
    _exit(0);
}

// ---- the caller's side ----

struct Slot {
    bool started = false, settled = false;
    Clock::time_point since;
};

class Collector {
public:
    Collector(size_t n, const ReadLimits &limits)
        : results_(n), slots_(n), open_(n), limits_(limits), end_(Clock::now() + ms(limits.allReadsMs)) {}

    // Reads the helper's messages until every read is settled; true when every one was
    // answered (the helper is done or about to be).
    bool run(int fd) {
        bool eof = false;
        while (open_ > 0) {
            const Clock::time_point now = Clock::now();
            Clock::time_point wake = end_;
            for (size_t i = 0; i < slots_.size(); ++i) {
                if (!slots_[i].started || slots_[i].settled) continue;
                const Clock::time_point limit = slots_[i].since + ms(limits_.perReadMs);
                if (now >= limit)
                    settle(i, ReadOutcome::TimedOut);
                else
                    wake = std::min(wake, limit);
            }
            if (open_ == 0) break;
            if (now >= end_ || eof) {
                // the helper is gone without an answer (it crashed): those reads failed
                for (size_t i = 0; i < slots_.size(); ++i)
                    if (!slots_[i].settled)
                        settle(i, eof ? ReadOutcome::Failed
                                      : (slots_[i].started ? ReadOutcome::TimedOut : ReadOutcome::NotStarted));
                break;
            }
            const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(waitMs)) <= 0) continue;
            char buf[65536];
            const ssize_t got = read(fd, buf, sizeof buf);
            if (got > 0)
                inbox_.append(buf, static_cast<size_t>(got));
            else if (got == 0 || errno != EINTR)
                eof = true;
            if (!take()) eof = true;
        }
        return answered_ == results_.size();
    }
    std::vector<VdiskReadResult> &results() { return results_; }

private:
    static std::chrono::milliseconds ms(int n) { return std::chrono::milliseconds(n); }

    void settle(size_t i, ReadOutcome outcome) {
        slots_[i].settled = true;
        results_[i].outcome = outcome;
        --open_;
    }
    // Takes the whole messages in the inbox; false on a malformed one.
    bool take() {
        uint32_t index = 0;
        bool done = false, bad = false;
        VdiskReadResult r;
        while (decodeReadMessage(inbox_, index, done, r, bad)) {
            if (index >= slots_.size()) return false;
            Slot &s = slots_[index];
            if (s.settled) continue;  // given up before its answer came
            if (!done) {
                s.started = true;
                s.since = Clock::now();
                continue;
            }
            results_[index] = std::move(r);
            r = VdiskReadResult();
            s.settled = true;
            --open_;
            ++answered_;
        }
        return !bad;
    }

    std::vector<VdiskReadResult> results_;
    std::vector<Slot> slots_;
    size_t open_, answered_ = 0;
    ReadLimits limits_;
    Clock::time_point end_;
    std::string inbox_;
};

// A helper that finished is reaped. One given up on is killed; it is reaped if it ends at
// once, else left behind: stuck in the kernel it ends only when its command comes back, and
// then whoever inherits it reaps it.
void letGo(pid_t pid, bool finished) {
    if (finished) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return;
    }
    kill(pid, SIGKILL);
    for (int i = 0; i < 20; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) return;
        usleep(1000);
    }
}

}  // namespace

std::string encodeReadStarted(uint32_t index) { return message(kStarted, index); }

std::string encodeReadDone(uint32_t index, const VdiskReadResult &result) {
    std::string body;
    body += static_cast<char>(result.outcome);
    putText(body, result.name);
    putU32(body, static_cast<uint32_t>(result.lines.size()));
    for (const common::HeldLine &l : result.lines) {
        putU32(body, static_cast<uint32_t>(l.level));
        putU32(body, static_cast<uint32_t>(l.line));
        putText(body, l.source);
        putText(body, l.function);
        putText(body, l.message);
    }
    return message(kDone, index, body);
}

bool decodeReadMessage(std::string &inbox, uint32_t &index, bool &done, VdiskReadResult &result, bool &bad) {
    Fields head{inbox};
    const uint32_t length = head.u32();
    if (!head.ok || head.rest.size() < length) return false;  // not whole yet
    Fields f{head.rest.substr(0, length)};
    const uint8_t kind = f.rest.empty() ? 0 : static_cast<uint8_t>(f.rest.front());
    if (!f.rest.empty()) f.rest.remove_prefix(1);
    index = f.u32();
    done = kind == kDone;
    if (done && f.ok) {
        const uint8_t outcome = f.rest.empty() ? 0xFF : static_cast<uint8_t>(f.rest.front());
        if (!f.rest.empty()) f.rest.remove_prefix(1);
        result.outcome = static_cast<ReadOutcome>(outcome);
        common::vessar_strncpy(result.name, f.text().c_str(), sizeof result.name - 1);
        const uint32_t count = f.u32();
        result.lines.clear();
        for (uint32_t i = 0; f.ok && i < count; ++i) {
            common::HeldLine l;
            l.level = static_cast<int>(f.u32());
            l.line = static_cast<int>(f.u32());
            l.source = f.text();
            l.function = f.text();
            l.message = f.text();
            result.lines.push_back(std::move(l));
        }
        f.ok = f.ok && outcome <= static_cast<uint8_t>(ReadOutcome::Failed);
    }
    bad = !f.ok || (kind != kStarted && kind != kDone);
    if (bad) return false;
    inbox.erase(0, sizeof length + length);
    return true;
}

int readVdiskName(const VdiskRead &read, char *name) {
    return read.nvme ? get_nvme_vdisk_name(read.devicePath.c_str(), name) : get_vdisk_name(read.devicePath.c_str(), name);
}

std::vector<VdiskReadResult> readVdiskNames(const std::vector<VdiskRead> &reads, const ReadLimits &limits,
                                            VdiskNameReader reader) {
    if (reads.empty()) return {};
    int pipeFds[2];
    pid_t pid = -1;
    if (pipe2(pipeFds, O_CLOEXEC) == 0) {
        pid = fork();
        if (pid == 0) {
            close(pipeFds[0]);
            serve(pipeFds[1], reads, limits.atOnce, reader);
        }
        close(pipeFds[1]);
        if (pid < 0) close(pipeFds[0]);
    }
    if (pid < 0) {
        MLOG(LOG_ERROR, kLogSrc, "Can not start the in-band reads beside each other, errno %d: reading them in turn.\n",
             errno);
        std::vector<VdiskReadResult> results;
        for (const VdiskRead &r : reads) results.push_back(readOne(r, reader));
        return results;
    }
    Collector collector(reads.size(), limits);
    const bool finished = collector.run(pipeFds[0]);
    close(pipeFds[0]);
    letGo(pid, finished);
    return std::move(collector.results());
}

void settleVdiskname(const VdiskReadResult &read, bool nvme, const char *wwid, char *name, unsigned int *found,
                     StoreCache *cache, const ReadLimits &limits) {
    const char *func = nvme ? "displayNvmeVdiskname" : "displayVdiskname";
    for (const common::HeldLine &l : read.lines) common::logHeldLine(l);
    if (read.outcome == ReadOutcome::TimedOut)
        MLOG_AS(LOG_ERROR, kLogSrc, func, "Device (%s), the in-band read of the vdisk name timed out after %d ms.\n",
                wwid, limits.perReadMs);
    else if (read.outcome == ReadOutcome::NotStarted)
        MLOG_AS(LOG_ERROR, kLogSrc, func,
                "Device (%s), the in-band read of the vdisk name timed out: the %d ms of all reads had passed.\n",
                wwid, limits.allReadsMs);
    common::vessar_strncpy(name, read.name, VDISK_NAME_SIZE - 1);
    useInBandName(func, read.outcome == ReadOutcome::Read, wwid, name, found, cache);
}

}  // namespace morvel::array
