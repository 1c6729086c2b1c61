// A filter instance: the KSFILTER opened through a factory's interface, with
// its bag, its pins and the property requests sent to its handle. The
// driver's Create and Close are each timed by KsCallbackDeadline (500 ms).
#pragma once

#include <host/ks.h>

#include "host/ks/KsControlMutex.h"
#include "host/ks/KsObjectBag.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace host::ks {

class KsDeviceObject;
class KsFilterFactoryObject;
class KsPinObject;
struct KsPinOptions;

class KsFilterObject : public std::enable_shared_from_this<KsFilterObject> {
  public:
    KsFilterObject(KsDeviceObject* device, KsFilterFactoryObject* factory);
    ~KsFilterObject();
    KsFilterObject(const KsFilterObject&) = delete;
    KsFilterObject& operator=(const KsFilterObject&) = delete;

    // PASSIVE_LEVEL, once, by the device's open. Calls the driver's filter
    // Create; a failure frees the filter's bag and the filter never opens.
    NTSTATUS Create();
    // PASSIVE_LEVEL. Closes every pin, calls the driver's filter Close and
    // frees the bag. Idempotent.
    void Close();
    bool Closed() const { return closed_.load(); }

    PKSFILTER KsFilter() { return &ksFilter_; }
    KsDeviceObject* Device() const { return device_; }
    KsFilterFactoryObject* Factory() const { return factory_; }
    const KSFILTER_DESCRIPTOR* Descriptor() const { return ksFilter_.Descriptor; }
    // The pin factories of the descriptor; nullptr for an id out of range.
    ULONG PinFactoryCount() const;
    const KSPIN_DESCRIPTOR_EX* PinFactory(ULONG pinId) const;
    // Pins of factory `pinId` open on this filter now.
    ULONG PinInstances(ULONG pinId);
    // Every pin open on this filter now.
    std::vector<std::shared_ptr<KsPinObject>> OpenPins();

    // PASSIVE_LEVEL. One IOCTL_KS_PROPERTY request (see KsPropertyDispatcher).
    NTSTATUS Property(const void* input, ULONG inputLength, void* output, ULONG outputLength,
                      ULONG* returned);
    // PASSIVE_LEVEL. Creates a pin of factory `pinId` with the connection
    // format (see KsPinObject::Create for the order of calls).
    NTSTATUS CreatePin(ULONG pinId, const void* format, ULONG formatLength,
                       const KsPinOptions& options, std::shared_ptr<KsPinObject>* pin);
    // PASSIVE_LEVEL. Closes one of this filter's pins.
    void ClosePin(const std::shared_ptr<KsPinObject>& pin);

    // Any thread: whether the calling thread holds this filter's control
    // mutex (the guard of the filter's and its pins' bags).
    bool ControlMutexHeldByCurrentThread() const { return controlMutex_.HeldByCurrentThread(); }
    // The filter's control mutex: held for pin creates and closes, and the
    // pins' SetDeviceState and SetDataFormat (taken before a pin's own lock).
    KsControlMutex& ControlMutex() { return controlMutex_; }

  private:
    KsDeviceObject* device_;          // owner; outlives the filter while it is open
    KsFilterFactoryObject* factory_;  // the factory it was opened through
    KSFILTER ksFilter_;               // the driver's view
    KsObjectBag bag_;                 // the filter's bag
    std::atomic<bool> created_;       // the driver's Create succeeded
    std::atomic<bool> closed_;        // Close ran (or Create failed)
    KsControlMutex controlMutex_;     // the filter's control mutex: create, close, pin create,
                                      // close, SetDataFormat, SetDeviceState
    std::mutex pinsMutex_;            // guards pins_
    std::vector<std::shared_ptr<KsPinObject>> pins_;  // open pins; pinsMutex_
};

}  // namespace host::ks
