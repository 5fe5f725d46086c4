#include "input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "output_file.h"

namespace resample {

namespace {

// A stream that announces more than this many bytes of audio carries a placeholder (an AU written to a pipe says
// "unknown" with all ones), not a length.
constexpr u64 kMaxStreamBytes = 1ULL << 56;

// Formats libsndfile reads from a pipe as it comes; any other is spooled first.
bool streams(const unsigned char *magic, size_t n) {
    static const char *const kStreaming[] = {"RIFF", "RIFX", "FORM", ".snd", "dns."};
    for (const char *m : kStreaming) {
        if (n >= 4 && std::memcmp(magic, m, 4) == 0) return true;
    }
    return false;
}

// Copies `prefix`, then everything from `from`, to `to`; false on a failed read or write.
bool relay(const std::vector<unsigned char> &prefix, int from, int to) {
    return writeAll(to, prefix.data(), prefix.size()) && copyRest(from, to);
}

// stdin that cannot seek, as a descriptor libsndfile can read: a pipe fed from it by a thread for the formats
// that stream, else a spool file holding all of it; or stdin itself, read up to the samples of a WAV whose header
// gives no length, which `wav` then describes.
int stdinForLibsndfile(bool &spooled, RawFormat &wav, std::string &error) {
    std::vector<unsigned char> magic;
    // Reads exactly up to byte n, so that a streamed WAV's samples are what stdin has left.
    const auto more = [&magic, &error](size_t n) {
        while (magic.size() < n) {
            unsigned char chunk[4096];
            const ssize_t r = ::read(STDIN_FILENO, chunk, std::min(sizeof chunk, n - magic.size()));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) error = std::strerror(errno);
            if (r <= 0) return false;
            magic.insert(magic.end(), chunk, chunk + r);
        }
        return true;
    };
    u64 dataOffset = 0;
    if (streamedWav(more, magic, dataOffset, wav)) return STDIN_FILENO;
    if (!error.empty()) return -1;
    spooled = !streams(magic.data(), magic.size());
    if (spooled) {
        const int fd = openSpool(error);
        if (fd < 0) return -1;
        if (!relay(magic, STDIN_FILENO, fd) || lseek(fd, 0, SEEK_SET) != 0) {
            error = std::string("cannot spool stdin: ") + std::strerror(errno);
            close(fd);
            return -1;
        }
        return fd;
    }
    int ends[2];
    if (pipe(ends) != 0) return error = std::strerror(errno), -1;
    // The thread ends with the input, or when the reader closes its end; the process may exit before either.
    std::thread([magic, in = ends[1]] {
        relay(magic, STDIN_FILENO, in);
        close(in);
    }).detach();
    return ends[0];
}

// Whether the input at `fd` from `base`, read at offsets, is a WAV whose header gives no length.
bool streamedAt(int fd, sf_count_t base, RawFormat &wav, u64 &dataOffset) {
    std::vector<unsigned char> header;
    const auto more = [&](size_t n) {
        const size_t had = header.size();
        if (had >= n) return true;
        header.resize(n);
        const ssize_t r =
            pread(fd, header.data() + had, n - had, static_cast<off_t>(base + static_cast<sf_count_t>(had)));
        header.resize(had + static_cast<size_t>(std::max<ssize_t>(r, 0)));
        return header.size() == n;
    };
    return streamedWav(more, header, dataOffset, wav);
}

// Raw samples at `base` of the regular file `input.fd`, to its end, or from a stream (`base` -1) to its end.
bool openRaw(Input &input, const RawFormat &format, sf_count_t base, std::string &error) {
    const u64 frameBytes = rawFrameBytes(format);
    struct stat st {};
    const bool file = base >= 0 && fstat(input.fd, &st) == 0 && S_ISREG(st.st_mode);
    const sf_count_t length = file ? std::max<sf_count_t>(st.st_size - base, 0) : -1;
    if (file && static_cast<u64>(length) % frameBytes != 0)
        return error = "it ends part-way through a frame (" + std::to_string(length) + " bytes of " +
                       std::to_string(frameBytes) + "-byte frames)",
               false;
    input.source = std::make_unique<RawSource>(input.fd, file ? base : 0, length, frameBytes);
    input.file = input.source->open(format, input.info);
    input.seekable = file;
    return true;
}

// What the header of the input at `fd` (from `base`) promises, read as libsndfile reads a pipe: with no end in
// sight, it takes the header's length, where for a file it trims that length to the bytes present and a file cut
// short would pass for a shorter whole one. Reads with pread, leaving the descriptor's offset alone.
struct Unbounded {
    int fd;
    sf_count_t base, at;
};

sf_count_t unboundedLength(void *) { return SF_COUNT_MAX; }
sf_count_t unboundedTell(void *u) { return static_cast<Unbounded *>(u)->at; }
sf_count_t unboundedSeek(sf_count_t offset, int whence, void *u) {
    Unbounded &f = *static_cast<Unbounded *>(u);
    const sf_count_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f.at : SF_COUNT_MAX;
    if (__builtin_add_overflow(from, offset, &f.at) || f.at < 0) f.at = offset < 0 ? 0 : SF_COUNT_MAX;
    return f.at;
}
sf_count_t unboundedRead(void *to, sf_count_t n, void *u) {
    Unbounded &f = *static_cast<Unbounded *>(u);
    off_t at = 0;
    if (__builtin_add_overflow(f.base, f.at, &at)) return 0;
    const ssize_t got = pread(f.fd, to, static_cast<size_t>(n), at);
    if (got <= 0) return 0;
    f.at += got;
    return got;
}

// The frames the header promises, or -1 when it gives no length.
sf_count_t promisedFrames(int fd, sf_count_t base) {
    Unbounded file{fd, base, 0};
    SF_VIRTUAL_IO io{unboundedLength, unboundedSeek, unboundedRead, nullptr, unboundedTell};
    SF_INFO info{};
    SNDFILE *header = sf_open_virtual(&io, SFM_READ, &info, &file);
    if (header == nullptr) return -1;
    sf_close(header);
    // A header without a length leaves libsndfile to count to the (unbounded) end.
    return static_cast<u64>(info.frames) < kMaxStreamBytes / 8 / static_cast<u64>(info.channels) ? info.frames
                                                                                                 : -1;
}

bool openAt(const std::string &path, const RawFormat &raw, Input &input, std::string &error) {
    RawFormat samples = raw;  // raw input's, or those of a WAV whose header gives no length
    u64 dataOffset = 0;
    sf_count_t base = -1;  // where the input starts in its file; -1 for a stream
    bool spooled = false;
    if (path == "-") {
        input.fd = STDIN_FILENO;
        if ((base = lseek(STDIN_FILENO, 0, SEEK_CUR)) < 0 && raw.format == 0)
            input.fd = stdinForLibsndfile(spooled, samples, error);
        if (input.fd < 0) return false;
    } else {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return error = "it is a directory", false;
        input.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (input.fd < 0 && raw.format != 0) return error = std::strerror(errno), false;
        base = input.fd >= 0 ? lseek(input.fd, 0, SEEK_CUR) : -1;
    }
    if (base >= 0 && raw.format == 0 && streamedAt(input.fd, base, samples, dataOffset))
        base += static_cast<sf_count_t>(dataOffset);
    if (samples.format != 0) {
        if (!openRaw(input, samples, base, error)) return false;
    } else if (path == "-") {
        input.file = sf_open_fd(input.fd, SFM_READ, &input.info, SF_FALSE);
        input.seekable = input.fd == STDIN_FILENO || spooled;
    } else {
        // libsndfile opens it by name, which some formats need.
        if (input.fd >= 0) close(input.fd), input.fd = -1;
        input.file = sf_open(path.c_str(), SFM_READ, &input.info);
        input.seekable = input.file != nullptr && input.info.seekable != 0;
    }
    if (input.file == nullptr) return error = sf_strerror(nullptr), false;
    if (input.seekable) input.reopenPath = path == "-" ? "/proc/self/fd/" + std::to_string(input.fd) : path;
    const auto frames = static_cast<u64>(input.info.frames), channels = static_cast<u64>(input.info.channels);
    input.lengthKnown = input.info.frames >= 0 && (input.seekable || frames < kMaxStreamBytes / 8 / channels);
    input.base = std::max<sf_count_t>(base, 0);
    return true;
}

// The frames the header of the open input promises, read from its start in its file; -1 when unknown.
sf_count_t promisedFrames(const std::string &path, const Input &input) {
    const int fd = path == "-" ? input.fd : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const sf_count_t promised = fd >= 0 ? promisedFrames(fd, input.base) : -1;
    if (path != "-" && fd >= 0) close(fd);
    return promised;
}

// W64's reader measures the data by the file, not by its header, so a file cut short would read as whole: the
// header's size of the whole file (a little-endian count at byte 16) tells. False, with the two sizes, when the file
// holds fewer bytes than that.
bool w64Whole(const std::string &path, const Input &input, u64 &promised, u64 &held) {
    const int fd = path == "-" ? input.fd : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    unsigned char size[8] = {};
    struct stat st {};
    const bool read = fd >= 0 && pread(fd, size, sizeof size, input.base + 16) == 8 && fstat(fd, &st) == 0;
    if (path != "-" && fd >= 0) close(fd);
    if (!read) return true;
    promised = 0;
    for (int i = 7; i >= 0; --i) promised = promised << 8 | size[i];
    held = static_cast<u64>(st.st_size) - static_cast<u64>(input.base);
    return promised <= held;
}

}  // namespace

