// Names a code address for violation reports: "module+0xoffset", which
// `addr2line -e module 0xoffset` turns into file:line, plus the symbol when
// the dynamic symbol table has it.
#pragma once

#include <string>

namespace host {

class CallSite {
  public:
    // Any thread; costs a dladdr lookup, so it is called only when reporting.
    static std::string Format(const void* returnAddress);
};

// The caller of the executive routine this expands in.
#define HOST_CALLER() __builtin_return_address(0)

}  // namespace host
