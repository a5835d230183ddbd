// Recorders for the signals the control-service responses send to sessions, linked in place
// of the driver's own (signals.cpp). The service-table one marks the port ready as delivery
// does, so that the port-open routine can be seen taking the signal.
#pragma once

#include <cstdint>
#include <vector>

#include <ntddk.h>

namespace signal_doubles {

struct stored_table {
    ULONG port = 0;
    ULONG key = 0;
    std::vector<std::uint8_t> record;
};

void reset();
std::size_t tables_stored();
stored_table last_table();

}  // namespace signal_doubles
