// How vcam reaches an open camera filter: property requests on the filter
// handle (IOCTL_KS_PROPERTY), pin creation from a KSPIN_CONNECT request, and
// the clock the feed paces itself by. Two implementations: HostTransport
// (the host kernel's client calls, Linux) and Win32Transport (the installed
// device through the documented user-mode calls). The requests themselves
// are built by KsWire, the same bytes on both.
#pragma once

#include "tools/vcam/device/KsPinChannel.h"
#include "tools/vcam/device/KsResult.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vcam {

class KsTransport {
  public:
    virtual ~KsTransport() = default;
    // Where the camera was found: the interface path, or the host kernel.
    virtual std::string Describe() const = 0;
    // IOCTL_KS_PROPERTY on the filter: `request` is a KSPROPERTY (or KSP_PIN
    // and what follows), `value` the data buffer, `length` its size (0 for a
    // size query).
    virtual KsResult FilterProperty(const std::vector<uint8_t>& request, void* value,
                                    uint32_t length) = 0;
    // Creates a pin from KSPIN_CONNECT + format bytes (KsWire::PinConnect).
    virtual KsResult CreatePin(const std::vector<uint8_t>& connect,
                               std::unique_ptr<KsPinChannel>* pin) = 0;
    // The pacing clock, in 100 ns units, and an absolute wait on it that
    // returns early (false) once Ctrl-C was pressed.
    virtual int64_t Now() = 0;
    virtual bool WaitUntil(int64_t time) = 0;
};

}  // namespace vcam
