// morvel_monitor: the snapshot file of the last reported topology and the monitor loop
// that logs every LUN and path that appeared, disappeared or changed.
#pragma once
#include <sys/types.h>

#include <ctime>

#include "common/ec_items.h"
#include "common/log.h"
#include "monitor/exports.h"
#include "struct/s_lunPath.h"
#include "struct/s_morvel.h"

namespace morvel::monitor {

struct HealthCycle;  // monitor/health.h

// ---- snapshot file ----

// Files of the snapshot writer. open_file, called with the writers' lock held, removes
// whatever is under the temporary name and creates it afresh with O_EXCL (mode 0600), so a
// planted link is never followed. -1 on failure.
int open_file(const char *path);
// Releases the lock and closes; a negative descriptor is ignored.
void close_file(int fd);
// Writes length bytes (retrying short writes); the count written. 0 for a negative
// descriptor, null data or a length of 0.
ssize_t write_to_file(int fd, const void *data, size_t length);

// Writes length bytes of text; true when all were written (a failure is logged).
bool writeStrToFile(int fd, const char *text, int length);
// Writes text followed by one comma.
bool writeFieldToFile(int fd, const char *text);

// Replaces the snapshot at path with the list, one line per record: the seven fields each
// followed by a comma, then a line feed. An empty list gives an empty file. The new
// content goes to "<path>.tmp" (mode 0600), is synced and renamed over path, so a crash
// leaves either the old or the new snapshot, never a mix.
bool writeLunPathToFile(structs::s_lunPath *anchor, const char *path);
// Reads the snapshot into the list (emptied first). True when read to its end; false when
// the file cannot be opened (list untouched) or a line is malformed (the records of the
// lines before it stay). An empty or nearly empty line ends the reading.
bool readLunPathToFile(structs::s_lunPath *anchor, const char *path);
// True when a record of the snapshot at path (read as above, up to a malformed line) has the
// LUN's WWID. Quiet when there is no snapshot.
bool snapshotHoldsWwid(const char *path, const char *wwid);
// Parses one snapshot line into a cleared record; true when all seven fields were found.
bool readLunpathFromStr(char *line, structs::s_lunPath *rec);
// Ends text at its next comma, copies at most width characters into field (width + 1
// bytes) and returns the text after the comma; null (logged) when no comma is left.
char *readFieldFromStr1(char *text, char *field, int width);
char *readFieldFromStr(char *text, char *field);  // width 30

// ---- monitor loop ----

extern structs::s_lunPath *g_pLunPath;     // records of the current cycle
extern structs::s_lunPath *g_pOldLunPath;  // records of the previous cycle
extern structs::mon::s_morvel *g_pMorvel;  // device list refilled every cycle
extern char lunPathDir[8];                 // "/dumps/"
extern char lunPathFileName[12];           // "data.morvel"
extern char lunPathFile[512];              // "/dumps/data.morvel"

// What the loop carries from one cycle to the next besides the records above: the look-up
// indexes of the comparison (built afresh every cycle, their tables reused) and whether the
// snapshot is behind the change lines logged. start() owns one.
struct CycleState {
    using Key = structs::LunPathIndex::Key;
    structs::LunPathIndex newByWwid{Key::Wwid}, oldByWwid{Key::Wwid};
    structs::LunPathIndex newByName{Key::DevName}, oldByName{Key::DevName};
    // The last rewrite of the snapshot failed: the next cycle rewrites it even without
    // change, so that a restart does not report the same changes again.
    bool snapshotBehind = false;
    // Whether multipathd ran at the last cycle (-1: no cycle yet): the log says when the
    // daemon stops or starts running, not every 10 seconds.
    int daemonRan = -1;
    // What the last cycle found, for the journal and the metrics (monitor/exports.h):
    // whether it read the topology, and one event per change line that reached the log.
    bool topologyRead = false;
    std::vector<ChangeEvent> events;
    // The path-health lines of each cycle (start() sets it; without it a cycle logs the
    // change lines only).
    HealthCycle *health = nullptr;
};

// Sends state ("READY=1", "WATCHDOG=1") to the service manager over $NOTIFY_SOCKET; false
// when there is none or the datagram did not go out.
bool notifyServiceManager(const char *state);

// Start-up: allocates the lists (replacing any earlier ones), builds the snapshot path and
// reads the previous records from the snapshot.
void initMonitor();
// The endless loop: one cycle every 10 seconds, and one at once (after a short pause that
// gathers a burst, at most one a second) when the kernel announces that a multipath path
// failed or came back or an NVMe controller changed. The service manager hears "READY=1" before
// the first cycle and "WATCHDOG=1" after every cycle that came to its end, whatever the
// cycle found: a cycle whose commands hang ends at their deadlines, so a missing keep-alive
// means the loop itself is stuck. After each cycle its exports run (CycleExports), within
// what is left of the period.
[[noreturn]] void start();
// One cycle: query, compare, log (the health lines too, with state.health), keep the
// current records as the previous ones.
void oneMonitor(CycleState &state);
// Fills g_pLunPath from a fresh topology query (state: the cycles' memory, if any).
common::EcItem *getLunPath(CycleState *state = nullptr);
// Logs the differences between g_pOldLunPath and g_pLunPath and rewrites the snapshot when
// there were any (or when the last rewrite failed). Returns the number of change lines, or
// -1 when not all of them reached the log: the snapshot is then left as it was, and the
// caller keeps the previous records.
int cmpAndLog(CycleState &state);

// Seconds to sleep after a cycle that took `elapsed` seconds of wall clock (truncated
// toward zero): 10 - elapsed, or 1 once a cycle took 10 seconds or more. A clock stepped
// back during the cycle lengthens the pause, by at most one period.
unsigned pauseAfterCycle(double elapsed);

// Runs cycle() (until it returns false) and pauses between cycles as above, with the given
// clock (time_t()) and sleeper (void(unsigned seconds)).
template <class Now, class Pause, class Cycle>
void paceCycles(Now &&now, Pause &&pause, Cycle &&cycle) {
    for (;;) {
        common::inDebug("One monitor...");
        const time_t t0 = now();
        if (!cycle()) return;
        pause(pauseAfterCycle(difftime(now(), t0)));
    }
}

}  // namespace morvel::monitor
