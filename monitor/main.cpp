// morvel_monitor: watches the multipath topology and logs every LUN and path that appears,
// disappears or changes. Takes no arguments, stays in the foreground and runs until the
// service manager stops it.
#include "common/log.h"
#include "monitor/monitor.h"

int main() {
    using namespace morvel;
    common::set_log_variant(common::LogVariant::Monitor);
    monitor::initMonitor();
    if (monitor::g_pLunPath == nullptr || monitor::g_pOldLunPath == nullptr ||
        monitor::g_pMorvel == nullptr) {
        MLOG(common::LOG_ERROR, "monitor/monitor", "Molloc memory space failed.");
        return 1;  // the service manager starts it again
    }
    monitor::start();
}
