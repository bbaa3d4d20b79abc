// Time and event counters of one robot (how long it was connected, powered and running a
// program; how often a program started and a stop began), counted from every robot state the
// plug-in decodes, so that the difference of two readings is exact however rarely the host
// reads.
#pragma once

#include "bytereader.h"

#include <cstdint>

struct robotstate_utilisation {
    // Milliseconds and events since the record was made (the plug-in's start).
    uint64_t connectedMs = 0;
    uint64_t poweredMs = 0;
    uint64_t programRunningMs = 0;
    uint64_t programStarts = 0;
    uint64_t protectiveStops = 0;
    uint64_t emergencyStops = 0;
    // The previous robot state with robot mode data on the current connection: its monotonic
    // time (0: none yet on this connection) and its flags. Cleared when a new connection
    // attempt starts, so that neither the time without a connection nor a stop that was
    // already on before it is counted.
    struct Previous {
        int64_t ms = 0;
        uint8_t flags = 0;
    } previous;
};

namespace utilisation {

// The longest span between two robot states that is counted: a controller sends ten a
// second, so a longer gap is time the plug-in did not see.
constexpr int64_t maxSpanMs = 1000;

// One robot state's robot mode data (the sub-package from its length field on), decoded at
// nowMs on the monotonic clock: the span since the previous state is added to the counters
// of what that state said, and a flag that went from 0 to 1 counts as a start. The flags lie
// at offsets 15 to 19 in every controller generation; a sub-package too short to hold them
// says nothing and is passed over.
void count(robotstate_utilisation *counters, ByteView modeData, int64_t nowMs);

} // namespace utilisation
