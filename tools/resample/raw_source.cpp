#include "raw_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace resample {

namespace {

// Chunks before the samples that pass this are not a streamed header's; such a file is left to libsndfile.
constexpr size_t kMaxWavHeader = 1 << 20;
constexpr u64 kUnknownSize = 0xFFFFFFFFULL;

u64 field(const std::vector<unsigned char> &h, size_t at, int bytes, bool big) {
    u64 v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<u64>(h[at + static_cast<size_t>(big ? bytes - 1 - i : i)]) << (8 * i);
    return v;
}

// The libsndfile subtype of a fmt chunk's samples; 0 for an encoding RAW cannot read (ADPCM and the like).
int subtypeOf(u64 tag, u64 bits) {
    if (tag == 1) {
        return bits == 8    ? SF_FORMAT_PCM_U8
               : bits == 16 ? SF_FORMAT_PCM_16
               : bits == 24 ? SF_FORMAT_PCM_24
               : bits == 32 ? SF_FORMAT_PCM_32
                            : 0;
    }
    if (tag == 3) return bits == 32 ? SF_FORMAT_FLOAT : bits == 64 ? SF_FORMAT_DOUBLE : 0;
    if (bits == 8 && (tag == 6 || tag == 7)) return tag == 6 ? SF_FORMAT_ALAW : SF_FORMAT_ULAW;
    return 0;
}

}  // namespace

u64 rawFrameBytes(const RawFormat &f) {
    const int subtype = f.format & SF_FORMAT_SUBMASK;
    const u64 bytes = subtype == SF_FORMAT_PCM_16                                 ? 2
                      : subtype == SF_FORMAT_PCM_24                               ? 3
                      : subtype == SF_FORMAT_PCM_32 || subtype == SF_FORMAT_FLOAT ? 4
                      : subtype == SF_FORMAT_DOUBLE                               ? 8
                                                                                  : 1;
    return bytes * static_cast<u64>(f.channels);
}

SNDFILE *RawSource::open(const RawFormat &format, SF_INFO &info) {
    static SF_VIRTUAL_IO io{size, seek, read, nullptr, tell};
    info = {};
    info.samplerate = format.rate;
    info.channels = format.channels;
    info.format = format.format;
    return sf_open_virtual(&io, SFM_READ, &info, this);
}

// A stream has no end in sight: libsndfile then reads until the reads stop.
sf_count_t RawSource::size(void *self) {
    const auto &s = *static_cast<RawSource *>(self);
    return s.length_ >= 0 ? s.length_ : SF_COUNT_MAX;
}

sf_count_t RawSource::seek(sf_count_t offset, int whence, void *self) {
    auto &s = *static_cast<RawSource *>(self);
    const sf_count_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s.at_ : size(self);
    sf_count_t to = 0;
    if (__builtin_add_overflow(from, offset, &to) || to < 0 || (s.length_ < 0 && to != s.at_)) return -1;
    return s.at_ = std::min(to, size(self));
}

// Whole requests: libsndfile takes a short read for the end, and a pipe gives what it has.
sf_count_t RawSource::read(void *to, sf_count_t n, void *self) {
    auto &s = *static_cast<RawSource *>(self);
    if (s.length_ >= 0) n = std::max<sf_count_t>(0, std::min(n, s.length_ - s.at_));
    sf_count_t got = 0;
    while (got < n) {
        auto *p = static_cast<char *>(to) + got;
        const auto want = static_cast<size_t>(n - got);
        const ssize_t r = s.length_ >= 0 ? pread(s.fd_, p, want, static_cast<off_t>(s.base_ + s.at_ + got))
                                         : ::read(s.fd_, p, want);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += r;
    }
    s.at_ += got;
    s.ended_ |= got < n || s.at_ == s.length_;
    return got;
}

sf_count_t RawSource::tell(void *self) { return static_cast<RawSource *>(self)->at_; }

bool streamedWav(const std::function<bool(size_t)> &more, const std::vector<unsigned char> &h,
                 u64 &dataOffset, RawFormat &format) {
    if (!more(12)) return false;
    const bool big = std::memcmp(h.data(), "RIFX", 4) == 0;
    if ((!big && std::memcmp(h.data(), "RIFF", 4) != 0) || std::memcmp(h.data() + 8, "WAVE", 4) != 0)
        return false;
    const u64 riff = field(h, 4, 4, big);
    int subtype = 0;
    for (size_t at = 12; more(at + 8);) {
        const u64 size = field(h, at + 4, 4, big);
        if (std::memcmp(&h[at], "data", 4) == 0) {
            // A writer that could not go back leaves the sizes it could not know as 0 or all ones.
            const bool unknown = size == kUnknownSize || (size == 0 && (riff == 0 || riff == kUnknownSize));
            if (!unknown || subtype == 0) return false;
            dataOffset = at + 8;
            format.format = SF_FORMAT_RAW | subtype | (big ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE);
            return true;
        }
        const size_t next = at + 8 + size + (size & 1);
        if (next > kMaxWavHeader || !more(next)) return false;
        if (std::memcmp(&h[at], "fmt ", 4) == 0 && size >= 16) {
            const u64 tag = field(h, at + 8, 2, big), channels = field(h, at + 10, 2, big);
            const u64 rate = field(h, at + 12, 4, big), bits = field(h, at + 22, 2, big);
            subtype = subtypeOf(tag == 0xFFFE && size >= 40 ? field(h, at + 32, 2, big) : tag, bits);
            // Samples that do not fill their frames exactly are not raw samples.
            if (channels == 0 || rate == 0 || rate > 0x7FFFFFFF ||
                field(h, at + 20, 2, big) != channels * bits / 8)
                subtype = 0;
            format.channels = static_cast<int>(channels), format.rate = static_cast<int>(rate);
        }
        at = next;
    }
    return false;
}

}  // namespace resample
