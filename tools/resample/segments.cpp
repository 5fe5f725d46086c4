#include "segments.h"

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

namespace resample {

namespace {

// Segment k (from 1) on its own thread: the input opened again, a resampler of its own, and frames written at
// their offset or spooled.
Error convertLater(const SegmentsPlan &plan, const Segment &segment, const Input &input, FrameWriter &to,
                   std::atomic<u64> &written, u64 &clipped) {
    Input again;
    if (Error e = openInput(input.reopenPath, input.name, again, input.raw)) return e;
    SndfileReader reader(again.file, input.name, plan.setup.channels, static_cast<u64>(input.info.frames),
                         true, again.source.get());
    const ResamplerPtr r = makeResampler(plan.setup);
    if (r == nullptr) return cannotConvert(plan.setup.inputName, errno);
    u64 done = 0;
    const Error e = convertSegment(r.get(), plan.setup, segment, reader, to, written, done);
    clipped = clippedBy(r.get());
    return e;
}

}  // namespace

Error convertSegments(const SegmentsPlan &plan, zel_resampler *first, const Input &input, Sink &sink,
                      std::atomic<u64> &written, u64 &read, u64 &clipped) {
    const u64 segments = std::min<u64>(plan.threads, std::max<u64>(plan.count, 1));
    const u64 frameBytes = plan.setup.channels * sampleBytes(plan.setup.format);
    std::vector<Error> errors(segments);
    std::vector<u64> clips(segments);
    std::vector<std::unique_ptr<FrameWriter>> atOffset(segments);
    std::vector<std::unique_ptr<SpoolWriter>> spools(segments);
    std::vector<std::thread> workers;
    for (u64 k = 1; k < segments; ++k) {
        if (sink.atOffsets())
            atOffset[k] = sink.writerAt();
        else
            spools[k] = std::make_unique<SpoolWriter>(frameBytes);
        FrameWriter *to = sink.atOffsets() ? atOffset[k].get() : spools[k].get();
        workers.emplace_back([&, k, to] {
            errors[k] = convertLater(plan, segmentOf(plan.begin, plan.count, segments, k), input, *to,
                                     written, clips[k]);
        });
    }
    SndfileReader reader(input.file, input.name, plan.setup.channels,
                         input.lengthKnown ? static_cast<u64>(input.info.frames) : ~0ULL, input.seekable,
                         input.source.get());
    u64 done = 0;
    if (plan.count > 0)
        errors[0] = convertSegment(first, plan.setup, segmentOf(plan.begin, plan.count, segments, 0), reader,
                                   sink.writer(), written, done);
    for (u64 k = 1; k < segments; ++k) {
        workers[k - 1].join();
        bool outFailed = false;
        SpoolWriter *spool = spools[k].get();
        if (spool != nullptr && !errors[0] && !errors[k] &&
            !spool->drainInto(sink.writer(), segmentOf(plan.begin, plan.count, segments, k).first, outFailed))
            errors[k] = outFailed ? cannotWrite(plan.setup.outputName, spool->error())
                                  : Error{Error::kConversion, spool->error()};
    }
    read = reader.framesRead();
    clips[0] = clippedBy(first);
    clipped = 0;
    for (const u64 c : clips) clipped += c;
    for (const Error &e : errors) {
        if (e) return e;
    }
    return {};
}

}  // namespace resample
