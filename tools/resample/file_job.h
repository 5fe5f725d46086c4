// A file converted as separate tasks, possibly in other processes on other machines: the output is started as a
// temporary file beside its destination, each segment is converted by its own task from its own reader, and the
// last task completes the file, read back before it is renamed into place. WAV segments are written at their
// offsets in the temporary file; other containers' are spooled as the output's samples and written into the
// container in order at the end.
#ifndef ZEL_TOOLS_RESAMPLE_FILE_JOB_H
#define ZEL_TOOLS_RESAMPLE_FILE_JOB_H

#include <string>
#include <vector>

#include "convert.h"
#include "error.h"
#include "output_format.h"

namespace resample {

struct FileJob {
    ConversionSetup setup;      // its names are those messages give; its format the output's
    std::string input, output;  // paths
    u64 inputFrames = 0;        // as the input's header gives them
    int container = 0;          // libsndfile's major format
    u64 total = 0;              // output frames
    std::string tag;            // temporary files are named .NAME<tag>..., beside the output
};

// Creates the temporary WAV file that segments are written into, holding the header; its path in `temporary`.
Error startOutput(const FileJob &job, std::string &temporary);

// Converts `segment` into `path`: the temporary file at its offset for WAV, else a new spool of its frames;
// counts the samples clipped in `clipped`.
Error convertPart(const FileJob &job, const Segment &segment, const std::string &path, u64 &clipped);

// Completes the output from the spools (containers other than WAV, written into a new temporary file, whose path
// `temporary` then takes), reads it back and renames it into place; removes the temporary file on failure.
Error completeOutput(const FileJob &job, std::string &temporary, const std::vector<std::string> &spools);

}  // namespace resample

#endif
