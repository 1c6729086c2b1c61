// An open filter handle: property requests (IOCTL_KS_PROPERTY), the pin
// factory questions a capture client asks, and pin creation. Every call runs
// at PASSIVE_LEVEL on the caller's thread and returns NTSTATUS; `returned`
// receives IoStatus.Information. Calls on one handle may come from several
// threads, but not concurrently with its Close.
#pragma once

#include <host/ks.h>

#include "host/client/PinOptions.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace host {

namespace ks {
class KsDeviceObject;
class KsFilterObject;
}  // namespace ks

class PinHandle;

class FilterHandle {
  public:
    // Closes the filter if still open.
    ~FilterHandle();
    FilterHandle(const FilterHandle&) = delete;
    FilterHandle& operator=(const FilterHandle&) = delete;

    // Closes the filter (its pins first). STATUS_INVALID_HANDLE if already closed.
    NTSTATUS Close();

    // A raw IOCTL_KS_PROPERTY: the input (a KSPROPERTY and what follows) and
    // the property's data buffer, passed as given.
    NTSTATUS Ioctl(const void* input, ULONG inputLength, void* output, ULONG outputLength,
                   ULONG* returned);
    // KSPROPERTY_TYPE_GET / _SET of (set, id) with the data buffer.
    NTSTATUS GetProperty(const GUID& set, ULONG id, void* data, ULONG length, ULONG* returned);
    NTSTATUS SetProperty(const GUID& set, ULONG id, const void* data, ULONG length,
                         ULONG* returned = nullptr);
    // A KSPROPSETID_Pin get with a KSP_PIN for pin factory `pinId`.
    NTSTATUS GetPinProperty(ULONG pinId, ULONG id, void* data, ULONG length, ULONG* returned);

    NTSTATUS GetPinFactoryCount(ULONG* count);
    NTSTATUS GetPinInstances(ULONG pinId, KSPIN_CINSTANCES* instances);
    // The pin factory's data ranges, each as its FormatSize bytes.
    NTSTATUS GetDataRanges(ULONG pinId, std::vector<std::vector<uint8_t>>* ranges);
    // Data intersection of one caller range: a size query, then the format.
    NTSTATUS Intersect(ULONG pinId, const void* range, ULONG rangeSize,
                       std::vector<uint8_t>* format);
    // The input of a KSPROPERTY_PIN_DATAINTERSECTION request: KSP_PIN,
    // KSMULTIPLE_ITEM, then the ranges at 8-byte-aligned offsets (for Ioctl).
    static std::vector<uint8_t> IntersectionRequest(
        ULONG pinId, const std::vector<std::vector<uint8_t>>& ranges);

    // Creates a pin of factory `pinId` connected with `format` (a KSDATAFORMAT
    // and what follows, FormatSize bytes): STATUS_QUOTA_EXCEEDED beyond the
    // factory's InstancesPossible, STATUS_NO_MATCH when the format pairs with
    // none of its ranges, else the status of the driver's SetDataFormat and
    // Create.
    NTSTATUS CreatePin(ULONG pinId, const void* format, ULONG formatLength,
                       std::unique_ptr<PinHandle>* pin, const PinOptions& options = PinOptions());
    // The pin create request as a user-mode client sends it (KsCreatePin):
    // a KSPIN_CONNECT (x64 layout, 72 bytes) with the format right behind it,
    // `length` bytes in all. STATUS_INVALID_PARAMETER when the request is
    // shorter than a KSPIN_CONNECT and a KSDATAFORMAT or the format's
    // FormatSize runs past its end; a PinId
    // beyond the factories too; STATUS_NO_MATCH when Interface or Medium is not
    // one the pin factory lists (none listed: standard streaming over the
    // standard any-instance medium); else as CreatePin with that format.
    NTSTATUS CreatePinFromConnect(const void* connect, ULONG length,
                                  std::unique_ptr<PinHandle>* pin,
                                  const PinOptions& options = PinOptions());

    // For inspection by tests: the KSFILTER as the driver sees it.
    PKSFILTER KsFilter() const;

  private:
    friend class Device;
    FilterHandle(ks::KsDeviceObject* device, std::shared_ptr<ks::KsFilterObject> filter);

    ks::KsDeviceObject* device_;                  // the device; valid while the filter is open
    std::shared_ptr<ks::KsFilterObject> filter_;  // the class library's filter
};

}  // namespace host
