// Runs under Wine in the test command: KsWire's GUIDs and ids against
// mingw-w64's own ks.h and ksmedia.h (the layouts are compared at compile
// time in Win32Transport.cpp; the YUY2 subtype against the driver on Linux).
// Prints one line per mismatch; exits 1 on any.
#include "tools/vcam/device/KsWire.h"

#include <windows.h>

#include <initguid.h>
// clang-format off: the SDK headers need this order
#include <ks.h>
#include <ksmedia.h>
// clang-format on

#include <cstdio>
#include <cstring>

namespace {

int failures = 0;

void Same(const char* name, const vcam::WireGuid& wire, const GUID& guid) {
    if (std::memcmp(&wire, &guid, sizeof guid) != 0) {
        std::printf("FAIL  %s: KsWire %s\n", name, wire.ToString().c_str());
        ++failures;
    }
}

void Equal(const char* name, unsigned long wire, unsigned long platform) {
    if (wire != platform) {
        std::printf("FAIL  %s: KsWire %lu, ks.h %lu\n", name, wire, platform);
        ++failures;
    }
}

}  // namespace

int main() {
    using vcam::KsWire;
    Same("KSPROPSETID_Pin", KsWire::kPinSet, KSPROPSETID_Pin);
    Same("KSPROPSETID_Connection", KsWire::kConnectionSet, KSPROPSETID_Connection);
    Same("KSCATEGORY_VIDEO_CAMERA", KsWire::kCategoryVideoCamera, KSCATEGORY_VIDEO_CAMERA);
    Same("PINNAME_VIDEO_CAPTURE", KsWire::kPinNameVideoCapture, PINNAME_VIDEO_CAPTURE);
    Same("KSINTERFACESETID_Standard", KsWire::kInterfaceStandard, KSINTERFACESETID_Standard);
    Same("KSMEDIUMSETID_Standard", KsWire::kMediumStandard, KSMEDIUMSETID_Standard);
    Same("KSDATAFORMAT_TYPE_VIDEO", KsWire::kMajorVideo, KSDATAFORMAT_TYPE_VIDEO);
    Same("KSDATAFORMAT_SPECIFIER_VIDEOINFO", KsWire::kSpecifierVideoInfo,
         KSDATAFORMAT_SPECIFIER_VIDEOINFO);
    Equal("KSPROPERTY_CONNECTION_STATE", KsWire::kConnectionState, KSPROPERTY_CONNECTION_STATE);
    Equal("KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX", KsWire::kConnectionAllocatorFramingEx,
          KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX);
    Equal("KSPROPERTY_PIN_DATARANGES", KsWire::kPinDataRanges, KSPROPERTY_PIN_DATARANGES);
    Equal("KSPROPERTY_PIN_DATAINTERSECTION", KsWire::kPinDataIntersection,
          KSPROPERTY_PIN_DATAINTERSECTION);
    Equal("KSPROPERTY_PIN_CATEGORY", KsWire::kPinCategory, KSPROPERTY_PIN_CATEGORY);
    Equal("KSPRIORITY_NORMAL", 0x40000000, KSPRIORITY_NORMAL);
    Equal("KSPROPERTY_TYPE_SET", KsWire::kPropertySet, KSPROPERTY_TYPE_SET);
    Equal("KSSTREAM_HEADER_OPTIONSF_DURATIONVALID", KsWire::kOptionsDurationValid,
          KSSTREAM_HEADER_OPTIONSF_DURATIONVALID);

    // The connect request names the standard interface and medium and
    // normal priority where KSPIN_CONNECT has them.
    const std::vector<uint8_t> format(KsWire::kVideoFormatSize, 0);
    const std::vector<uint8_t> bytes = KsWire::PinConnect(7, format);
    KSPIN_CONNECT connect;
    std::memcpy(&connect, bytes.data(), sizeof connect);
    Equal("KSPIN_CONNECT.PinId", connect.PinId, 7);
    Equal("KSPIN_CONNECT.Interface.Id", connect.Interface.Id, KSINTERFACE_STANDARD_STREAMING);
    Equal("KSPIN_CONNECT.Medium.Id", connect.Medium.Id, KSMEDIUM_TYPE_ANYINSTANCE);
    Equal("KSPIN_CONNECT.Priority.PriorityClass", connect.Priority.PriorityClass,
          KSPRIORITY_NORMAL);
    Equal("KSPIN_CONNECT.Priority.PrioritySubClass", connect.Priority.PrioritySubClass, 1);
    Same("KSPIN_CONNECT.Interface.Set", KsWire::GuidAt(bytes.data()), KSINTERFACESETID_Standard);
    Same("KSPIN_CONNECT.Medium.Set", KsWire::GuidAt(bytes.data() + 24), KSMEDIUMSETID_Standard);

    std::printf("wire layout against mingw-w64's ks.h: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
