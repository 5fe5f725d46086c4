// The progress line on a terminal: frames, percent, speed, redrawn four times a second by its own thread once a
// run has taken a second; ends at 100% when the run completes.
#ifndef ZEL_TOOLS_RESAMPLE_PROGRESS_H
#define ZEL_TOOLS_RESAMPLE_PROGRESS_H

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace resample {

class Progress {
public:
    using u64 = unsigned long long;

    // `frames` counts the frames written so far, of `total` (~0 when unknown), at `rate` frames per second.
    Progress(bool show, const std::atomic<u64> &frames, u64 total, double rate)
        : frames_(frames), total_(total), rate_(rate) {
        if (show) thread_ = std::thread([this] { loop(); });
    }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    ~Progress() { stop(false); }

    void stop(bool complete) {
        if (!thread_.joinable()) return;
        done_ = true;
        thread_.join();
        if (shown_ && complete) print();
        if (shown_) std::fputs("\n", stderr);
    }

private:
    void loop() {
        while (!done_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            if (!done_ && seconds() >= 1) print(), shown_ = true;
        }
    }
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    void print() const {
        const auto frames = static_cast<double>(frames_.load());
        std::fprintf(stderr, "\rresample: %.0f frames", frames);
        if (total_ != ~0ULL && total_ > 0)
            std::fprintf(stderr, " (%.0f%%)", 100.0 * frames / static_cast<double>(total_));
        std::fprintf(stderr, ", %.0fx real time   ", frames / rate_ / seconds());
    }

    const std::atomic<u64> &frames_;
    u64 total_;
    double rate_;
    std::atomic<bool> done_{false};
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::thread thread_;
};

}  // namespace resample

#endif
