#include "frame_writers.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output_file.h"
#include "pcm.h"

namespace resample {

bool WavFrameWriter::write(u64 frame, const double *data, u64 frames) {
    if (encoding_.bits == 0 && encoding_.floatBits == 64)
        return wav_.write(frame - begin_, data, frames, bytes_);
    if (encoding_.bits == 0) {
        floats_.assign(data, data + frames * channels_);
        return wav_.write(frame - begin_, floats_.data(), frames, bytes_);
    }
    pcm_.resize(frames * channels_);
    encoding_.clipped += toPcm(data, frames, channels_, frame, encoding_.bits, encoding_.dither, pcm_.data());
    return wav_.write(frame - begin_, pcm_.data(), frames, bytes_);
}

std::string WavFrameWriter::error() const { return std::strerror(wav_.error() != 0 ? wav_.error() : EIO); }

bool SndfileWriter::write(u64 frame, const double *data, u64 frames) {
    const auto n = static_cast<sf_count_t>(frames);
    errno = 0;
    if (encoding_.bits == 0) return sf_writef_double(file_, data, n) == n;
    pcm_.resize(frames * channels_);
    encoding_.clipped += toPcm(data, frames, channels_, frame, encoding_.bits, encoding_.dither, pcm_.data());
    // libsndfile takes the top bits of 32-bit integers exactly: no second rounding.
    for (int32_t &q : pcm_) q = static_cast<int32_t>(static_cast<uint32_t>(q) << (32 - encoding_.bits) % 32);
    return sf_writef_int(file_, pcm_.data(), n) == n;
}

std::string SndfileWriter::error() const {
    if (sf_error(file_) != SF_ERR_NO_ERROR) return sf_strerror(file_);
    return std::strerror(errno != 0 ? errno : EIO);
}

SpoolWriter::~SpoolWriter() {
    if (fd_ >= 0) close(fd_);
}

bool SpoolWriter::write(u64, const double *data, u64 frames) {
    if (!opened_) {
        opened_ = true;
        fd_ = openSpool(error_);
    }
    if (fd_ < 0) return false;
    if (!writeAll(fd_, data, frames * channels_ * sizeof(double))) {
        error_ = std::string("cannot write a spool file: ") + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

bool SpoolWriter::drainInto(FrameWriter &out, u64 first, bool &outFailed) {
    outFailed = false;
    if (fd_ < 0) return true;  // nothing was written
    if (lseek(fd_, 0, SEEK_SET) != 0) return error_ = std::strerror(errno), false;
    std::vector<double> buffer(4096 * channels_);
    const size_t frameBytes = channels_ * sizeof(double);
    size_t have = 0;  // bytes in the buffer
    for (;;) {
        const ssize_t n = ::read(fd_, reinterpret_cast<char *>(buffer.data()) + have,
                                 buffer.size() * sizeof(double) - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return error_ = std::string("cannot read a spool file: ") + std::strerror(errno), false;
        have += static_cast<size_t>(n);
        const u64 frames = have / frameBytes;
        if (frames > 0 && !out.write(first, buffer.data(), frames))
            return error_ = out.error(), outFailed = true, false;
        first += frames;
        std::memmove(buffer.data(), reinterpret_cast<char *>(buffer.data()) + frames * frameBytes,
                     have - frames * frameBytes);
        have -= frames * frameBytes;
        if (n == 0) return true;
    }
}

}  // namespace resample
