// The configuration manager's device-interface lists (cfgmgr32.h), read from the PnP
// manager's interfaces. An interface's path is its symbolic link "\??\<instance>#{class}"
// in the Win32 form "\\?\<instance>#{class}", where the instance id has '#' for '\'.
#include <cfgmgr32.h>
#include <wdm.h>

#include <optional>
#include <string>

#include "kernel/strings.h"

namespace platform::win32 {
namespace {

constexpr std::size_t max_device_id_length = 200;  // MAX_DEVICE_ID_LEN, its zero included

// A device instance id as a caller gives it: "ROOT\ECHO\0000". None for an empty or absent
// id (every device); CR_INVALID_DEVICE_ID for one that cannot be an instance id.
struct device_filter {
    CONFIGRET result = CR_SUCCESS;
    std::optional<std::u16string> prefix;  // what the interface links of that device begin with
};

device_filter filter_of(std::u16string_view id) {
    device_filter f;
    if (id.empty()) {
        return f;
    }
    if (id.size() >= max_device_id_length || id.find(u'#') != std::u16string_view::npos ||
        id.front() == u'\\' || id.back() == u'\\') {
        f.result = CR_INVALID_DEVICE_ID;
        return f;
    }
    std::u16string mangled(id);
    for (auto& c : mangled) {
        c = c == u'\\' ? u'#' : c;
    }
    f.prefix = u"\\??\\" + mangled + u"#{";
    return f;
}

// The list as the configuration manager returns it: each path zero-terminated, then an empty
// string.
CONFIGRET interface_list(const GUID* type, const device_filter& filter, ULONG flags,
                         std::u16string& out) {
    if (filter.result != CR_SUCCESS) {
        return filter.result;
    }
    PWSTR links = nullptr;
    ULONG io_flags = (flags & CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) != 0
                         ? DEVICE_INTERFACE_INCLUDE_NONACTIVE
                         : 0;
    if (!NT_SUCCESS(IoGetDeviceInterfaces(type, nullptr, io_flags, &links))) {
        return CR_FAILURE;
    }
    out.clear();
    for (const WCHAR* p = links; *p != 0;) {
        std::u16string_view link = kernel::view(p);
        p += link.size() + 1;
        if (filter.prefix && !kernel::starts_with_insensitive(link, *filter.prefix)) {
            continue;
        }
        out += u"\\\\?\\";
        out += link.substr(4);  // past "\??\"
        out.push_back(0);
    }
    out.push_back(0);
    ExFreePool(links);
    return CR_SUCCESS;
}

std::u16string widen(const char* s) {
    std::u16string out;
    for (; s != nullptr && *s != 0; ++s) {
        out.push_back(static_cast<unsigned char>(*s));
    }
    return out;
}

CONFIGRET check_arguments(const void* out, const GUID* type, ULONG flags) {
    if (out == nullptr || type == nullptr) {
        return CR_INVALID_POINTER;
    }
    if ((flags & ~ULONG(CM_GET_DEVICE_INTERFACE_LIST_BITS)) != 0) {
        return CR_INVALID_FLAG;
    }
    return CR_SUCCESS;
}

CONFIGRET list_size(PULONG len, LPGUID type, std::u16string_view id, ULONG flags) {
    if (CONFIGRET cr = check_arguments(len, type, flags); cr != CR_SUCCESS) {
        return cr;
    }
    *len = 0;
    std::u16string list;
    CONFIGRET cr = interface_list(type, filter_of(id), flags, list);
    if (cr == CR_SUCCESS) {
        *len = static_cast<ULONG>(list.size());
    }
    return cr;
}

template <typename Char>
CONFIGRET list(LPGUID type, std::u16string_view id, Char* buffer, ULONG length, ULONG flags) {
    if (CONFIGRET cr = check_arguments(buffer, type, flags); cr != CR_SUCCESS) {
        return cr;
    }
    if (length == 0) {
        return CR_INVALID_POINTER;
    }
    std::u16string all;
    CONFIGRET cr = interface_list(type, filter_of(id), flags, all);
    if (cr != CR_SUCCESS) {
        return cr;
    }
    if (all.size() > length) {
        return CR_BUFFER_SMALL;
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
        // Instance ids and class GUIDs are ASCII; anything else has no narrow form.
        buffer[i] = sizeof(Char) == 1 && all[i] > 0x7F ? Char('?') : static_cast<Char>(all[i]);
    }
    return CR_SUCCESS;
}

}  // namespace
}  // namespace platform::win32

using namespace platform;

extern "C" {

CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                             DEVINSTID_W pDeviceID, ULONG ulFlags) {
    std::u16string_view id = pDeviceID != nullptr ? kernel::view(pDeviceID) : u"";
    return win32::list_size(pulLen, InterfaceClassGuid, id, ulFlags);
}

CONFIGRET CM_Get_Device_Interface_List_SizeA(PULONG pulLen, LPGUID InterfaceClassGuid,
                                             DEVINSTID_A pDeviceID, ULONG ulFlags) {
    return win32::list_size(pulLen, InterfaceClassGuid, win32::widen(pDeviceID), ulFlags);
}

CONFIGRET CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                        PZZWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    std::u16string_view id = pDeviceID != nullptr ? kernel::view(pDeviceID) : u"";
    return win32::list(InterfaceClassGuid, id, Buffer, BufferLen, ulFlags);
}

CONFIGRET CM_Get_Device_Interface_ListA(LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID,
                                        PZZSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    return win32::list(InterfaceClassGuid, win32::widen(pDeviceID), Buffer, BufferLen, ulFlags);
}

}  // extern "C"
