// One I/O request as the class library hands it to the driver: an IRP whose
// current stack location carries the major function and, for device I/O
// controls, the buffer lengths; IoStatus comes back to the client.
// KsGetFilterFromIrp finds the addressed filter through it.
#pragma once

#include <host/ks.h>

namespace host::ks {

class KsFilterObject;
class KsPinObject;

class KsRequest {
  public:
    KsRequest(UCHAR majorFunction, KsFilterObject* filter, KsPinObject* pin);
    KsRequest(const KsRequest&) = delete;
    KsRequest& operator=(const KsRequest&) = delete;
    ~KsRequest();

    PIRP Irp() { return &irp_; }
    PIO_STACK_LOCATION Stack() { return &stack_; }
    // Sets the device I/O control parameters of the stack location.
    void SetDeviceIoControl(ULONG ioControlCode, ULONG inputLength, ULONG outputLength,
                            PVOID type3InputBuffer);

    // Any IRQL. The request `irp` belongs to, or nullptr for an IRP the class
    // library did not make.
    static KsRequest* FromIrp(PIRP irp);
    KsFilterObject* Filter() const { return filter_; }
    KsPinObject* Pin() const { return pin_; }

  private:
    static constexpr ULONG kMagic = 0x5152534B;  // "KSRQ"
    ULONG magic_;                                // kMagic while alive
    KsFilterObject* filter_;                     // the addressed filter (also for pin requests)
    KsPinObject* pin_;                           // the addressed pin, or nullptr
    FILE_OBJECT file_;                           // the handle's file object
    IO_STACK_LOCATION stack_;                    // the one stack location
    IRP irp_;                                    // the request the driver sees
};

}  // namespace host::ks
