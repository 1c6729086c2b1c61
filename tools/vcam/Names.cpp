#include "tools/vcam/Names.h"

#include "driver/injection/FrameInjection.h"
#include "driver/pin/Descriptors.h"

#include <cstdio>
#include <cstring>

namespace vcam {

std::string Names::Status(NTSTATUS status) {
    struct Known {
        NTSTATUS code;
        const char* name;
    };
    static const Known kKnown[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_PENDING, "STATUS_PENDING"},
        {static_cast<NTSTATUS>(0x00000102L), "STATUS_TIMEOUT"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_NO_MORE_ENTRIES, "STATUS_NO_MORE_ENTRIES"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {static_cast<NTSTATUS>(0xC0000008L), "STATUS_INVALID_HANDLE"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_SHARING_VIOLATION, "STATUS_SHARING_VIOLATION"},
        {static_cast<NTSTATUS>(0xC0000044L), "STATUS_QUOTA_EXCEEDED"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
        {STATUS_PROPSET_NOT_FOUND, "STATUS_PROPSET_NOT_FOUND"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
    };
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
    for (const Known& known : kKnown) {
        if (known.code == status) return std::string(known.name) + " (" + hex + ")";
    }
    return hex;
}

std::string Names::Guid(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string Names::GuidName(const GUID& guid) {
    struct Known {
        GUID guid;
        const char* name;
    };
    static const Known kKnown[] = {
        {VCAM_GUID(STATIC_KSCATEGORY_VIDEO), "KSCATEGORY_VIDEO"},
        {VCAM_GUID(STATIC_KSCATEGORY_CAPTURE), "KSCATEGORY_CAPTURE"},
        {VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA), "KSCATEGORY_VIDEO_CAMERA"},
        {VCAM_GUID(STATIC_KSDATAFORMAT_TYPE_VIDEO), "KSDATAFORMAT_TYPE_VIDEO"},
        {VCAM_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO), "KSDATAFORMAT_SPECIFIER_VIDEOINFO"},
        {VCAM_GUID(STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED), "KSMEMORY_TYPE_KERNEL_NONPAGED"},
        {VCAM_GUID(STATIC_PINNAME_VIDEO_CAPTURE), "PINNAME_VIDEO_CAPTURE"},
        {VCAM_GUID(STATIC_KSNAME_Filter), "KSNAME_Filter"},
        {VCAM_GUID(STATIC_KSPROPSETID_Pin), "KSPROPSETID_Pin"},
        {VCAM_GUID(STATIC_VCAM_PROPSETID_FrameInjection), "FrameInjectionSet"},
        {VcamMakeGuid(VCAM_FOURCC_YUY2, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
                      0x71),
         "MEDIASUBTYPE_YUY2"},
        {VCAM_GUID(STATIC_GUID_NULL), "GUID_NULL"},
    };
    for (const Known& known : kKnown) {
        if (known.guid == guid) return known.name;
    }
    return "";
}

std::string Names::NamedGuid(const GUID& guid) {
    std::string name = GuidName(guid);
    return name.empty() ? Guid(guid) : name + " " + Guid(guid);
}

std::string Names::State(KSSTATE state) {
    switch (state) {
        case KSSTATE_STOP:
            return "KSSTATE_STOP";
        case KSSTATE_ACQUIRE:
            return "KSSTATE_ACQUIRE";
        case KSSTATE_PAUSE:
            return "KSSTATE_PAUSE";
        case KSSTATE_RUN:
            return "KSSTATE_RUN";
    }
    return "KSSTATE(" + std::to_string(static_cast<int>(state)) + ")";
}

std::string Names::DataFlow(ULONG flow) {
    switch (flow) {
        case KSPIN_DATAFLOW_IN:
            return "KSPIN_DATAFLOW_IN (render)";
        case KSPIN_DATAFLOW_OUT:
            return "KSPIN_DATAFLOW_OUT (capture)";
    }
    return std::to_string(flow);
}

std::string Names::Communication(ULONG communication) {
    static const char* const kNames[] = {"KSPIN_COMMUNICATION_NONE", "KSPIN_COMMUNICATION_SINK",
                                         "KSPIN_COMMUNICATION_SOURCE", "KSPIN_COMMUNICATION_BOTH",
                                         "KSPIN_COMMUNICATION_BRIDGE"};
    return communication < 5 ? kNames[communication] : std::to_string(communication);
}

std::string Names::FourCc(ULONG fourcc) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
        text.push_back(c >= 32 && c < 127 ? c : '.');
    }
    return text;
}

std::string Names::Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t c : text) narrow.push_back(c < 128 ? static_cast<char>(c) : '?');
    return narrow;
}

}  // namespace vcam
