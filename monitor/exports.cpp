// The hook of the monitor loop after each cycle: names of new LUNs, journal events, textfile.
#include "monitor/exports.h"

namespace morvel::monitor {

void CycleExports::afterCycle(bool topologyRead, const structs::mon::s_morvel *devices,
                              const structs::s_lunPath *records, const std::vector<ChangeEvent> &events, double startTime, double endTime, int budgetMs,
                              const HealthTracker *health) {
    // The names are learned first, so that the events of a new LUN carry its name.
    if (topologyRead) names_.learn(devices, budgetMs);
    journal_.send(events, names_.byWwid());
    CycleFacts facts;
    facts.topologyRead = topologyRead;
    facts.devices = devices;
    facts.records = records;
    facts.vdisks = &names_.byWwid();
    facts.health = health;
    facts.endTime = endTime;
    facts.duration = endTime > startTime ? endTime - startTime : 0;
    metricsFailing_ = !writeMetricsFile(textfileDir(), formatMetrics(facts), !metricsFailing_);
}

}  // namespace morvel::monitor
