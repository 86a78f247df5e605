// File primitives of the files under /dumps and of the configuration restore: opening
// without following links, exclusive locks that survive a rotation, and replacing a file
// atomically. Every writer of a shared file goes through these.
#pragma once
#include <sys/types.h>

#include <string>

namespace morvel::common {

// open() with O_NOFOLLOW and O_CLOEXEC added, retried on EINTR; -1 on failure (errno set).
int openNoFollow(const char *path, int flags, mode_t mode = 0600);

// openNoFollow with O_NONBLOCK added (a planted fifo is not waited on), and only for a plain
// file of its own: a fifo or a hard link to some other file is refused (-1, errno ELOOP).
int openPlainFile(const char *path, int flags, mode_t mode = 0600);

// Opens path as openPlainFile does and holds an exclusive flock on the file that is under
// path once the lock is granted: a file renamed away while we waited is dropped and the
// new one opened, up to 100 times. -1 on failure (errno set).
int openLocked(const char *path, int flags, mode_t mode = 0600);
// flock(fd, LOCK_EX), waiting, again after a signal; false when it fails.
bool lockExclusive(int fd);
// Releases the lock and closes; a negative descriptor is ignored.
void unlockClose(int fd);

size_t writeAll(int fd, const void *data, size_t length);  // bytes written (EINTR, short writes retried)
bool readAll(int fd, std::string &out);                     // the whole content; false on a read error
void fsyncParentDir(const char *path);                      // so that a rename into it survives a crash

// The writers' exclusive lock of a file: "<path>.lock", opened as openLocked does and held
// for the object's lifetime. Only a writer holding it creates "<path>.XXXXXX" temporary
// files, so once it is held every such file is a leftover of a writer that died: they are
// removed, each logged at level 0 with logSrc.
class FileLock {
public:
    FileLock(const char *path, const char *logSrc);
    ~FileLock() { unlockClose(fd_); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    bool held() const { return fd_ >= 0; }
    int error() const { return err_; }  // errno of the failed open or lock
    const std::string &lockPath() const { return lockPath_; }

private:
    std::string lockPath_;
    int fd_ = -1;
    int err_ = 0;
};

// Replaces a file atomically: the new content goes to a temporary file in the same folder,
// created exclusively (O_EXCL, O_NOFOLLOW) with exactly the given mode, and commit() syncs
// it, renames it over the file and syncs the folder. A crash leaves the old or the new
// file, never a mix. Not committed, the temporary file is removed. The caller holds the
// file's lock throughout. The temporary file is "<path>.XXXXXX", or with a fixed suffix
// "<path><suffix>", whatever lay under that name being removed first.
class AtomicFile {
public:
    enum class Step { None, Create, Write, Sync, Rename };
    AtomicFile(const char *path, mode_t mode, const char *fixedSuffix = nullptr);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    bool created() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool write(const void *data, size_t length);  // all of data, or false (step Write)
    bool commit();
    Step failedStep() const { return failed_; }
    int error() const { return err_; }

private:
    bool fail(Step s);
    std::string path_, tmp_;
    int fd_ = -1;
    bool done_ = false;
    Step failed_ = Step::None;
    int err_ = 0;
};

}  // namespace morvel::common
