#include "tools/vcam/RawFrameReader.h"

#include "tools/vcam/ToolError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#if defined(_WIN32)
#include <io.h>
// Frames are bytes: no newline translation, and no handle inheritance flag
// to ask for.
constexpr int kOpenFlags = O_RDONLY | O_BINARY;
#else
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC;
#endif

namespace vcam {

RawFrameReader::RawFrameReader(const std::string& path, PixelFormat format, FrameRate rate,
                               bool loop)
    : path_(path), fd_(0), ownsFd_(false), format_(format), rate_(rate), loop_(loop) {
    if (path == "-") {
        if (loop)
            throw ToolError(kExitUsage, "--loop needs a file: standard input cannot start again");
        path_ = "standard input";
#if defined(_WIN32)
        _setmode(0, O_BINARY);
#endif
    } else {
        fd_ = ::open(path.c_str(), kOpenFlags);
        if (fd_ < 0) throw ToolError(kExitInput, path + ": " + std::strerror(errno));
        ownsFd_ = true;
    }
}

RawFrameReader::~RawFrameReader() {
    if (ownsFd_) ::close(fd_);
}

size_t RawFrameReader::ReadFully(uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = ::read(fd_, data + done, length - done);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw ToolError(kExitInput, path_ + ": read error: " + std::strerror(errno));
        }
        done += static_cast<size_t>(got);
    }
    return done;
}

bool RawFrameReader::Next(std::vector<uint8_t>& frame) {
    const size_t length = FrameBytes(format_);
    frame.resize(length);
    size_t got = ReadFully(frame.data(), length);
    if (got == 0 && loop_) {
        if (framesInPass_ == 0) throw ToolError(kExitInput, path_ + ": holds no whole frame");
        if (::lseek(fd_, 0, SEEK_SET) < 0) {
            throw ToolError(kExitInput, path_ + ": cannot rewind to loop: " + std::strerror(errno));
        }
        framesInPass_ = 0;
        got = ReadFully(frame.data(), length);
    }
    if (got == 0) return false;
    if (got != length) {
        const char* name = format_ == PixelFormat::I420 ? "i420" : "rgb24";
        throw ToolError(kExitInput,
                        path_ + ": frame " + std::to_string(framesRead_) + " is cut short: " +
                            std::to_string(got) + " of " + std::to_string(length) + " bytes. A " +
                            std::to_string(kWidth) + "x" + std::to_string(kHeight) + " " + name +
                            " frame is " + std::to_string(length) +
                            " bytes; check the producer's size (-s) and pixel format (-pix_fmt)");
    }
    ++framesRead_;
    ++framesInPass_;
    return true;
}

std::string RawFrameReader::Describe() const {
    return path_ + " (raw " + std::string(format_ == PixelFormat::I420 ? "i420" : "rgb24") + ", " +
           rate_.ToString() + " fps" + (loop_ ? ", looped" : "") + ")";
}

}  // namespace vcam
