// The change events in the systemd journal, through the native protocol's datagrams on
// journald's socket (no libsystemd: the programs are static). One table row per kind of
// change line: its MESSAGE_ID (listed in the journal catalog and the man page), its priority,
// and the names of the fields that carry its old and new values.
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "monitor/exports.h"

namespace morvel::monitor {

namespace {

constexpr const char kSrc[] = "monitor/journal";
constexpr int kWarning = 4, kNotice = 5, kInfo = 6;

struct JournalKind {
    ChangeKind kind;
    const char *messageId;
    int priority;
    int priorityWhenDown;  // a change to a state of a path that cannot carry I/O
    const char *oldKey, *newKey;
};
constexpr JournalKind kJournalKinds[] = {
    {ChangeKind::LunCreated, "72596cf006f44332989aea77acabb0e2", kInfo, kInfo, nullptr, nullptr},
    {ChangeKind::LunDeleted, "1aba4e8cd67a4fba8f54070845dbb0a5", kWarning, kWarning, nullptr, nullptr},
    {ChangeKind::PathCreated, "fb44b60e009a40c28d53b51cb6c507e3", kInfo, kWarning, nullptr, "MORVEL_NEW_STATE"},
    {ChangeKind::PathDeleted, "3e3bb2a7626c4fb6934f82c690bcf0f7", kWarning, kWarning, "MORVEL_OLD_STATE", nullptr},
    {ChangeKind::PathStateChanged, "3e0dcdf55d844fbf90bb1521ec5bdcc6", kNotice, kWarning, "MORVEL_OLD_STATE",
     "MORVEL_NEW_STATE"},
    {ChangeKind::PathIdentityChanged, "83178638eb264c4898240bdb6efb2346", kNotice, kNotice, "MORVEL_OLD_VALUE",
     "MORVEL_NEW_VALUE"},
    {ChangeKind::PathFlapped, "98b2f0554cc847ecacb3d40cdf7da930", kWarning, kWarning, nullptr, nullptr},
    {ChangeKind::PathFailed, "ce6ca89084944b82ad5d7973172264b3", kWarning, kWarning, nullptr, nullptr},
    {ChangeKind::PathReinstated, "137b51ca85234f85828a62ea27fa69c5", kNotice, kNotice, nullptr, nullptr},
    {ChangeKind::PathIntermittent, "1b9e7e5045ae458f8591e3317675245c", kWarning, kWarning, nullptr, nullptr},
    {ChangeKind::PathSteady, "6361b353b7e34aac8517095c8d88b5a7", kNotice, kNotice, nullptr, nullptr},
    {ChangeKind::LunBelowBaseline, "c2ca07be4f374377b8e480a4f9992b01", kWarning, kWarning, nullptr, nullptr},
    {ChangeKind::LunOnePathLeft, "ae13678308454faa9c3a504b91584be7", kWarning, kWarning, nullptr, nullptr},
    {ChangeKind::LunWhole, "12817d7cc6b64a4aa3e4912edbdc554f", kNotice, kNotice, nullptr, nullptr},
    {ChangeKind::LunBaselineAccepted, "49c9948c66a246888c1e1464e78f98b3", kInfo, kInfo, nullptr, nullptr},
};

// The path-health lines by their opening words.
constexpr std::pair<const char *, ChangeKind> kHealthLines[] = {
    {"The path failed and recovered since the last cycle,", ChangeKind::PathFlapped},
    {"The path is failed,", ChangeKind::PathFailed},
    {"The path is reinstated,", ChangeKind::PathReinstated},
    {"The path is intermittent,", ChangeKind::PathIntermittent},
    {"The path is steady again,", ChangeKind::PathSteady},
    {"The lun is below its path baseline,", ChangeKind::LunBelowBaseline},
    {"The lun has one usable path left,", ChangeKind::LunOnePathLeft},
    {"The lun is whole again,", ChangeKind::LunWhole},
    {"The lun path baseline is accepted,", ChangeKind::LunBaselineAccepted},
};

// The value of "key: value" in a line's "[ ... ]" properties; empty when missing.
std::string propertyOf(const std::string &line, const std::string &key) {
    const size_t open = line.rfind("[ ");
    if (open == std::string::npos) return {};
    for (size_t at = open + 2; at < line.size();) {
        size_t end = line.find(", ", at);
        if (end == std::string::npos) end = line.find(" ]", at);
        if (end == std::string::npos) break;
        const std::string item = line.substr(at, end - at);
        if (item.compare(0, key.size() + 2, key + ": ") == 0) return item.substr(key.size() + 2);
        at = end + 2;
    }
    return {};
}

const JournalKind &rowOf(ChangeKind kind) {
    for (const JournalKind &row : kJournalKinds) {
        if (row.kind == kind) return row;
    }
    return kJournalKinds[0];
}

// States of the checker, device-mapper, group or kernel device in which a path carries no I/O.
bool isDownState(const std::string &state) {
    for (const char *down : {"faulty", "failed", "shaky", "offline", "transport-offline", "blocked"}) {
        if (state == down) return true;
    }
    return false;
}

void put(JournalFields &fields, const char *key, const std::string &value) {
    if (key != nullptr) fields.emplace_back(key, value);
}

}  // namespace

const char *journalMessageId(ChangeKind kind) { return rowOf(kind).messageId; }

bool healthEventOf(const std::string &line, ChangeEvent *event) {
    for (const auto &[opening, kind] : kHealthLines) {
        if (line.rfind(opening, 0) != 0) continue;
        *event = ChangeEvent{kind, line, propertyOf(line, "wwid"), propertyOf(line, "path_alias"),
                             propertyOf(line, "dev_name"), {}, {}, {}};
        return true;
    }
    return false;
}

std::string journalDatagram(const JournalFields &fields) {
    std::string out;
    for (const auto &[key, value] : fields) {
        out += key;
        if (value.find('\n') == std::string::npos) {
            out += '=';
            out += value;
        } else {
            out += '\n';
            uint64_t n = value.size();
            for (int i = 0; i < 8; ++i, n >>= 8) out += static_cast<char>(n & 0xff);
            out += value;
        }
        out += '\n';
    }
    return out;
}

JournalFields journalFields(const ChangeEvent &event, const std::string &vdisk) {
    const JournalKind &row = rowOf(event.kind);
    JournalFields fields;
    put(fields, "MESSAGE_ID", row.messageId);
    put(fields, "MESSAGE", event.message);
    put(fields, "PRIORITY", std::to_string(isDownState(event.newValue) ? row.priorityWhenDown : row.priority));
    put(fields, "SYSLOG_IDENTIFIER", "morvel_monitor");
    put(fields, "MORVEL_WWID", event.wwid);
    put(fields, "MORVEL_ALIAS", event.alias);
    if (!vdisk.empty()) put(fields, "MORVEL_VDISK", vdisk);
    if (!event.path.empty()) put(fields, "MORVEL_PATH", event.path);
    if (!event.field.empty()) put(fields, "MORVEL_FIELD", event.field);
    put(fields, row.oldKey, event.oldValue);
    put(fields, row.newKey, event.newValue);
    return fields;
}

Journal::~Journal() {
    if (fd_ >= 0) close(fd_);
}

bool Journal::present() const {
    struct stat st;
    return stat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

size_t Journal::send(const std::vector<ChangeEvent> &events, const std::map<std::string, std::string> &vdisks) {
    if (events.empty() || !present()) return 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) return events.size();
    std::memcpy(addr.sun_path, path_.data(), path_.size());
    if (fd_ < 0) fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return events.size();
    size_t lost = 0;
    int lastErrno = 0;
    for (const ChangeEvent &e : events) {
        const auto name = vdisks.find(e.wwid);
        const std::string datagram =
            journalDatagram(journalFields(e, name != vdisks.end() ? name->second : std::string()));
        const ssize_t sent = sendto(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                    reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
        if (sent != static_cast<ssize_t>(datagram.size())) {
            ++lost;
            lastErrno = errno;
        }
    }
    if (lost > 0)
        MLOG(common::LOG_ERROR, kSrc, "%zu of %zu events did not reach the journal, errno %d.", lost, events.size(),
             lastErrno);
    return lost;
}

}  // namespace morvel::monitor
