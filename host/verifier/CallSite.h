// Names a code address for violation reports: "module+0xoffset", which
// `addr2line -e module 0xoffset` turns into file:line, plus the symbol when
// the dynamic symbol table has it.
#pragma once

#include "host/loader/ImageBoundary.h"

#include <string>

namespace host {

class CallSite {
  public:
    // Any thread; costs a dladdr lookup, so it is called only when reporting.
    static std::string Format(const void* returnAddress);
    // `returnAddress`, or the driver image's call site while the image's
    // import call is being served on this thread.
    static const void* Caller(const void* returnAddress) {
        const void* image = loader::ImageBoundary::ImageCaller();
        return image != nullptr ? image : returnAddress;
    }
};

// The caller of the executive routine this expands in: inside an import
// called by a loaded driver image, the image's call site rather than the
// import's thunk.
#define HOST_CALLER() ::host::CallSite::Caller(__builtin_return_address(0))

}  // namespace host
