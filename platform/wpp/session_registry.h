// Between the WPP runtime and the trace sessions: a provider that has just registered is
// enabled by the session already started for its control GUID, as ETW enables a provider
// that registers while its session runs.
#pragma once

#include <wdm.h>

namespace platform::wpp::detail {

// Called by the runtime after a control block registered, outside every runtime lock.
void provider_registered(const GUID& control_guid);

}  // namespace platform::wpp::detail
