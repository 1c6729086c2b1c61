#include "tools/vcam/Y4mWriter.h"

#include "tools/vcam/CameraFormat.h"
#include "tools/vcam/ToolError.h"

#include <cerrno>
#include <cstring>

namespace vcam {

Y4mWriter::Y4mWriter(const std::string& path, FrameRate rate)
    : path_(path), file_(nullptr), ownsFile_(false), planar_(kYuy2Bytes) {
    if (path == "-") {
        file_ = stdout;
        path_ = "standard output";
    } else {
        file_ = std::fopen(path.c_str(), "wb");
        if (file_ == nullptr) throw ToolError(kExitInput, path + ": " + std::strerror(errno));
        ownsFile_ = true;
    }
    // One frame per write keeps a live pipe moving frame by frame.
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    // Progressive, square pixels, 4:2:2, and the range the camera delivers
    // (BT.601 limited), which ffmpeg reads from the XCOLORRANGE extension.
    std::string header = "YUV4MPEG2 W" + std::to_string(kWidth) + " H" + std::to_string(kHeight) +
                         " F" + std::to_string(rate.Numerator()) + ":" +
                         std::to_string(rate.Denominator()) + " Ip A1:1 C422 XCOLORRANGE=LIMITED\n";
    if (!WriteAll(header.data(), header.size())) {
        throw ToolError(kExitInput,
                        path_ + ": the reader closed the stream before the first frame");
    }
}

Y4mWriter::~Y4mWriter() {
    if (ownsFile_ && file_ != nullptr) std::fclose(file_);
}

bool Y4mWriter::WriteAll(const void* data, size_t length) {
    if (readerGone_) return false;
    if (std::fwrite(data, 1, length, file_) == length) return true;
    if (errno == EPIPE) {
        readerGone_ = true;
        return false;
    }
    throw ToolError(kExitInput, path_ + ": write error: " + std::strerror(errno));
}

bool Y4mWriter::WriteYuy2(const uint8_t* yuy2) {
    // Y0 U Y1 V per pixel pair becomes a full-width Y plane and half-width
    // U and V planes, row for row.
    uint8_t* y = planar_.data();
    uint8_t* u = y + kLumaBytes;
    uint8_t* v = u + kLumaBytes / 2;
    const size_t pairs = kLumaBytes / 2;
    for (size_t i = 0; i < pairs; ++i) {
        const uint8_t* group = yuy2 + 4 * i;
        y[2 * i] = group[0];
        u[i] = group[1];
        y[2 * i + 1] = group[2];
        v[i] = group[3];
    }
    static const char kMarker[] = "FRAME\n";
    if (!WriteAll(kMarker, sizeof(kMarker) - 1) || !WriteAll(planar_.data(), planar_.size())) {
        return false;
    }
    if (!ownsFile_ && std::fflush(file_) != 0) {
        if (errno == EPIPE) {
            readerGone_ = true;
            return false;
        }
        throw ToolError(kExitInput, path_ + ": write error: " + std::strerror(errno));
    }
    ++framesWritten_;
    return true;
}

void Y4mWriter::Close() {
    if (file_ == nullptr) return;
    int flushed = std::fflush(file_);
    int savedErrno = errno;
    if (ownsFile_) {
        int closed = std::fclose(file_);
        if (closed != 0 && flushed == 0) {
            flushed = closed;
            savedErrno = errno;
        }
    }
    file_ = nullptr;
    if (flushed != 0 && !(savedErrno == EPIPE || readerGone_)) {
        throw ToolError(kExitInput, path_ + ": write error: " + std::strerror(savedErrno));
    }
}

}  // namespace vcam
