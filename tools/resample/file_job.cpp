#include "file_job.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame_writers.h"
#include "input.h"
#include "output_file.h"
#include "wav_writer.h"

namespace resample {

namespace {

WavWriter wavWriter(const FileJob &job, int fd) {
    const u64 rate = static_cast<u64>(headerRate(job.setup.targetNumerator, job.setup.targetDenominator));
    const SampleFormat &f = job.setup.format;
    return WavWriter(fd, job.setup.channels, rate, f.bits == 0 ? f.floatBits : f.bits, f.bits == 0, true,
                     WavWriter::kRiffLimit, job.container == SF_FORMAT_RF64);
}

Error failed(const FileJob &job) { return cannotWrite(job.setup.outputName, std::strerror(errno)); }

// Encodes the spools, in order, into the temporary file `fd` through libsndfile.
Error encodeSpools(const FileJob &job, int fd, const std::vector<std::string> &spools) {
    SF_INFO info{};
    info.samplerate = headerRate(job.setup.targetNumerator, job.setup.targetDenominator);
    info.channels = static_cast<int>(job.setup.channels);
    info.format = sndfileFormat(job.container, job.setup.format);
    SNDFILE *file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) return cannotWrite(job.setup.outputName, sf_strerror(nullptr));
    SndfileWriter writer(file, job.setup.format, job.setup.channels);
    const u64 frameBytes = job.setup.channels * sampleBytes(job.setup.format);
    Error error;
    u64 first = 0;
    for (const std::string &path : spools) {
        const int spool = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (spool < 0) {
            error = cannotWrite(job.setup.outputName,
                                "cannot read a spool file: " + std::string(strerror(errno)));
            break;
        }
        struct stat st {};
        const u64 frames = fstat(spool, &st) == 0 ? static_cast<u64>(st.st_size) / frameBytes : 0;
        SpoolWriter segment(frameBytes, spool);
        bool outFailed = false;
        if (!segment.drainInto(writer, first, outFailed)) {
            error = cannotWrite(job.setup.outputName, segment.error());
            break;
        }
        first += frames;
    }
    sf_write_sync(file);
    if (sf_close(file) != 0 && !error)
        error = cannotWrite(job.setup.outputName, "cannot finish the container");
    return error;
}

}  // namespace

Error startOutput(const FileJob &job, std::string &temporary) {
    const int fd = createTemporary(job.output, job.tag, temporary);
    if (fd < 0) return failed(job);
    WavWriter wav = wavWriter(job, fd);
    const bool written = wav.header(job.total);
    const int code = wav.error();
    if (close(fd) != 0 || !written) {
        unlink(temporary.c_str());
        return cannotWrite(job.setup.outputName, std::strerror(written ? errno : code));
    }
    return {};
}

Error convertPart(const FileJob &job, const Segment &segment, const std::string &path, u64 &clipped) {
    Input input;
    if (Error e = openInput(job.input, job.setup.inputName, input)) return e;
    SndfileReader reader(input.file, job.setup.inputName, job.setup.channels, job.inputFrames, input.seekable,
                         input.source.get());
    // The resampler first, so that a refusal leaves no file behind.
    const ResamplerPtr r = makeResampler(job.setup);
    if (r == nullptr) return cannotConvert(job.setup.inputName, errno);
    const int fd =
        ::open(path.c_str(),
               ownWav(job.container) ? O_WRONLY | O_CLOEXEC : O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return failed(job);
    std::atomic<u64> progress{0};
    u64 written = 0;
    Error error;
    if (ownWav(job.container)) {
        WavWriter wav = wavWriter(job, fd);
        WavFrameWriter writer(wav, 0);
        error = convertSegment(r.get(), job.setup, segment, reader, writer, progress, written);
        // The last segment ends the data: the pad byte of an odd size.
        if (!error && segment.first + segment.count == job.total && !wav.finish(job.total))
            error = cannotWrite(job.setup.outputName, std::strerror(wav.error()));
        if (close(fd) != 0 && !error) error = failed(job);
    } else {
        SpoolWriter writer(job.setup.channels * sampleBytes(job.setup.format), fd);
        error = convertSegment(r.get(), job.setup, segment, reader, writer, progress, written);
    }
    clipped = clippedBy(r.get());
    return error;
}

Error completeOutput(const FileJob &job, std::string &temporary, const std::vector<std::string> &spools) {
    const int fd = ownWav(job.container) ? ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC)
                                         : createTemporary(job.output, job.tag, temporary);
    if (fd < 0) return failed(job);
    Error error = ownWav(job.container) ? Error{} : encodeSpools(job, fd, spools);
    // A write lost to a full disk that no call reported (libsndfile's close does not) must not pass for a
    // complete file, here or in a rerun.
    const u64 rawBytes =
        job.container == SF_FORMAT_RAW ? storedFrameBytes(job.setup.format, job.setup.channels) : 0;
    if (!error) error = readBack(fd, job.total, job.setup.outputName, rawBytes);
    if (close(fd) != 0 && !error) error = failed(job);
    if (!error && std::rename(temporary.c_str(), job.output.c_str()) != 0) error = failed(job);
    if (error) unlink(temporary.c_str());
    return error;
}

}  // namespace resample
