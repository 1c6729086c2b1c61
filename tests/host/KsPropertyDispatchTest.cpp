// Property requests on a filter handle as IOCTL_KS_PROPERTY: the filter's
// automation table first, then the pin factory properties KS answers itself;
// refusals with their statuses before any handler runs; the handler's IRP
// carries the buffer lengths and its Information comes back.
#include "KsMiniDriver.h"
#include "support/ScopedVariant.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using KsPropertyDispatchTest = KsTest;

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY property;
    std::memset(&property, 0, sizeof property);
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

TEST_F(KsPropertyDispatchTest, AGetReachesTheHandlerAndItsInformationComesBack) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    UCHAR data[16];
    std::memset(data, 0xEE, sizeof data);
    ULONG returned = 0;
    ASSERT_EQ(rig.filter->GetProperty(kMiniSet, 0, data, sizeof data, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    ULONG value = 0;
    std::memcpy(&value, data, sizeof value);
    EXPECT_EQ(value, kItem0Value);
    // Only the bytes the handler reported come back.
    EXPECT_EQ(data[4], 0xEE);
    EXPECT_EQ(Mini().handlerInputLength, sizeof(KSPROPERTY));
    EXPECT_EQ(Mini().handlerOutputLength, sizeof data);
    EXPECT_EQ(Mini().handlerInformationOnEntry, 0u);
    EXPECT_EQ(Mini().handlerIrql, PASSIVE_LEVEL);
    EXPECT_EQ(Mini().handlerFilter, rig.filter->KsFilter());
}

TEST_F(KsPropertyDispatchTest, AHandlerStatusAndInformationComeBackOnFailureToo) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    UCHAR data[2] = {0x5A, 0x5A};
    ULONG returned = 0;
    EXPECT_EQ(rig.filter->GetProperty(kMiniSet, 0, data, sizeof data, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(data[0], 0x5A);
}

TEST_F(KsPropertyDispatchTest, ASetHandsTheDataToTheHandler) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    const UCHAR frame[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(rig.filter->SetProperty(kMiniSet, 0, frame, sizeof frame), STATUS_SUCCESS);
    EXPECT_THAT(Mini().setData, ::testing::ElementsAre(1, 2, 3, 4, 5));
    EXPECT_EQ(Mini().handlerOutputLength, 5u);
    // A set without data reaches the handler with length 0.
    ASSERT_EQ(rig.filter->SetProperty(kMiniSet, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(Mini().handlerOutputLength, 0u);
}

TEST_F(KsPropertyDispatchTest, InputBeyondTheKsPropertyReachesTheHandler) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    UCHAR input[sizeof(KSPROPERTY) + 8];
    KSPROPERTY property = Property(kMiniSet, 1, KSPROPERTY_TYPE_GET);
    std::memcpy(input, &property, sizeof property);
    for (int i = 0; i < 8; ++i) {
        input[sizeof(KSPROPERTY) + i] = static_cast<UCHAR>(0xA0 + i);
    }
    UCHAR data[8] = {};
    ULONG returned = 0;
    ASSERT_EQ(rig.filter->Ioctl(input, sizeof input, data, sizeof data, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(data[0], 0xA0);
    EXPECT_EQ(data[7], 0xA7);
    EXPECT_EQ(Mini().handlerInputLength, sizeof input);
}

struct Refusal {
    const char* what;
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG inputLength;
    ULONG outputLength;
    NTSTATUS status;
    ULONG returned;
};

TEST_F(KsPropertyDispatchTest, RequestsAreRefusedBeforeAnyHandlerRuns) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    const Refusal refusals[] = {
        {"unknown set", kOtherSet, 0, KSPROPERTY_TYPE_GET, 24, 16, STATUS_PROPSET_NOT_FOUND, 0},
        {"unknown id", kMiniSet, 9, KSPROPERTY_TYPE_GET, 24, 16, STATUS_NOT_FOUND, 0},
        {"get of a set-only item", kMiniSet, 2, KSPROPERTY_TYPE_GET, 24, 16, STATUS_NOT_FOUND, 0},
        {"set of a get-only item", kMiniSet, 1, KSPROPERTY_TYPE_SET, 32, 16, STATUS_NOT_FOUND, 0},
        {"neither get nor set", kMiniSet, 0, 0, 24, 16, STATUS_INVALID_PARAMETER, 0},
        {"input shorter than a KSPROPERTY", kMiniSet, 0, KSPROPERTY_TYPE_GET, 23, 16,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"input shorter than MinProperty", kMiniSet, 1, KSPROPERTY_TYPE_GET, 31, 16,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"data shorter than MinData", kMiniSet, 1, KSPROPERTY_TYPE_GET, 32, 7,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"no data where MinData asks for some: a size query", kMiniSet, 1, KSPROPERTY_TYPE_GET, 32,
         0, STATUS_BUFFER_OVERFLOW, 8},
    };
    for (const Refusal& refusal : refusals) {
        UCHAR input[64] = {};
        KSPROPERTY property = Property(refusal.set, refusal.id, refusal.flags);
        std::memcpy(input, &property, sizeof property);
        UCHAR data[16] = {};
        ULONG returned = 0xFFFF;
        NTSTATUS status = rig.filter->Ioctl(input, refusal.inputLength,
                                            refusal.outputLength != 0 ? data : nullptr,
                                            refusal.outputLength, &returned);
        EXPECT_EQ(status, refusal.status) << refusal.what;
        EXPECT_EQ(returned, refusal.returned) << refusal.what;
    }
    EXPECT_EQ(Mini().handlerCalls, 0);
}

TEST_F(KsPropertyDispatchTest, TheUndocumentedRefusalsFollowTheirVariants) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    auto ask = [this](const GUID& set, ULONG id, ULONG inputLength, ULONG outputLength,
                      ULONG* returned) {
        UCHAR input[64] = {};
        KSPROPERTY property = Property(set, id, KSPROPERTY_TYPE_GET);
        std::memcpy(input, &property, sizeof property);
        UCHAR data[16] = {};
        *returned = 0xFFFF;
        return rig.filter->Ioctl(input, inputLength, outputLength != 0 ? data : nullptr,
                                 outputLength, returned);
    };
    ULONG returned = 0;
    {
        ScopedVariant variant(host::Variant::UnknownSetStatus, "not-found");
        EXPECT_EQ(ask(kOtherSet, 0, 24, 16, &returned), STATUS_NOT_FOUND);
    }
    {
        // 0 < length < MinData answered as a length of 0: the size, as a warning.
        ScopedVariant variant(host::Variant::ShortDataStatus, "as-zero-length");
        EXPECT_EQ(ask(kMiniSet, 1, 32, 7, &returned), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(returned, 8u);
    }
    EXPECT_EQ(Mini().handlerCalls, 0);
}

TEST_F(KsPropertyDispatchTest, BasicSupportIsAnsweredFromTheItemWithoutItsHandlers) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    UCHAR input[64] = {};
    KSPROPERTY property = Property(kMiniSet, 1, KSPROPERTY_TYPE_BASICSUPPORT);
    std::memcpy(input, &property, sizeof property);
    ULONG access = 0;
    ULONG returned = 0;
    ASSERT_EQ(rig.filter->Ioctl(input, 32, &access, sizeof access, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof access);
    EXPECT_EQ(access, static_cast<ULONG>(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET));
    KSPROPERTY_DESCRIPTION description{};
    ASSERT_EQ(rig.filter->Ioctl(input, 32, &description, sizeof description, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof description);
    EXPECT_EQ(description.AccessFlags, access);
    EXPECT_EQ(description.DescriptionSize, sizeof description);
    EXPECT_EQ(Mini().handlerCalls, 0);
}

TEST_F(KsPropertyDispatchTest, KsAnswersThePinFactoryCountsAndFlow) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    ULONG count = 0;
    ASSERT_EQ(rig.filter->GetPinFactoryCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);

    KSPIN_CINSTANCES instances = {};
    ASSERT_EQ(rig.filter->GetPinInstances(kCapturePin, &instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 0u);
    std::vector<UCHAR> format = FormatA();
    ASSERT_EQ(rig.filter->CreatePin(kCapturePin, format.data(), static_cast<ULONG>(format.size()),
                                    &rig.pin),
              STATUS_SUCCESS);
    ASSERT_EQ(rig.filter->GetPinInstances(kCapturePin, &instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 1u);
    ASSERT_EQ(rig.filter->GetPinInstances(kLoosePin, &instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.PossibleCount, 2u);
    EXPECT_EQ(instances.CurrentCount, 0u);

    ULONG value = 0;
    ULONG returned = 0;
    ASSERT_EQ(rig.filter->GetPinProperty(kCapturePin, KSPROPERTY_PIN_DATAFLOW, &value, sizeof value,
                                         &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(value, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
    ASSERT_EQ(rig.filter->GetPinProperty(kCapturePin, KSPROPERTY_PIN_COMMUNICATION, &value,
                                         sizeof value, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(value, static_cast<ULONG>(KSPIN_COMMUNICATION_BOTH));
    ASSERT_EQ(rig.filter->GetPinProperty(kCapturePin, KSPROPERTY_PIN_NECESSARYINSTANCES, &value,
                                         sizeof value, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    GUID category = {};
    ASSERT_EQ(rig.filter->GetPinProperty(kCapturePin, KSPROPERTY_PIN_CATEGORY, &category,
                                         sizeof category, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(category, kPinCategory);
}

TEST_F(KsPropertyDispatchTest, PinFactoryPropertiesFollowTheSizeRulesAndRefuseBadRequests) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    ULONG returned = 0;
    EXPECT_EQ(
        rig.filter->GetPinProperty(kCapturePin, KSPROPERTY_PIN_CINSTANCES, nullptr, 0, &returned),
        STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof(KSPIN_CINSTANCES));
    UCHAR shortBuffer[4];
    EXPECT_EQ(rig.filter->GetPinProperty(kCapturePin, KSPROPERTY_PIN_CINSTANCES, shortBuffer,
                                         sizeof shortBuffer, &returned),
              STATUS_BUFFER_TOO_SMALL);
    ULONG value = 0;
    EXPECT_EQ(
        rig.filter->GetPinProperty(7, KSPROPERTY_PIN_DATAFLOW, &value, sizeof value, &returned),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.filter->GetPinProperty(kCapturePin, KSPROPERTY_PIN_NAME, &value, sizeof value,
                                         &returned),
              STATUS_NOT_FOUND);
    // A KSPROPERTY where a KSP_PIN is needed.
    KSPROPERTY bare = Property(kPinSet, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(rig.filter->Ioctl(&bare, sizeof bare, &value, sizeof value, &returned),
              STATUS_BUFFER_TOO_SMALL);
    // The pin factory properties are get-only.
    KSP_PIN set = {};
    set.Property = Property(kPinSet, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_SET);
    EXPECT_EQ(rig.filter->Ioctl(&set, sizeof set, &value, sizeof value, &returned),
              STATUS_NOT_FOUND);
}

TEST_F(KsPropertyDispatchTest, AClosedHandleTakesNoRequests) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(rig.filter->Close(), STATUS_SUCCESS);
    UCHAR data[4];
    ULONG returned = 0;
    EXPECT_EQ(rig.filter->GetProperty(kMiniSet, 0, data, sizeof data, &returned),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(rig.filter->Close(), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Mini().handlerCalls, 0);
}

TEST_F(KsPropertyDispatchTest, KsGetFilterFromIrpRefusesAnIrpItDidNotMake) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    IRP foreign;
    std::memset(&foreign, 0, sizeof foreign);
    EXPECT_EQ(KsGetFilterFromIrp(&foreign), nullptr);
    ExpectViolations({host::Rule::KsObject});
}

}  // namespace
}  // namespace ksmini
