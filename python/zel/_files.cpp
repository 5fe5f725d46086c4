// zel._native's file conversion: the resample tool's own code (tools/resample/file_job.h) for zel.batch, so that
// the files it writes are the tool's, byte for byte, by construction. A file is a job, a dict zel.batch plans;
// its output is started, converted in segments by separate tasks, and completed, each call in any process.
// Failures raise FileError with the tool's one-line message; the interpreter lock is released while files are
// read and written.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "file_job.h"
#include "input.h"
#include "output_format.h"

namespace py = pybind11;

namespace {

using resample::Error;
using resample::u64;

struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void check(const Error &e) {
    if (e) throw FileError(e.message);
}

// A path as the bytes the file system takes: names that are not UTF-8 pass through.
std::string pathOf(const py::handle &path) {
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

const char *formatName(const resample::SampleFormat &f) {
    if (f.bits == 0) return f.floatBits == 64 ? "double" : "float";
    return f.bits == 16 ? "pcm16" : f.bits == 24 ? "pcm24" : "pcm32";
}

int containerNamed(const std::string &name) {
    std::string why;
    return name.empty() ? 0 : resample::containerFor(name, "", why);
}

resample::FileJob jobOf(const py::dict &d) {
    resample::FileJob job;
    const auto rate = d["rate"].cast<std::pair<u64, u64>>();
    job.setup.sourceRate = d["source_rate"].cast<u64>();
    job.setup.targetNumerator = rate.first, job.setup.targetDenominator = rate.second;
    job.setup.channels = d["channels"].cast<unsigned>();
    job.setup.quality = d["preset"].cast<int>();
    job.setup.bandwidth = d["bandwidth"].is_none() ? 0.0 : d["bandwidth"].cast<double>();
    job.setup.inputName = d["rel"].cast<std::string>();
    job.setup.outputName = d["output_name"].cast<std::string>();
    job.input = pathOf(d["path"]), job.output = pathOf(d["dest"]);
    job.inputFrames = d["frames"].cast<u64>();
    if (!resample::sampleFormatNamed(d["format"].cast<std::string>(), job.setup.format) ||
        job.setup.format.bits < 0)
        throw py::value_error("a job's format must be float, double, pcm16, pcm24 or pcm32");
    job.container = containerNamed(d["type"].cast<std::string>());
    job.total = d["total"].cast<u64>();
    job.tag = d["tag"].cast<std::string>();
    return job;
}

// The input's header, checked as the tool checks it: rate, channels, frames and its own sample format (None when
// it is neither 16/24/32-bit PCM nor float).
py::dict openInput(const py::handle &path, const std::string &name) {
    const std::string at = pathOf(path);
    resample::Input input;
    Error e;
    {
        py::gil_scoped_release unlocked;
        e = resample::openInput(at, name, input);
    }
    check(e);
    resample::SampleFormat own;
    py::dict info;
    info["rate"] = input.info.samplerate, info["channels"] = input.info.channels;
    info["frames"] = static_cast<u64>(input.info.frames);
    info["format"] =
        resample::sampleFormatOf(input.info.format, own) ? py::object(py::str(formatName(own))) : py::none();
    return info;
}

// The container the output at `path` is written as: `type` when given, else its extension; None when unknown.
py::object containerFor(const std::string &type, const py::handle &path) {
    std::string why;
    const int major = resample::containerFor(type, pathOf(path), why);
    for (const auto &[name, known] : resample::containers()) {
        if (known == major) return py::str(name);
    }
    return py::none();
}

std::string refusal(const std::string &type, const std::string &format) {
    resample::SampleFormat f;
    return resample::sampleFormatNamed(format, f) ? resample::refusal(containerNamed(type), f) : "";
}

// The temporary WAV file segments are written into; None for other containers, which start at the end.
py::object startOutput(const py::dict &d) {
    const resample::FileJob job = jobOf(d);
    if (!resample::ownWav(job.container)) return py::none();
    std::string temporary;
    Error e;
    {
        py::gil_scoped_release unlocked;
        e = resample::startOutput(job, temporary);
    }
    check(e);
    return py::bytes(temporary);
}

// (first, count) of `parts` nearly equal segments of `total` output frames (one when there are none).
std::vector<std::pair<u64, u64>> segments(u64 total, u64 parts) {
    std::vector<std::pair<u64, u64>> out;
    parts = std::max<u64>(parts, 1);
    for (u64 k = 0; k < parts; ++k) {
        const resample::Segment s = resample::segmentOf(0, total, parts, k);
        out.emplace_back(s.first, s.count);
    }
    return out;
}

u64 convertSegment(const py::dict &d, u64 first, u64 count, const py::handle &path) {
    const resample::FileJob job = jobOf(d);
    const std::string to = pathOf(path);
    u64 clipped = 0;
    Error e;
    {
        py::gil_scoped_release unlocked;
        e = resample::convertPart(job, {first, count}, to, clipped);
    }
    check(e);
    return clipped;
}

void completeOutput(const py::dict &d, const py::handle &temporary, const std::vector<py::object> &spools) {
    const resample::FileJob job = jobOf(d);
    std::string temp = temporary.is_none() ? "" : pathOf(temporary);
    std::vector<std::string> paths;
    for (const py::object &spool : spools) paths.push_back(pathOf(spool));
    Error e;
    {
        py::gil_scoped_release unlocked;
        e = resample::completeOutput(job, temp, paths);
    }
    check(e);
}

}  // namespace

void bindFiles(py::module_ &m) {
    py::register_exception<FileError>(m, "FileError", PyExc_RuntimeError);
    py::list names;
    for (const auto &entry : resample::containers()) names.append(entry.first);
    m.attr("CONTAINERS") = py::tuple(names);
    m.def("open_input", &openInput);
    m.def("container_for", &containerFor);
    m.def("refusal", &refusal);
    m.def("segments", &segments);
    m.def("start_output", &startOutput);
    m.def("convert_segment", &convertSegment);
    m.def("complete_output", &completeOutput);
}
