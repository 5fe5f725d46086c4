#include "sink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "input.h"

namespace resample {

Sink::~Sink() {
    if (spool_ >= 0) close(spool_);
}

Error Sink::open(const SinkPlan &plan) {
    plan_ = plan;
    std::string why;
    if (!out_.open(plan.name, why)) return cannotWrite(plan.name, why);
    return ownWav(plan.container) ? openWav() : openSndfile();
}

Error Sink::failed(const std::string &reason) {
    out_.abandon();
    return cannotWrite(plan_.name, reason);
}

// WAV becomes RF64 when its size would not fit the 32-bit RIFF fields; a test may lower that threshold through
// ZEL_RESAMPLE_RF64_THRESHOLD to take the same path with a small file.
Error Sink::openWav() {
    if (!out_.positional() && plan_.frames == ~0ULL && plan_.container == SF_FORMAT_RF64)
        return {Error::kUsage, "cannot stream RF64 of unknown length; choose --type wav or a file"};
    u64 threshold = WavWriter::kRiffLimit;
    if (const char *env = std::getenv("ZEL_RESAMPLE_RF64_THRESHOLD"))
        threshold = std::strtoull(env, nullptr, 10);
    const SampleFormat &f = plan_.format;
    wav_ = std::make_unique<WavWriter>(out_.fd(), plan_.channels, plan_.rate,
                                       f.bits == 0 ? f.floatBits : f.bits, f.bits == 0, out_.positional(),
                                       threshold, plan_.container == SF_FORMAT_RF64);
    // A file's header is rewritten with the sizes at the end; a stream's says, if need be, that it has none.
    const u64 frames = plan_.frames == ~0ULL && out_.positional() ? 0 : plan_.frames;
    if (!wav_->header(frames)) return failed(std::strerror(wav_->error()));
    writer_ = writerAt();
    return {};
}

Error Sink::openSndfile() {
    int fd = out_.fd();
    std::string why;
    const bool streams = plan_.container == SF_FORMAT_AU || plan_.container == SF_FORMAT_RAW;
    // Into a device too (a full one, a terminal), libsndfile's encoders lose the reason a write failed: they write
    // a spool, which the copy out then reports on.
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if ((!out_.positional() || !regular) && !streams && (fd = spool_ = openSpool(why)) < 0)
        return failed(why);
    SF_INFO info{};
    info.samplerate = static_cast<int>(plan_.rate);
    info.channels = static_cast<int>(plan_.channels);
    info.format = sndfileFormat(plan_.container, plan_.format, plan_.rawEndian);
    sndfile_.reset(sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE));
    if (sndfile_ == nullptr) return failed(sf_strerror(nullptr));
    writer_ = std::make_unique<SndfileWriter>(sndfile_.get(), plan_.format, plan_.channels);
    return {};
}

Error Sink::finish(u64 frames) {
    if (wav_ != nullptr && !wav_->finish(frames)) return failed(std::strerror(wav_->error()));
    if (sndfile_ != nullptr) {
        if (Error e = finishSndfile(frames)) return out_.abandon(), e;
    }
    std::string why;
    if (!out_.commit(why)) return cannotWrite(plan_.name, why);
    return {};
}

// A libsndfile container closed, read back, and copied out from its spool.
Error Sink::finishSndfile(u64 frames) {
    sf_write_sync(sndfile_.get());
    if (sf_close(sndfile_.release()) != 0) return cannotWrite(plan_.name, "cannot finish the container");
    // Stdout appended to (>>) holds what came before: only a file of our own is read back.
    const u64 rawBytes =
        plan_.container == SF_FORMAT_RAW ? storedFrameBytes(plan_.format, plan_.channels) : 0;
    if (spool_ >= 0 || out_.positional()) {
        if (Error e = readBack(spool_ >= 0 ? spool_ : out_.fd(), frames, plan_.name, rawBytes)) return e;
    }
    if (spool_ < 0) return {};
    const bool copied = copyAll(spool_, out_.fd());
    close(spool_), spool_ = -1;
    if (!copied) return cannotWrite(plan_.name, std::strerror(errno != 0 ? errno : EIO));
    return {};
}

}  // namespace resample
