// The pin factory properties (KSPROPSETID_Pin) that the class library answers
// itself from the filter descriptor, get only (any other operation:
// STATUS_NOT_FOUND). The input is a KSP_PIN (a KSPROPERTY for CTYPES); a pin
// id the descriptor does not have gets STATUS_INVALID_PARAMETER.
//   CTYPES              ULONG: pin factories of the filter
//   CINSTANCES          KSPIN_CINSTANCES: InstancesPossible, pins open on this filter
//   NECESSARYINSTANCES  ULONG
//   DATAFLOW            KSPIN_DATAFLOW (ULONG)
//   COMMUNICATION       KSPIN_COMMUNICATION (ULONG)
//   CATEGORY            GUID
//   DATARANGES          KSMULTIPLE_ITEM, then every range at an 8-byte-aligned
//                       offset; Size counts the header and the padded ranges
//   DATAINTERSECTION    input KSP_PIN, KSMULTIPLE_ITEM, 8-byte-aligned caller
//                       ranges; see Intersect
// Fixed-size answers: data length 0 is a size query (STATUS_BUFFER_OVERFLOW,
// Information = the size), a shorter buffer STATUS_BUFFER_TOO_SMALL.
// Anything else in the set: STATUS_NOT_FOUND.
#pragma once

#include <host/ks.h>

namespace host::ks {

class KsFilterObject;

class KsPinFactoryProperties {
  public:
    // PASSIVE_LEVEL, from the property dispatcher. `input` and `data` are the
    // request's system buffers.
    static NTSTATUS Handle(KsFilterObject* filter, PIRP irp, UCHAR* input, ULONG inputLength,
                           UCHAR* data, ULONG dataLength, ULONG_PTR* information);

    // Any IRQL. True if MajorFormat, SubFormat and Specifier of `a` and `b`
    // are each equal or a wildcard (GUID_NULL) on either side.
    static bool Pairs(const KSDATARANGE& a, const KSDATARANGE& b);

  private:
    // KSPROPERTY_PIN_DATAINTERSECTION. The caller's ranges are checked for
    // consistency (STATUS_INVALID_PARAMETER: a KSMULTIPLE_ITEM whose Size runs
    // past the input or is below its own size, a range shorter than a
    // KSDATARANGE or running past the item). Each caller range, in order, is
    // paired with each of the pin's ranges, in order, that Pairs() with it;
    // the pin's IntersectHandler is called per pair (Context = the KSFILTER,
    // each caller range in a buffer of exactly its FormatSize, the data buffer
    // and its length as the caller gave them, NULL when the length is 0).
    // STATUS_NO_MATCH goes on to the next pair; any other status is the
    // answer (Information = DataSize on success and STATUS_BUFFER_OVERFLOW).
    // No pair matching, or no handler: STATUS_NO_MATCH.
    static NTSTATUS Intersect(KsFilterObject* filter, PIRP irp, UCHAR* input, ULONG inputLength,
                              const KSPIN_DESCRIPTOR_EX* pin, UCHAR* data, ULONG dataLength,
                              ULONG_PTR* information);
};

}  // namespace host::ks
