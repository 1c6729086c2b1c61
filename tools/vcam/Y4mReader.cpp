#include "tools/vcam/Y4mReader.h"

#include "tools/vcam/ToolError.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace vcam {

namespace {

constexpr size_t kHeaderLimit = 4096;
constexpr size_t kFrameLineLimit = 1024;

bool IsDecimal(const std::string& text) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

Y4mReader::Y4mReader(const std::string& path, bool loop)
    : path_(path), file_(nullptr), ownsFile_(false), loop_(loop), firstFrameOffset_(0) {
    if (path == "-") {
        if (loop)
            throw ToolError(kExitUsage, "--loop needs a file: standard input cannot start again");
        file_ = stdin;
        path_ = "standard input";
#if defined(_WIN32)
        // Frames are bytes: no newline translation.
        _setmode(_fileno(stdin), O_BINARY);
#endif
    } else {
        file_ = std::fopen(path.c_str(), "rb");
        if (file_ == nullptr) {
            throw ToolError(kExitInput, path + ": " + std::strerror(errno));
        }
        ownsFile_ = true;
    }
    std::string header;
    if (!ReadLine(&header, kHeaderLimit)) {
        throw ToolError(kExitInput, path_ + ": empty input, expected a YUV4MPEG2 stream header");
    }
    ParseHeader(header);
    if (ownsFile_) firstFrameOffset_ = std::ftell(file_);
}

Y4mReader::~Y4mReader() {
    if (ownsFile_ && file_ != nullptr) std::fclose(file_);
}

bool Y4mReader::ReadLine(std::string* line, size_t limit) {
    line->clear();
    for (;;) {
        int c = std::fgetc(file_);
        if (c == EOF) {
            if (std::ferror(file_)) {
                throw ToolError(kExitInput, path_ + ": read error: " + std::strerror(errno));
            }
            if (line->empty()) return false;
            throw ToolError(kExitInput,
                            path_ + ": input ends inside a header line '" + *line + "'");
        }
        if (c == '\n') return true;
        if (line->size() >= limit) {
            throw ToolError(kExitInput, path_ + ": header line longer than " +
                                            std::to_string(limit) +
                                            " bytes; this is not a YUV4MPEG2 stream");
        }
        line->push_back(static_cast<char>(c));
    }
}

void Y4mReader::ParseHeader(const std::string& line) {
    std::istringstream tokens(line);
    std::string magic;
    tokens >> magic;
    if (magic != "YUV4MPEG2") {
        throw ToolError(kExitInput,
                        path_ +
                            ": not a YUV4MPEG2 stream (it does not start with 'YUV4MPEG2'); "
                            "raw frames need --input-format i420 or rgb24");
    }
    std::string width, height, rate;
    colorspace_ = "420jpeg";  // the format's default when C is absent
    std::string token;
    while (tokens >> token) {
        const std::string value = token.substr(1);
        switch (token[0]) {
            case 'W':
                width = value;
                break;
            case 'H':
                height = value;
                break;
            case 'F':
                rate = value;
                break;
            case 'C':
                colorspace_ = value;
                break;
            default:
                break;  // I (interlacing), A (aspect), X (extensions) do not change the bytes
        }
    }
    if (!IsDecimal(width) || !IsDecimal(height)) {
        throw ToolError(kExitInput, path_ + ": the stream header has no valid W and H tags");
    }
    if (std::stoi(width) != kWidth || std::stoi(height) != kHeight) {
        throw ToolError(kExitInput,
                        path_ + ": frame size " + width + "x" + height + "; the camera takes " +
                            std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                            " (scale it first, e.g. ffmpeg -vf scale=" + std::to_string(kWidth) +
                            ":" + std::to_string(kHeight) + ")");
    }
    if (colorspace_ != "420" && colorspace_ != "420jpeg" && colorspace_ != "420paldv" &&
        colorspace_ != "420mpeg2") {
        throw ToolError(
            kExitInput,
            path_ + ": colour space C" + colorspace_ +
                "; the camera takes 8-bit 4:2:0 (C420, C420jpeg, C420paldv or C420mpeg2; "
                "convert with ffmpeg -pix_fmt yuv420p)");
    }
    size_t colon = rate.find(':');
    if (rate.empty() || colon == std::string::npos || !IsDecimal(rate.substr(0, colon)) ||
        !IsDecimal(rate.substr(colon + 1)) || std::stoul(rate.substr(0, colon)) == 0 ||
        std::stoul(rate.substr(colon + 1)) == 0) {
        throw ToolError(
            kExitInput,
            path_ + ": the stream header has no valid frame rate (F tag), found '" + rate + "'");
    }
    rate_ = FrameRate(static_cast<uint32_t>(std::stoul(rate.substr(0, colon))),
                      static_cast<uint32_t>(std::stoul(rate.substr(colon + 1))));
}

bool Y4mReader::Next(std::vector<uint8_t>& frame) {
    std::string marker;
    if (!ReadLine(&marker, kFrameLineLimit)) {
        if (!loop_) return false;
        if (framesInPass_ == 0) throw ToolError(kExitInput, path_ + ": the stream holds no frame");
        if (std::fseek(file_, firstFrameOffset_, SEEK_SET) != 0) {
            throw ToolError(kExitInput, path_ + ": cannot rewind to loop: " + std::strerror(errno));
        }
        framesInPass_ = 0;
        if (!ReadLine(&marker, kFrameLineLimit)) {
            throw ToolError(kExitInput, path_ + ": the stream holds no frame");
        }
    }
    if (marker.compare(0, 5, "FRAME") != 0 || (marker.size() > 5 && marker[5] != ' ')) {
        throw ToolError(kExitInput, path_ + ": frame " + std::to_string(framesInPass_) +
                                        ": expected a FRAME marker, found '" +
                                        marker.substr(0, 40) + "'");
    }
    frame.resize(kI420Bytes);
    size_t got = std::fread(frame.data(), 1, kI420Bytes, file_);
    if (got != kI420Bytes) {
        throw ToolError(kExitInput, path_ + ": frame " + std::to_string(framesInPass_) +
                                        " is cut short: " + std::to_string(got) + " of " +
                                        std::to_string(kI420Bytes) + " bytes");
    }
    ++framesRead_;
    ++framesInPass_;
    return true;
}

std::string Y4mReader::Describe() const {
    return path_ + " (Y4M C" + colorspace_ + ", " + rate_.ToString() + " fps" +
           (loop_ ? ", looped" : "") + ")";
}

}  // namespace vcam
