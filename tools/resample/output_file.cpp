#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace resample {

namespace {

// The temporary output, for the signal handler, which may use only what is async-signal-safe. While the complete
// output is copied into a file that other links share, a signal waits for the copy to end, so that the
// destination is left either as it was or complete; if the copy fails, the temporary file is kept, being then
// the only complete output.
enum : int { kNoTemporary, kPartial, kCopying, kKept };
char gTemporary[4096];
volatile sig_atomic_t gTemporaryState = kNoTemporary, gPendingSignal = 0;

extern "C" void onSignal(int signal) {
    if (gTemporaryState == kCopying) {
        gPendingSignal = signal;
        return;
    }
    const bool removed = gTemporaryState == kPartial && unlink(gTemporary) == 0;
    const auto say = [](const char *text) { (void)!write(STDERR_FILENO, text, std::strlen(text)); };
    say(signal == SIGXFSZ ? "resample: the output passed the file-size limit" : "resample: interrupted");
    if (removed) say("; removed the partial output");
    if (gTemporaryState == kKept) say("; the complete output is in '"), say(gTemporary), say("'");
    say("\n");
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

std::string reason() { return std::strerror(errno); }

// Follows symbolic links, even to a file not yet there, so that a link stays a link and its target is replaced.
bool followLinks(std::string &path, std::string &error) {
    for (int hops = 0; hops < 40; ++hops) {
        char link[4096];
        const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n < 0) return true;
        link[n] = '\0';
        const size_t slash = path.rfind('/');
        path = link[0] == '/' || slash == std::string::npos ? std::string(link)
                                                            : path.substr(0, slash + 1) + link;
    }
    return error = "too many levels of symbolic links", false;
}

}  // namespace

bool OutputFile::open(const std::string &path, std::string &error) {
    struct stat st {};
    if (path == "-") {
        fd_ = STDOUT_FILENO;
    } else if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) return error = "it is a directory", false;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) return error = reason(), false;
    } else {
        final_ = path;
        if (!followLinks(final_, error)) return false;
        const size_t slash = final_.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : final_.substr(0, slash);
        const std::string base = slash == std::string::npos ? final_ : final_.substr(slash + 1);
        temporaryPath_ = dir + "/." + base + ".resample-XXXXXX";
        if (temporaryPath_.size() >= sizeof gTemporary) return error = "the path is too long", false;
        std::memcpy(gTemporary, temporaryPath_.c_str(), temporaryPath_.size() + 1);
        fd_ = mkstemp(gTemporary);
        if (fd_ < 0) return error = reason(), false;
        temporaryPath_ = gTemporary;
        temporary_ = true;
        gTemporaryState = kPartial;
        // A replaced file keeps its mode and, where we may set them, its owner and group; a new one gets the
        // mode any new file gets.
        mode_t mode = 0;
        if (stat(final_.c_str(), &st) == 0) {
            mode = st.st_mode & 07777;
            if (fchown(fd_, st.st_uid, st.st_gid) != 0) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
        } else {
            const mode_t mask = umask(0);
            umask(mask);
            mode = 0666 & ~mask;
        }
        if (fchmod(fd_, mode) != 0) return error = reason(), false;
    }
    // An output opened for appending (>>) takes every write at its end, and one whose offset is not 0 holds
    // data of its own before ours: both are written in order, as a stream.
    const int flags = fcntl(fd_, F_GETFL);
    positional_ = flags >= 0 && (flags & O_APPEND) == 0 && lseek(fd_, 0, SEEK_CUR) == 0;
    return true;
}

