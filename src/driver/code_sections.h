// Code placement. Start-up code goes into INIT, which the system discards once driver entry
// has returned; code that only ever runs at PASSIVE_LEVEL goes into PAGE. The section
// pragma (#pragma alloc_text) accepts only functions with C linkage, so DriverEntry is
// placed with it and the C++ functions with the compiler's code_seg attribute. The host
// build has no sections: there the markers are empty.
//
// Every function marked VRAX_PAGED_CODE begins with PAGED_CODE(), which checks that it runs
// at an IRQL where a page fault can be served.
#pragma once

#if defined(_MSC_VER)
#define VRAX_INIT_CODE __declspec(code_seg("INIT"))
#define VRAX_PAGED_CODE __declspec(code_seg("PAGE"))
#else
#define VRAX_INIT_CODE
#define VRAX_PAGED_CODE
#endif
