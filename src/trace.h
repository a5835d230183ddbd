// Software tracing for the driver: one control GUID, one flag, levels 2 (error) to 5
// (verbose). Statements carry numbers only:
//
//     TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "queue create failed %!STATUS!", status);
//
// Each source includes this header and then its own "<name>.tmh", guarded by EVENT_TRACING.
// Where no WPP preprocessor runs and EVENT_TRACING is not defined, the macros below compile
// the statements away, as the framework's own sources do.
#pragma once

#define WPP_CONTROL_GUIDS                                                              \
    WPP_DEFINE_CONTROL_GUID(VraxTraceGuid, (40D8BF0F, 70D8, 4AF2, 8A20, B866AB10F381), \
                            WPP_DEFINE_BIT(TRACE_VRAX))

#define WPP_LEVEL_FLAGS_LOGGER(lvl, flags) WPP_LEVEL_LOGGER(flags)
#define WPP_LEVEL_FLAGS_ENABLED(lvl, flags) \
    (WPP_LEVEL_ENABLED(flags) && WPP_CONTROL(WPP_BIT_##flags).Level >= lvl)

//
// WPP configuration for the trace preprocessor:
// begin_wpp config
// FUNC TraceEvents(LEVEL, FLAGS, MSG, ...);
// end_wpp
//

#ifndef TRACE_LEVEL_ERROR
#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5
#endif

#if !defined(EVENT_TRACING)
#define TRACE_VRAX 0x1
#define TraceEvents(level, flags, ...) ((void)(level), (void)(flags))
#define WPP_INIT_TRACING(driverObject, registryPath) ((void)(driverObject), (void)(registryPath))
#define WPP_CLEANUP(driverObject) ((void)(driverObject))
#endif
