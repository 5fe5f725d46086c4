// zel._files: the resample tool's own file conversion (tools/resample/file_job.h) for zel.batch, so that the files
// it writes are the tool's, byte for byte, by construction. A file is a job, a dict zel.batch plans; its output is
// started, converted in segments by separate tasks, and completed, each call in any process. Failures raise
// FileError with the tool's one-line message; the interpreter lock is released while files are read and written.
// A module of its own, packaged with zel.batch, so that zel alone needs no libsndfile.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sndfile.h>

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

// The input's header, checked as the tool checks it: rate, channels, frames and the sample format "same" gives
// it in the container `type`.
py::dict openInput(const py::handle &path, const std::string &name, const std::string &type) {
    const std::string at = pathOf(path);
    resample::Input input;
    Error e;
    {
        py::gil_scoped_release unlocked;
        e = resample::openInput(at, name, input);
    }
    check(e);
    py::dict info;
    info["rate"] = input.info.samplerate, info["channels"] = input.info.channels;
    info["frames"] = static_cast<u64>(input.info.frames);
    info["format"] = formatName(resample::sameFormat(input.info.format, containerNamed(type)));
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

PYBIND11_MODULE(_files, m) {
    m.doc() = "The resample tool's file conversion for zel.batch; use zel.batch, not this module.";
    py::register_exception<FileError>(m, "FileError", PyExc_RuntimeError);
    py::list names;
    for (const auto &entry : resample::containers()) names.append(entry.first);
    m.attr("CONTAINERS") = py::tuple(names);
    // The extensions of every container libsndfile reads, so that zel.batch knows audio files by name.
    py::set extensions;
    int majors = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof majors);
    for (int k = 0; k < majors; ++k) {
        SF_FORMAT_INFO info{};
        info.format = k;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) == 0 && info.extension != nullptr)
            extensions.add(py::str(info.extension));
    }
    m.attr("EXTENSIONS") = py::frozenset(extensions);
    m.def(
        "open_input", &openInput, py::arg("path"), py::arg("name"), py::arg("type"),
        "The header of the audio file at path, checked as the tool checks it: a dict of rate, channels, "
        "frames "
        "and format, the one --format same gives it in the container type. Raises FileError naming `name`.");
    m.def("container_for", &containerFor, py::arg("type"), py::arg("path"),
          "The container an output at path is written as: type when given, else its extension's; None when "
          "unknown.");
    m.def("refusal", &refusal, py::arg("type"), py::arg("format"),
          "Why the container type cannot hold the sample format, as the tool says it; '' when it can.");
    m.def("segments", &segments, py::arg("total"), py::arg("parts"),
          "(first, count) of `parts` nearly equal segments of `total` output frames.");
    m.def(
        "start_output", &startOutput, py::arg("job"),
        "Creates the temporary WAV file a job's segments are written into and returns its path (bytes); None "
        "for other containers.");
    m.def("convert_segment", &convertSegment, py::arg("job"), py::arg("first"), py::arg("count"),
          py::arg("path"),
          "Converts `count` output frames from `first` into path (the temporary WAV, or a new spool); "
          "returns the "
          "samples clipped.");
    m.def("complete_output", &completeOutput, py::arg("job"), py::arg("temporary"), py::arg("spools"),
          "Completes a job's output from its temporary WAV or its spools, reads it back and renames it into "
          "place.");
}
