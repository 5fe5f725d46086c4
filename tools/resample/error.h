// A failure of a file conversion as it travels to the caller: what failed, which decides the tool's exit status or
// the exception Python raises, and one line saying why, naming the file.
#ifndef ZEL_TOOLS_RESAMPLE_ERROR_H
#define ZEL_TOOLS_RESAMPLE_ERROR_H

#include <string>

namespace resample {

struct Error {
    enum Kind { kNone, kUsage, kInput, kConversion, kWrite };
    Kind kind = kNone;
    std::string message;

    explicit operator bool() const { return kind != kNone; }
};

inline Error cannotWrite(const std::string &name, const std::string &reason) {
    return {Error::kWrite, "cannot write '" + name + "': " + reason};
}

}  // namespace resample

#endif
