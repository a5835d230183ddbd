// Device types, transfer methods and the CTL_CODE macro user-mode programs build control
// codes with: the same definitions the kernel headers use.
#pragma once

#include <devioctl.h>
