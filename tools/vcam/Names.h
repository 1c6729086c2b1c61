// How vcam prints the platform's values: NTSTATUS codes with their names,
// GUIDs in registry form with the name of the ones the camera uses, and the
// enumerations of pin factories and stream states.
#pragma once

#include <host/ksmedia.h>

#include <string>

namespace vcam {

class Names {
  public:
    // "STATUS_NO_MATCH (0xC0000272)"; unknown codes as the hex value alone.
    static std::string Status(NTSTATUS status);
    // "{6994AD05-93EF-11D0-A3CC-00A0C9223196}".
    static std::string Guid(const GUID& guid);
    // "KSCATEGORY_VIDEO", ... for the GUIDs the camera uses, else "".
    static std::string GuidName(const GUID& guid);
    // "KSCATEGORY_VIDEO {6994AD05-...}", or the bare GUID when unnamed.
    static std::string NamedGuid(const GUID& guid);
    static std::string State(KSSTATE state);
    static std::string DataFlow(ULONG flow);
    static std::string Communication(ULONG communication);
    // A FOURCC as its four characters, "YUY2".
    static std::string FourCc(ULONG fourcc);
    // UTF-16 text as UTF-8 (reference strings are plain ASCII).
    static std::string Narrow(const std::u16string& text);
};

}  // namespace vcam
