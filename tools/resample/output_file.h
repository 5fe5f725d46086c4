// Where the tool's output goes, written so that nothing is lost: a regular file (new, or replacing one) is
// written to a temporary file beside it and put in place only when complete, keeping the replaced file's mode
// and owner (and, when it has other hard links, its inode); a device, a FIFO or stdout is written through. A
// signal or a failure removes the temporary file, except once it is complete and being copied into a file with
// other links: a signal then waits for the copy, and a failed copy keeps it. Also: the spool files in $TMPDIR.
#ifndef ZEL_TOOLS_RESAMPLE_OUTPUT_FILE_H
#define ZEL_TOOLS_RESAMPLE_OUTPUT_FILE_H

#include <string>

namespace resample {

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile() { abandon(); }

    // Opens `path` ("-" for stdout) for writing; on failure returns false with a one-line reason.
    bool open(const std::string &path, std::string &error);
    int fd() const { return fd_; }
    // Whether frames may be written at offsets: a regular file or device we write from its start, not appending.
    bool positional() const { return positional_; }
    // Closes the output and puts it in place; on failure returns false with the reason (and removes it).
    bool commit(std::string &error);
    // Removes the temporary file, if any; called on every failure.
    void abandon();

    // Installs the handlers that remove the temporary file on SIGINT, SIGTERM, SIGHUP and SIGXFSZ (leaving
    // ignored those ignored from the start), and turns a closed pipe into a failed write.
    static void handleSignals();

private:
    // Writes the complete temporary file into the destination in place; false with the reason.
    bool copyInto(std::string &error) const;

    int fd_ = -1;
    bool positional_ = false, temporary_ = false;
    std::string final_, temporaryPath_;
};

// A new file beside `path` named .NAME<tag>XXXXXX with the mode any new file gets (mkstemp's is 0600); its
// descriptor and path, or -1 with errno.
int createTemporary(const std::string &path, const std::string &tag, std::string &temporary);

// An unnamed file in $TMPDIR (or /tmp), for data the tool must hold before it can write it; -1 with the
// reason on failure.
int openSpool(std::string &error);

// True when the open descriptor `fd` and the file at `path` are one file (the output would overwrite the input).
bool sameFile(int fd, const std::string &path);
// As sameFile, for two open descriptors, and for two paths.
bool sameFile(int a, int b);
bool sameFile(const std::string &a, const std::string &b);

// Writes all n bytes, resuming after interruptions and partial writes; false with errno on failure.
bool writeAll(int fd, const void *data, size_t n);
// Copies the whole of the file `from` (from its start) to `to`; false with errno on failure.
bool copyAll(int from, int to);
// Copies what is left to read from `from` (a pipe, say) to `to`; false with errno on failure.
bool copyRest(int from, int to);

}  // namespace resample

#endif
