// Framework timers: a callback run once when the due time passes, or every Period
// milliseconds after that. The timer is parented to a device, a queue or another object
// under a device, and is deleted with it. By default the callback runs at DISPATCH_LEVEL (in
// a DPC); a timer whose attributes ask for WdfExecutionLevelPassive runs it on a worker
// thread at PASSIVE_LEVEL. With AutomaticSerialization the callback takes the callback lock of
// the parent's synchronisation scope, when the parent has one.
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

#define TolerableDelayUnlimited ((ULONG)-1)

typedef VOID EVT_WDF_TIMER(WDFTIMER Timer);
typedef EVT_WDF_TIMER* PFN_WDF_TIMER;

typedef struct _WDF_TIMER_CONFIG {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period;  // milliseconds; 0 for a one-shot timer
    // Serialise the callback with the parent's callbacks (its synchronisation-scope lock).
    BOOLEAN AutomaticSerialization;
    // How late the timer may expire, in milliseconds (the platform is never late).
    ULONG TolerableDelay;
    DECLSPEC_ALIGN(8) BOOLEAN UseHighResolutionTimer;
} WDF_TIMER_CONFIG, *PWDF_TIMER_CONFIG;

FORCEINLINE VOID WDF_TIMER_CONFIG_INIT(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc) {
    RtlZeroMemory(Config, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = 0;
    Config->AutomaticSerialization = TRUE;
    Config->TolerableDelay = 0;
}

FORCEINLINE VOID WDF_TIMER_CONFIG_INIT_PERIODIC(PWDF_TIMER_CONFIG Config,
                                                PFN_WDF_TIMER EvtTimerFunc, LONG Period) {
    RtlZeroMemory(Config, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = (ULONG)Period;
    Config->AutomaticSerialization = TRUE;
    Config->TolerableDelay = 0;
}

NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                        WDFTIMER* Timer);
// DueTime: negative is relative (100-ns units), positive absolute system time. TRUE when
// the timer was already in the timer queue (the new due time replaces the old one).
BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime);
// TRUE when the timer was in the timer queue. With Wait, also waits for a callback that is
// queued or running (PASSIVE_LEVEL only, never from the timer's own callback).
BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait);
WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer);

WDF_EXTERN_C_END
