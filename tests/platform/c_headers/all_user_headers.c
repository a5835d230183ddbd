/* The user-mode headers, for the check that each routine they declare is defined. */
#include <windows.h>
#include <winioctl.h>
