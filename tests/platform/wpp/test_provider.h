// A small trace provider with its own control GUID and two flags, built on the same macro
// layer as the driver, so the runtime's tests need no driver.
#pragma once

#include <wdm.h>

#include <wpp_host.h>

// {6B1E2A4C-1D2E-4F30-9A8B-0123456789AB}
inline constexpr GUID test_provider_guid = {
    0x6B1E2A4C, 0x1D2E, 0x4F30, {0x9A, 0x8B, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}};
inline constexpr ULONG test_flag_one = 0x1;
inline constexpr ULONG test_flag_two = 0x2;

void test_provider_init();
void test_provider_cleanup();
WPP_HOST_CONTROL& test_provider_control();
// One statement per level 2..5 on flag one ("level 2" ... "level 5"), then one on flag two.
void test_provider_emit_levels();
// One error-level statement on flag one exercising every numeric conversion.
void test_provider_emit_numbers(NTSTATUS status, ULONG value, SIZE_T size, PVOID pointer,
                                BOOLEAN flag, LONG negative, ULONG64 wide);
// A statement that passes a string: a verifier violation once enabled.
void test_provider_emit_string(const char* text);
