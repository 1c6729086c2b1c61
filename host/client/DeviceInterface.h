// One device interface through which a filter can be opened: the interface
// class (a filter category) and the filter factory's reference string.
#pragma once

#include <host/ntddk.h>

#include <string>

namespace host {

struct DeviceInterface {
    GUID category;
    std::u16string referenceString;
};

}  // namespace host
