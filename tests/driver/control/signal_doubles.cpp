// Recording definitions of every routine of signals.cpp.
#include "signal_doubles.h"

#include <mutex>

#include "session/delivery.h"
#include "vrax_device.h"

namespace signal_doubles {
namespace {

std::mutex lock;
std::vector<stored_table> tables;

}  // namespace

void reset() {
    std::lock_guard guard(lock);
    tables.clear();
}

std::size_t tables_stored() {
    std::lock_guard guard(lock);
    return tables.size();
}

stored_table last_table() {
    std::lock_guard guard(lock);
    return tables.empty() ? stored_table{} : tables.back();
}

}  // namespace signal_doubles

VOID SignalAllocationResult(ULONG, ULONG, UCHAR, USHORT) {}

VOID SignalReleaseDone(ULONG, ULONG) {}

VOID SignalValue(ULONG, ULONG, USHORT) {}

VOID StoreServiceTable(ULONG PortIndex, ULONG SessionKey, const UCHAR* Record) {
    {
        std::lock_guard guard(signal_doubles::lock);
        signal_doubles::tables.push_back(
            {PortIndex, SessionKey,
             std::vector<std::uint8_t>(Record, Record + VRAX_SERVICE_TABLE_SIZE)});
    }
    KeSetEvent(&PortReadyEvent, 1, FALSE);
}
