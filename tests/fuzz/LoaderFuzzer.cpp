// libFuzzer target: the driver image loader (host/loader) on arbitrary bytes,
// seeded with the built VantriCamera.sys so mutations start from a valid
// image and reach every header, section, relocation, import and symbol check.
//
// Each input is parsed and, if accepted, mapped, relocated and bound, then
// unmapped; no image code runs. AddressSanitizer reports any read outside
// the input; a crash or a hang is a finding. An accepted image must pass the
// loader's own invariants: its sections ascend without overlap inside the
// image and every relocated slot and import slot lies inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/loader/DriverImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    auto image = host::loader::DriverImage::LoadBytes(data, size, "fuzz.sys", &error);
    if (image == nullptr) {
        if (error.rfind("fuzz.sys: ", 0) != 0) {
            std::abort();  // every refusal names the image and says why
        }
        return 0;
    }
    const host::loader::PeImage& pe = image->Pe();
    uint32_t previousEnd = 0;
    for (const auto& section : pe.Sections()) {
        if (section.rva < previousEnd || section.rva + section.virtualSize > pe.SizeOfImage()) {
            std::abort();
        }
        previousEnd = section.rva + section.virtualSize;
    }
    for (uint32_t slot : pe.Relocations()) {
        if (slot + 8 > pe.SizeOfImage()) {
            std::abort();
        }
    }
    for (const auto& import : pe.Imports()) {
        if (import.slotRva + 8 > pe.SizeOfImage()) {
            std::abort();
        }
    }
    return 0;
}
