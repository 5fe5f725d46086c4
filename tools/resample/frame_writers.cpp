#include "frame_writers.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output_file.h"

namespace resample {

bool WavFrameWriter::write(u64 frame, const void *samples, u64 frames) {
    return wav_.write(frame - begin_, samples, frames, bytes_);
}

std::string WavFrameWriter::error() const { return std::strerror(wav_.error() != 0 ? wav_.error() : EIO); }

bool SndfileWriter::write(u64, const void *samples, u64 frames) {
    errno = 0;
    // Some encoders (MP3's) count frames as written when their bytes were not: the handle's error says so.
    return put(samples, static_cast<sf_count_t>(frames)) && sf_error(file_) == SF_ERR_NO_ERROR;
}

bool SndfileWriter::put(const void *samples, sf_count_t n) {
    if (format_.bits == 16) return sf_writef_short(file_, static_cast<const short *>(samples), n) == n;
    if (format_.bits == 32) return sf_writef_int(file_, static_cast<const int *>(samples), n) == n;
    if (format_.bits == 24) {
        // libsndfile takes 24-bit samples as the top bits of 32-bit integers, exactly.
        const auto *q = static_cast<const int32_t *>(samples);
        shifted_.resize(static_cast<size_t>(n) * channels_);
        for (size_t i = 0; i < shifted_.size(); ++i)
            shifted_[i] = static_cast<int32_t>(static_cast<uint32_t>(q[i]) << 8);
        return sf_writef_int(file_, shifted_.data(), n) == n;
    }
    if (format_.floatBits == 64) return sf_writef_double(file_, static_cast<const double *>(samples), n) == n;
    return sf_writef_float(file_, static_cast<const float *>(samples), n) == n;
}

std::string SndfileWriter::error() const {
    if (sf_error(file_) != SF_ERR_NO_ERROR) return sf_strerror(file_);
    return std::strerror(errno != 0 ? errno : EIO);
}

SpoolWriter::~SpoolWriter() {
    if (fd_ >= 0) close(fd_);
}

bool SpoolWriter::write(u64, const void *samples, u64 frames) {
    if (!opened_) {
        opened_ = true;
        fd_ = openSpool(error_);
    }
    if (fd_ < 0) return false;
    if (!writeAll(fd_, samples, frames * frameBytes_)) {
        error_ = std::string("cannot write a spool file: ") + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

bool SpoolWriter::drainInto(FrameWriter &out, u64 first, bool &outFailed) {
    outFailed = false;
    if (fd_ < 0) return true;  // nothing was written
    if (lseek(fd_, 0, SEEK_SET) != 0) return error_ = std::strerror(errno), false;
    // Held in doubles, so that every sample format is aligned.
    std::vector<double> buffer((4096 * frameBytes_ + 7) / 8);
    char *const bytes = reinterpret_cast<char *>(buffer.data());
    size_t have = 0;  // bytes in the buffer
    for (;;) {
        const ssize_t n = ::read(fd_, bytes + have, 4096 * frameBytes_ - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return error_ = std::string("cannot read a spool file: ") + std::strerror(errno), false;
        have += static_cast<size_t>(n);
        const u64 frames = have / frameBytes_;
        if (frames > 0 && !out.write(first, bytes, frames))
            return error_ = out.error(), outFailed = true, false;
        first += frames;
        std::memmove(bytes, bytes + frames * frameBytes_, have - frames * frameBytes_);
        have -= frames * frameBytes_;
        if (n == 0) return true;
    }
}

}  // namespace resample