Input::~Input() {
    if (file != nullptr) sf_close(file);
    if (fd > STDIN_FILENO) close(fd);
}

Error openInput(const std::string &path, const std::string &name, Input &input, const RawFormat &raw) {
    input.name = name;
    input.raw = raw;
    std::string error;
    if (!openAt(path, raw, input, error)) return {Error::kInput, "cannot read '" + name + "': " + error};
    // A file libsndfile opens but cannot measure has lost its end (an Ogg stream without its last page).
    if (input.seekable && input.source == nullptr && input.info.frames == SF_COUNT_MAX)
        return {Error::kInput,
                "cannot read '" + name + "': its end is missing or damaged (no length can be told)"};
    const sf_count_t promised =
        input.seekable && input.lengthKnown && input.source == nullptr ? promisedFrames(path, input) : -1;
    if (promised > input.info.frames)
        return {Error::kInput, "'" + name + "' ends after " + std::to_string(input.info.frames) + " of the " +
                                   std::to_string(promised) + " frames its header gives"};
    if (u64 bytes = 0, held = 0; input.seekable && input.source == nullptr &&
                                 (input.info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_W64 &&
                                 !w64Whole(path, input, bytes, held))
        return {Error::kInput, "'" + name + "' ends after " + std::to_string(held) + " of the " +
                                   std::to_string(bytes) + " bytes its header gives"};
    return {};
}

bool framesIn(int fd, u64 &frames) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const int again = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (again < 0) return false;
    SF_INFO info{};
    SNDFILE *file = sf_open_fd(again, SFM_READ, &info, SF_FALSE);
    frames = file != nullptr ? static_cast<u64>(info.frames) : ~0ULL;
    // An MP3's length is the encoder's tag, written at the start however much of the rest reached the disk:
    // what decodes counts.
    if (file != nullptr && (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
        std::vector<float> chunk(4096 * static_cast<size_t>(info.channels));
        frames = 0;
        for (sf_count_t n = 0; (n = sf_readf_float(file, chunk.data(), 4096)) > 0;)
            frames += static_cast<u64>(n);
    }
    if (file != nullptr) sf_close(file);
    close(again);
    return true;
}

Error readBack(int fd, u64 frames, const std::string &name, u64 rawFrameBytes) {
    u64 held = 0;
    struct stat st {};
    const bool regular = rawFrameBytes > 0 ? fstat(fd, &st) == 0 && S_ISREG(st.st_mode) : framesIn(fd, held);
    if (rawFrameBytes > 0 && regular)
        held = static_cast<u64>(st.st_size) % rawFrameBytes == 0
                   ? static_cast<u64>(st.st_size) / rawFrameBytes
                   : ~frames;
    // An encoder given no frames may write nothing readable (FLAC, MP3, Opus through libsndfile).
    if (regular && held == ~0ULL && rawFrameBytes == 0 && frames == 0)
        return cannotWrite(
            name, "the output does not read back: its encoder wrote no readable stream for 0 frames");
    if (regular && held != frames)
        return cannotWrite(name,
                           "the output does not read back as its " + std::to_string(frames) + " frames");
    return {};
}

bool SndfileReader::read(double *out, u64 frames, u64 &got, std::string &error) {
    const sf_count_t n = sf_readf_double(file_, out, static_cast<sf_count_t>(frames));
    got = n > 0 ? static_cast<u64>(n) : 0;
    next_ += got;
    if (got == frames) return true;
    if (sf_error(file_) != SF_ERR_NO_ERROR)
        return error = "cannot read '" + name_ + "': " + sf_strerror(file_), false;
    if (source_ != nullptr && source_->cutShort())
        return error = "'" + name_ + "' ends part-way through a frame", false;
    if (frames_ != ~0ULL && next_ < frames_) {
        error = "'" + name_ + "' ends after " + std::to_string(next_) + " of the " + std::to_string(frames_) +
                " frames its header gives";
        return false;
    }
    return true;
}

bool SndfileReader::skipTo(u64 frame, std::string &error) {
    if (frame == next_) return true;
    if (seekable_ && frame <= frames_ && sf_seek(file_, static_cast<sf_count_t>(frame), SEEK_SET) >= 0) {
        next_ = frame;
        return true;
    }
    // Read and dropped where the input cannot seek; past a stream's end there is nothing to skip.
    std::vector<double> chunk(4096 * channels_);
    while (next_ < frame) {
        u64 got = 0;
        if (!read(chunk.data(), std::min<u64>(4096, frame - next_), got, error)) return false;
        if (got == 0) return true;
    }
    return true;
}

}  // namespace resample
