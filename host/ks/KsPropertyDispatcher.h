// IOCTL_KS_PROPERTY on a filter handle, the way the class library dispatches
// it. The input buffer is a KSPROPERTY (plus whatever the property takes), the
// output buffer the property's data; both are handed to the handler as copies
// of exactly the caller's lengths (the library's system buffers), and for a get
// IoStatus.Information bytes of the data go back to the caller.
//
// The request is matched against the filter's automation table first, then
// against the pin factory properties KS answers itself (KSPROPSETID_Pin).
// Refusals, all before any handler runs:
//   input shorter than a KSPROPERTY                  STATUS_BUFFER_TOO_SMALL
//   set in neither table                             STATUS_PROPSET_NOT_FOUND
//   id not in the set                                STATUS_NOT_FOUND
//   the item has no handler for the operation        STATUS_NOT_FOUND
//   Flags ask for neither get, set nor support       STATUS_INVALID_PARAMETER
//   input shorter than MinProperty (at least 24)     STATUS_BUFFER_TOO_SMALL
//   data length 0 while MinData is not (size query)  STATUS_BUFFER_OVERFLOW,
//                                                    Information = MinData
//   data shorter than MinData                        STATUS_BUFFER_TOO_SMALL
// The handler runs at PASSIVE_LEVEL with an IRP whose current stack location
// carries InputBufferLength and OutputBufferLength; its status and
// IoStatus.Information come back to the caller.
#pragma once

#include <host/ks.h>

namespace host::ks {

class KsFilterObject;

class KsPropertyDispatcher {
  public:
    // PASSIVE_LEVEL. `*returned` receives IoStatus.Information.
    static NTSTATUS Dispatch(KsFilterObject* filter, const void* input, ULONG inputLength,
                             void* output, ULONG outputLength, ULONG* returned);
};

}  // namespace host::ks
