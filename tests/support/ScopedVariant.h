// Selects one option of a platform variant for the life of a test scope and
// puts back the option that was selected before (which the table runner may
// have chosen through VCAM_VARIANTS).
#pragma once

#include <host/variants/Variants.h>

#include <gtest/gtest.h>

class ScopedVariant {
  public:
    ScopedVariant(host::Variant variant, const char* option)
        : variant_(variant), previous_(host::Variants::Get(variant)) {
        const host::VariantInfo& info = host::Variants::Info(variant);
        for (int o = 0; o < info.optionCount; ++o) {
            if (std::string(info.options[o]) == option) {
                host::Variants::Set(variant, o);
                return;
            }
        }
        ADD_FAILURE() << info.name << " has no option " << option;
    }
    ~ScopedVariant() { host::Variants::Set(variant_, previous_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;

  private:
    host::Variant variant_;
    int previous_;
};
