// Two small framework drivers for the machine's tests, installed side by side:
//   store   keeps the last write (up to 64 bytes) and returns it on reads; its device
//           interface (store_class) is created by the driver itself
//   answer  returns on reads the REG_DWORD "Answer" of its hardware key; its interface
//           (answer_class, reference "A") is registered by its package's INF and enabled by
//           the framework when the driver creates it too
// Both have DriverEntry routines of their own name, installed by function pointer.
#pragma once

#include <ntddk.h>

#include "machine/platform_machine.h"

namespace sim_test {

inline constexpr GUID store_class = {
    0x5e1f0a01, 0x1111, 0x4a4a, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};
inline constexpr GUID answer_class = {
    0x5e1f0a02, 0x2222, 0x4b4b, {0x90, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};

DRIVER_INITIALIZE StoreDriverEntry;
DRIVER_INITIALIZE AnswerDriverEntry;

sim::driver_package store_package();
sim::driver_package answer_package(ULONG answer);

}  // namespace sim_test
