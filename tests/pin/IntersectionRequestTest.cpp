// The data intersection as a client asks for it: a KSPROPERTY_PIN_DATAINTERSECTION
// request on the filter, answered by the class library with the pin's
// intersection handler.

#include <gtest/gtest.h>

#include "driver/pin/FormatNegotiation.h"
#include "pin/PinHarness.h"

namespace pintest {
namespace {

class IntersectionRequest : public PinHarness {
  protected:
    // A raw request for one caller range with an output buffer of `length`.
    NTSTATUS Ask(const std::vector<uint8_t>& range, ULONG length, std::vector<uint8_t>* answer,
                 ULONG* returned) {
        std::vector<uint8_t> input = host::FilterHandle::IntersectionRequest(0, {range});
        answer->assign(length, 0xCD);
        *returned = 0xDEAD;
        return filter_->Ioctl(input.data(), static_cast<ULONG>(input.size()),
                              length == 0 ? nullptr : answer->data(), length, returned);
    }
};

TEST_F(IntersectionRequest, SizeQueryThenTheFormat) {
    std::vector<uint8_t> answer;
    ULONG returned = 0;
    EXPECT_EQ(Ask(CaptureRange(), 0, &answer, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 152u);
    EXPECT_EQ(Ask(CaptureRange(), 151, &answer, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ask(CaptureRange(), 152, &answer, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 152u);
}

TEST_F(IntersectionRequest, ClientGetsWhatTheHandlerBuilds) {
    std::vector<uint8_t> viaClient = ProposedFormat(*filter_, CaptureRange());
    ASSERT_EQ(viaClient.size(), 152u);
    std::vector<uint8_t> range = CaptureRange();
    std::vector<uint8_t> direct(152, 0);
    ULONG size = 0;
    PKSDATARANGE own = const_cast<PKSDATARANGE>(&CaptureDataRange.DataRange);
    ASSERT_EQ(
        IntersectHandler(nullptr, nullptr, nullptr, reinterpret_cast<PKSDATARANGE>(range.data()),
                         own, 152, direct.data(), &size),
        STATUS_SUCCESS);
    EXPECT_EQ(viaClient, direct);
    // And a pin can be made with it.
    EXPECT_NE(NewPin(), nullptr);
}

TEST_F(IntersectionRequest, ShortRangeFindsNoMatch) {
    std::vector<uint8_t> range = CaptureRange();
    range.resize(295);
    reinterpret_cast<KSDATARANGE*>(range.data())->FormatSize = 295;
    std::vector<uint8_t> answer;
    ULONG returned = 0;
    EXPECT_EQ(Ask(range, 0, &answer, &returned), STATUS_NO_MATCH);
}

TEST_F(IntersectionRequest, WildcardSpecifierPairsButDoesNotMatch) {
    // The class library pairs a wildcard specifier with the pin's range; the
    // handler wants the video info specifier itself.
    std::vector<uint8_t> range = CaptureRange();
    std::memset(&reinterpret_cast<KSDATARANGE*>(range.data())->Specifier, 0, sizeof(GUID));
    std::vector<uint8_t> answer;
    ULONG returned = 0;
    EXPECT_EQ(Ask(range, 0, &answer, &returned), STATUS_NO_MATCH);
}

TEST_F(IntersectionRequest, WildcardFormatsTakeThePinsFormatGuids) {
    // Major and subformat wildcards pair; the answer names the pin's own.
    std::vector<uint8_t> range = CaptureRange();
    auto* header = reinterpret_cast<KSDATARANGE*>(range.data());
    std::memset(&header->MajorFormat, 0, sizeof(GUID));
    std::memset(&header->SubFormat, 0, sizeof(GUID));
    std::vector<uint8_t> format = ProposedFormat(*filter_, range);
    ASSERT_EQ(format.size(), 152u);
    EXPECT_TRUE(reinterpret_cast<KSDATAFORMAT*>(format.data())->SubFormat ==
                CaptureDataRange.DataRange.SubFormat);
}

TEST_F(IntersectionRequest, WrappingHeaderSizeIsInvalid) {
    std::vector<uint8_t> range = CaptureRange();
    reinterpret_cast<KS_DATARANGE_VIDEO*>(range.data())->VideoInfoHeader.bmiHeader.biSize =
        0xFFFFFF10;
    std::vector<uint8_t> answer;
    ULONG returned = 0;
    EXPECT_EQ(Ask(range, 0, &answer, &returned), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace pintest
