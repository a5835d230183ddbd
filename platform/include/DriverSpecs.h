// The driver-analysis annotations a WDK-built source may carry at file scope. No analysis
// runs on the host, so each expands to nothing.
#pragma once

#include <sal.h>

#ifndef _Analysis_mode_
#define _Analysis_mode_(mode)
#endif
#define _Analysis_code_type_user_code_
#define _Analysis_code_type_user_driver_
#define _Analysis_code_type_kernel_driver_
#ifndef __drv_dispatchType
#define __drv_dispatchType(type)
#endif
