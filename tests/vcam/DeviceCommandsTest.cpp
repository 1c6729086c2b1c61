// vcam.exe's commands (check, info, feed) run here against the driver on the
// host kernel through HostTransport: the code that runs on a Windows test PC,
// all but its Win32 transport, on the virtual clock so pacing is exact.
#include "tests/vcam/CameraFixture.h"

#include "tools/vcam/CameraFormat.h"
#include "tools/vcam/PushLedger.h"
#include "tools/vcam/TestPattern.h"
#include "tools/vcam/ToolError.h"
#include "tools/vcam/device/DeviceCamera.h"
#include "tools/vcam/device/DeviceCheck.h"
#include "tools/vcam/device/DeviceFeed.h"
#include "tools/vcam/device/DeviceInfo.h"
#include "tools/vcam/transport/HostTransport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using vcam::KsWire;

// Output written to a temporary file and read back as text.
class Capture {
  public:
    Capture() : file_(std::tmpfile()) {}
    ~Capture() { std::fclose(file_); }
    std::FILE* File() { return file_; }
    std::string Text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string text;
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file_)) > 0) text.append(chunk, got);
        return text;
    }

  private:
    std::FILE* file_;
};

// A file in the temporary folder, removed at the end.
class TempFile {
  public:
    explicit TempFile(const std::string& bytes) {
        char name[] = "/tmp/vcam-feed-XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

std::string PatternFrames(uint32_t first, int count) {
    std::string bytes;
    std::vector<uint8_t> frame(vcam::kI420Bytes);
    for (int i = 0; i < count; ++i) {
        vcam::TestPattern::Draw(first + i, frame.data());
        bytes.append(reinterpret_cast<const char*>(frame.data()), frame.size());
    }
    return bytes;
}

class DeviceCommandsTest : public CameraFixture {
  protected:
    void SetUp() override {
        CameraFixture::SetUp();
        transport_ = std::make_unique<vcam::HostTransport>(*filter_);
    }
    void TearDown() override {
        transport_.reset();
        unsetenv("VCAM_CHECK_BREAK");
        CameraFixture::TearDown();
    }

    // Runs a feed; returns the exit code its error carries (0 without one).
    int Feed(const vcam::FeedOptions& options, std::string* text,
             vcam::FeedSummary* summary = nullptr) {
        Capture out;
        int code = 0;
        try {
            vcam::FeedSummary result = vcam::DeviceFeed(options, *transport_, out.File()).Run();
            if (summary != nullptr) *summary = result;
        } catch (const vcam::ToolError& error) {
            code = error.Code();
            *text = std::string(error.what()) + "\n";
        }
        *text = out.Text() + (code != 0 ? *text : "");
        return code;
    }

    std::unique_ptr<vcam::HostTransport> transport_;
};

TEST_F(DeviceCommandsTest, CheckPassesOnTheDriverAndItsSelfTestFailsExactlyOneCheck) {
    Capture out;
    EXPECT_EQ(vcam::DeviceCheck(*transport_, 30, out.File()).Run(), vcam::kExitOk) << out.Text();
    EXPECT_NE(out.Text().find("Failed: 0"), std::string::npos) << out.Text();

    setenv("VCAM_CHECK_BREAK", "1", 1);
    Capture broken;
    EXPECT_EQ(vcam::DeviceCheck(*transport_, 5, broken.File()).Run(), vcam::kExitNonConformant);
    EXPECT_NE(broken.Text().find("Failed: 1,"), std::string::npos) << broken.Text();
    EXPECT_NE(broken.Text().find("h.duration == expectedDuration"), std::string::npos)
        << broken.Text();
}

TEST_F(DeviceCommandsTest, InfoShowsTheSignatureFormatAndFraming) {
    Capture out;
    EXPECT_EQ(vcam::DeviceInfo::Print(*transport_, out.File()), 0);
    const std::string text = out.Text();
    EXPECT_NE(text.find("0xAA77AA77 (4 bytes)"), std::string::npos) << text;
    EXPECT_NE(text.find("1280 x 720"), std::string::npos) << text;
    EXPECT_NE(text.find("1 item(s), 2 frames of up to 1843200 bytes"), std::string::npos) << text;
}

TEST_F(DeviceCommandsTest, FeedPushesEachFrameAtItsDueTimeAndTheCameraShowsThem) {
    // A running capture pin on the same filter, so pushes reach the picture.
    vcam::DeviceCamera camera(*transport_);
    std::unique_ptr<vcam::KsPinChannel> pin;
    ASSERT_TRUE(camera.CreatePin(0, camera.Yuy2Format(0), &pin).Ok());
    ASSERT_TRUE(vcam::DeviceCamera::WalkState(*pin, 0, 2).Ok());
    std::vector<std::unique_ptr<vcam::KsRead>> reads;
    for (int i = 0; i < 8; ++i) {
        reads.push_back(std::make_unique<vcam::KsRead>());
        reads.back()->buffer.resize(vcam::kYuy2Bytes);
        reads.back()->header = KsWire::ReadHeader(reads.back()->buffer.data(), vcam::kYuy2Bytes);
        ASSERT_TRUE(pin->SubmitRead(reads.back().get()).Ok());
    }
    ASSERT_TRUE(vcam::DeviceCamera::WalkState(*pin, 2, 3).Ok());

    TempFile clip(PatternFrames(500, 4));
    vcam::FeedOptions options;
    options.source.input = clip.Path();
    options.source.inputFormat = "i420";
    options.source.rate = "15";
    std::string text;
    vcam::FeedSummary summary;
    ASSERT_EQ(Feed(options, &text, &summary), 0) << text;
    EXPECT_EQ(summary.pushed, 4u);
    EXPECT_EQ(summary.late, 0u);
    // Push k at start + k x 10^7 / 15: the last one 2 s x 1/10 later.
    EXPECT_NEAR(summary.seconds * 1e7, 2000000, 0.5);
    EXPECT_NE(text.find("pushed 4 frames in 0.20 s"), std::string::npos) << text;

    // Ticks at 29.97 fps over 0.2 s and a little after: the frames delivered
    // show pushes 500 to 503 in order.
    std::vector<uint32_t> shown;
    while (vcam::KsRead* read = pin->WaitRead(100)) {
        std::optional<uint32_t> sequence = vcam::TestPattern::DecodeYuy2(read->buffer.data());
        if (sequence && (shown.empty() || shown.back() != *sequence)) shown.push_back(*sequence);
    }
    EXPECT_EQ(shown, (std::vector<uint32_t>{500, 501, 502, 503}));
    pin->Close();
}

TEST_F(DeviceCommandsTest, FeedOfACutShortInputKeepsTheWholeFramesAndSaysWhy) {
    TempFile clip(PatternFrames(0, 2) + std::string(1000, '\x10'));
    vcam::FeedOptions options;
    options.source.input = clip.Path();
    options.source.inputFormat = "i420";
    std::string text;
    EXPECT_EQ(Feed(options, &text), vcam::kExitInput);
    EXPECT_NE(text.find("pushed 2 frames"), std::string::npos) << text;
    EXPECT_NE(text.find("frame 2 is cut short: 1000 of 1382400 bytes"), std::string::npos) << text;
}

TEST_F(DeviceCommandsTest, FeedRefusesAY4mOfAnotherSizeOrChromaAndAMissingFile) {
    std::string text;
    vcam::FeedOptions options;
    TempFile small("YUV4MPEG2 W640 H480 F30:1 C420\nFRAME\n" + std::string(640 * 480 * 3 / 2, 0));
    options.source.input = small.Path();
    EXPECT_EQ(Feed(options, &text), vcam::kExitInput);
    EXPECT_NE(text.find("640x480"), std::string::npos) << text;

    TempFile full("YUV4MPEG2 W1280 H720 F30:1 C444\n");
    options.source.input = full.Path();
    EXPECT_EQ(Feed(options, &text), vcam::kExitInput);
    EXPECT_NE(text.find("444"), std::string::npos) << text;

    options.source.input = "/nonexistent/clip.y4m";
    EXPECT_EQ(Feed(options, &text), vcam::kExitInput);
    EXPECT_NE(text.find("/nonexistent/clip.y4m"), std::string::npos) << text;
}

}  // namespace
