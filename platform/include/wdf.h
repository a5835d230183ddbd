// The Kernel-Mode Driver Framework 1.15, as the host platform provides it. Each routine is
// an ordinary function with C linkage and the framework's own signature; the framework
// validates every handle, its type and every configuration structure's Size on each call.
#pragma once

#include <ntddk.h>

#include <wdftypes.h>
#include <wdfstatus.h>
#include <wdfobject.h>
#include <wdfsync.h>
#include <wdfcore.h>
#include <wdfdriver.h>
#include <wdfqueryinterface.h>
#include <wdfmemory.h>
#include <wdffileobject.h>
#include <wdfdevice.h>
#include <wdfcollection.h>
#include <wdfworkitem.h>
#include <wdfrequest.h>
#include <wdfiotarget.h>
#include <wdfio.h>
#include <wdffdo.h>
#include <wdfstring.h>
#include <wdfregistry.h>
#include <wdftimer.h>
#include <wdfroletypes.h>
#include <wdfverifier.h>
