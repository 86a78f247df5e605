#include "common/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/log.h"

namespace morvel::common {

namespace {

// True when fd still names the file that is at path now (not followed through a link):
// another process may have moved it away (a rotation, a replacement) after our open.
bool stillAtPath(int fd, const char *path) {
    struct stat byFd{}, byPath{};
    if (::fstat(fd, &byFd) != 0) return true;  // cannot tell: use what we have
    return ::lstat(path, &byPath) == 0 && byFd.st_ino == byPath.st_ino && byFd.st_dev == byPath.st_dev;
}

// Temporary files of AtomicFile beside path: kTempPrefix, the file's own name, '.' and six
// letters or digits. Nothing else is ever taken for one.
constexpr std::string_view kTempPrefix = ".morvel-tmp-";

std::string tempPattern(const std::string &path) {
    const size_t slash = path.rfind('/');
    const size_t at = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, at) + std::string(kTempPrefix) + path.substr(at) + ".XXXXXX";
}

void removeLeftovers(const char *path, const char *logSrc) {
    std::string_view p(path);
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string_view::npos ? "." : std::string(p.substr(0, slash + 1));
    std::string_view base = slash == std::string_view::npos ? p : p.substr(slash + 1);
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    const size_t head = kTempPrefix.size() + base.size();
    while (const dirent *e = ::readdir(d)) {
        std::string_view name(e->d_name);
        if (name.size() != head + 7 || !name.starts_with(kTempPrefix) ||
            name.substr(kTempPrefix.size(), base.size()) != base || name[head] != '.')
            continue;
        std::string_view tail = name.substr(head + 1);
        if (!std::all_of(tail.begin(), tail.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
            continue;
        if (::unlinkat(::dirfd(d), e->d_name, 0) == 0)
            morvel_log(LOG_ERROR, logSrc, __LINE__, __func__,
                       "Removed temporary file %s%s left by an interrupted writer.\n", dir.c_str(), e->d_name);
    }
    ::closedir(d);
}

}  // namespace

int openNoFollow(const char *path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int openPlainFile(const char *path, int flags, mode_t mode) {
    int fd = openNoFollow(path, flags | O_NONBLOCK, mode);
    if (fd < 0) return -1;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        ::close(fd);
        errno = ELOOP;
        return -1;
    }
    return fd;
}

bool lockExclusive(int fd) {
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

int openLocked(const char *path, int flags, mode_t mode) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = openPlainFile(path, flags, mode);
        if (fd < 0) return -1;
        const bool locked = lockExclusive(fd);
        if (locked && stillAtPath(fd, path)) return fd;
        unlockClose(fd);
        if (!locked) return -1;
    }
    errno = EAGAIN;
    return -1;
}

void unlockClose(int fd) {
    if (fd < 0) return;
    (void)::flock(fd, LOCK_UN);
    ::close(fd);
}

size_t writeAll(int fd, const void *data, size_t length) {
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (fd >= 0 && p != nullptr && done < length) {
        ssize_t n = ::write(fd, p + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool readAll(int fd, std::string &out) {
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

void fsyncParentDir(const char *path) {
    if (path == nullptr) return;
    const char *slash = std::strrchr(path, '/');
    std::string dir = slash == nullptr ? "." : std::string(path, static_cast<size_t>(slash - path) + 1);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

FileLock::FileLock(const char *path, const char *logSrc) : lockPath_(std::string(path) + ".lock") {
    // Only locked, never written: nothing is done through the file but flock.
    fd_ = openLocked(lockPath_.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd_ < 0) {
        err_ = errno;
        return;
    }
    removeLeftovers(path, logSrc);
}

AtomicFile::AtomicFile(const char *path, mode_t mode, const char *fixedSuffix) : path_(path) {
    if (fixedSuffix != nullptr) {
        tmp_ = path_ + fixedSuffix;
        // A file under this name is a leftover of a writer that died, or something planted:
        // removed, never followed or reused.
        if (::unlink(tmp_.c_str()) == 0 || errno == ENOENT)
            fd_ = openNoFollow(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
    } else {
        tmp_ = tempPattern(path_);
        fd_ = ::mkostemp(tmp_.data(), O_CLOEXEC);  // O_EXCL, mode 0600
    }
    if (fd_ >= 0 && ::fchmod(fd_, mode) == 0) return;  // exactly mode, whatever the umask
    fail(Step::Create);
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(tmp_.c_str());
        fd_ = -1;
    }
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!done_ && failed_ != Step::Create) (void)::unlink(tmp_.c_str());
}

bool AtomicFile::fail(Step s) {
    failed_ = s;
    err_ = errno;
    return false;
}

bool AtomicFile::write(const void *data, size_t length) {
    if (fd_ < 0 || failed_ != Step::None) return false;
    return writeAll(fd_, data, length) == length || fail(Step::Write);
}

bool AtomicFile::commit() {
    if (fd_ < 0 || failed_ != Step::None) return false;
    if (::fsync(fd_) != 0) return fail(Step::Sync);
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return fail(Step::Write);
    if (::rename(tmp_.c_str(), path_.c_str()) != 0) return fail(Step::Rename);
    done_ = true;
    fsyncParentDir(path_.c_str());
    return true;
}

}  // namespace morvel::common
