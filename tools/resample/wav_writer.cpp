#include "wav_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace resample {

WavWriter::WavWriter(int fd, u64 channels, u64 rate, int bits, bool floating, bool positional,
                     u64 rf64Threshold, bool forceRf64)
    : fd_(fd),
      positional_(positional),
      channels_(channels),
      rate_(rate),
      bytes_(static_cast<u64>(bits) / 8),
      threshold_(rf64Threshold),
      floating_(floating),
      forceRf64_(forceRf64),
      extensible_(channels > 2 || (!floating && bits > 16)) {
    const u64 fmt = extensible_ ? 40 : floating ? 18 : 16;
    headerBytes_ = 12 + 36 + 8 + fmt + (floating ? 12ULL : 0ULL) + 8;
}

bool WavWriter::header(u64 frames) {
    streamed_ = frames == kUnknownLength;
    const u64 data = streamed_ ? 0xFFFFFFFFULL : frames * frameBytes(), pad = data & 1;
    const bool rf64 = !streamed_ && (forceRf64_ || headerBytes_ + data + pad > threshold_);
    std::string h;
    const auto field = [&h](u64 v, int n) {
        for (int i = 0; i < n; ++i) h += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    const u64 riff = streamed_ ? 0xFFFFFFFFULL : headerBytes_ - 8 + data + pad, tag = floating_ ? 3 : 1;
    h += rf64 ? "RF64" : "RIFF";
    field(rf64 ? 0xFFFFFFFFULL : riff, 4);
    h += rf64 ? "WAVEds64" : "WAVEJUNK";
    field(28, 4);
    field(rf64 ? riff : 0, 8), field(rf64 ? data : 0, 8), field(rf64 ? frames : 0, 8), field(0, 4);
    h += "fmt ";
    field(extensible_ ? 40
          : floating_ ? 18
                      : 16,
          4),
        field(extensible_ ? 0xFFFE : tag, 2), field(channels_, 2);
    field(rate_, 4), field(rate_ * frameBytes(), 4), field(frameBytes(), 2), field(8 * bytes_, 2);
    if (extensible_) {
        // All bits valid; front centre for mono, front left and right for stereo, else no speaker positions;
        // then the format as a GUID: the tag, then the fixed tail of every such GUID.
        field(22, 2), field(8 * bytes_, 2), field(channels_ == 1 ? 0x4 : channels_ == 2 ? 0x3 : 0, 4);
        field(tag, 2), h.append("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    } else if (floating_) {
        field(0, 2);  // no extra format bytes
    }
    if (floating_) {
        h += "fact";
        field(4, 4), field(rf64 || streamed_ ? 0xFFFFFFFFULL : frames, 4);  // RF64 keeps the count in ds64
    }
    h += "data";
    field(rf64 ? 0xFFFFFFFFULL : data, 4);
    return put(0, h.data(), h.size());
}

bool WavWriter::write(u64 at, const void *samples, u64 frames, std::vector<char> &buffer) {
    const u64 count = frames * channels_;
    if (bytes_ != 3)  // every target of this tool is little-endian, as WAV is
        return put(headerBytes_ + at * frameBytes(), static_cast<const char *>(samples), count * bytes_);
    buffer.resize(count * 3);
    const auto *q = static_cast<const int32_t *>(samples);
    char *p = buffer.data();
    for (u64 i = 0; i < count; ++i) {
        const auto v = static_cast<uint32_t>(q[i]);
        *p++ = static_cast<char>(v & 0xFF), *p++ = static_cast<char>((v >> 8) & 0xFF);
        *p++ = static_cast<char>((v >> 16) & 0xFF);
    }
    return put(headerBytes_ + at * frameBytes(), buffer.data(), buffer.size());
}

bool WavWriter::finish(u64 frames) {
    const char zero = 0;
    const u64 data = frames * frameBytes();
    // A reader of a stream takes every byte to its end for samples: no pad byte there.
    if ((data & 1) != 0 && !streamed_ && !put(headerBytes_ + data, &zero, 1)) return false;
    return !positional_ || header(frames);
}

bool WavWriter::put(u64 offset, const char *p, size_t n) {
    while (n > 0) {
        const ssize_t w = positional_ ? ::pwrite(fd_, p, n, static_cast<off_t>(offset)) : ::write(fd_, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return error_ = w < 0 ? errno : EIO, false;
        p += w, n -= static_cast<size_t>(w), offset += static_cast<u64>(w);
    }
    return true;
}

}  // namespace resample