bool OutputFile::commit(std::string &error) {
    if (fd_ != STDOUT_FILENO && fd_ >= 0 && close(fd_) != 0) {
        fd_ = -1;
        return error = reason(), abandon(), false;
    }
    fd_ = -1;
    if (!temporary_) return true;
    struct stat st {};
    if (stat(final_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink > 1) {
        // Other names share the replaced file: write into it, so that they see the new contents. Its blocks are
        // reserved first, so that a full disk leaves it as it was, and a signal waits for the copy to end.
        gTemporaryState = kCopying;
        const bool copied = copyInto(error);
        gTemporaryState = copied ? kPartial : kKept;
        if (copied) abandon();
        temporary_ = false;
        if (gPendingSignal != 0) onSignal(gPendingSignal);
        return copied;
    }
    if (std::rename(temporaryPath_.c_str(), final_.c_str()) != 0) return error = reason(), abandon(), false;
    gTemporaryState = kNoTemporary, temporary_ = false;
    return true;
}

bool OutputFile::copyInto(std::string &error) const {
    const int from = ::open(temporaryPath_.c_str(), O_RDONLY | O_CLOEXEC);
    const int to = ::open(final_.c_str(), O_WRONLY | O_CLOEXEC);
    struct stat st {};
    bool copied = from >= 0 && to >= 0 && fstat(from, &st) == 0;
    if (copied && st.st_size > 0) {
        const int reserved = posix_fallocate(to, 0, st.st_size);
        if (reserved == ENOSPC || reserved == EFBIG || reserved == EDQUOT || reserved == EIO)
            copied = false, errno = reserved;
    }
    copied = copied && copyRest(from, to) && ftruncate(to, st.st_size) == 0;
    const int copyError = errno;
    if (from >= 0) close(from);
    if ((to >= 0 && close(to) != 0) || !copied) {
        error = std::string(std::strerror(to >= 0 && !copied ? copyError : errno)) +
                "; the complete output is in '" + temporaryPath_ + "'";
        return false;
    }
    return true;
}

void OutputFile::abandon() {
    if (temporary_) {
        gTemporaryState = kNoTemporary;
        unlink(temporaryPath_.c_str());
        temporary_ = false;
    }
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) close(fd_);
    fd_ = -1;
}

void OutputFile::handleSignals() {
    // A signal ignored from the start (nohup, a background job) stays ignored; SIGXFSZ then makes a write
    // that passes the file-size limit fail, as a full disk does.
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) {
        struct sigaction now {};
        if (sigaction(s, nullptr, &now) != 0 || now.sa_handler != SIG_IGN) std::signal(s, onSignal);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

int createTemporary(const std::string &path, const std::string &tag, std::string &temporary) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    temporary = dir + "/." + path.substr(slash + 1) + tag + "XXXXXX";
    const int fd = mkstemp(temporary.data());
    const mode_t mask = umask(0);
    umask(mask);
    if (fd >= 0 && fchmod(fd, 0666 & ~mask) != 0) {
        const int code = errno;
        close(fd), unlink(temporary.c_str());
        return errno = code, -1;
    }
    return fd;
}

int openSpool(std::string &error) {
    const char *dir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/resample-spool-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0)
        return error = "cannot create a spool file in '" + pattern.substr(0, pattern.rfind('/')) +
                       "': " + reason(),
               -1;
    unlink(pattern.c_str());
    return fd;
}

bool writeAll(int fd, const void *data, size_t n) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return w == 0 ? (errno = EIO, false) : false;
        p += w, n -= static_cast<size_t>(w);
    }
    return true;
}

bool copyAll(int from, int to) { return lseek(from, 0, SEEK_SET) == 0 && copyRest(from, to); }

bool copyRest(int from, int to) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        if (!writeAll(to, buffer.data(), static_cast<size_t>(n))) return false;
    }
}

bool sameFile(int fd, const std::string &path) {
    struct stat a {
    }, b{};
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameFile(const std::string &pathA, const std::string &pathB) {
    struct stat a {
    }, b{};
    return stat(pathA.c_str(), &a) == 0 && stat(pathB.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool sameFile(int fdA, int fdB) {
    struct stat a {
    }, b{};
    return fstat(fdA, &a) == 0 && fstat(fdB, &b) == 0 && S_ISREG(a.st_mode) && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

}  // namespace resample
