#include "host/verifier/CallSite.h"

#include "host/loader/DriverImage.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {

std::string CallSite::Format(const void* returnAddress) {
    if (returnAddress == nullptr) {
        return "unknown site";
    }
    // The return address points after the call; one byte back is inside it.
    const char* pc = static_cast<const char*>(returnAddress) - 1;
    char text[512];
    if (loader::ImageBoundary::InImage(pc)) {
        std::string name = loader::DriverImage::Describe(pc);
        if (!name.empty()) {
            return name;
        }
    }
    Dl_info info{};
    if (dladdr(pc, &info) == 0 || info.dli_fname == nullptr) {
        std::snprintf(text, sizeof text, "pc %p", static_cast<const void*>(pc));
        return text;
    }
    const char* module = std::strrchr(info.dli_fname, '/');
    module = module != nullptr ? module + 1 : info.dli_fname;
    unsigned long offset =
        static_cast<unsigned long>(pc - static_cast<const char*>(info.dli_fbase));
    std::string site;
    std::snprintf(text, sizeof text, "%s+0x%lx", module, offset);
    site = text;
    if (info.dli_sname != nullptr) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        site += " (";
        site += status == 0 && demangled != nullptr ? demangled : info.dli_sname;
        site += ")";
        std::free(demangled);
    }
    return site;
}

}  // namespace host
