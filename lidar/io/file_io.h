// The module's one door to the file system for LAS data: every open, read,
// seek, write, sync and close goes through here and reports failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace lidar {

// Reads n bytes at offset of a file into out; how many it got (fewer at the
// end of the file), or -1 on a read error. What walks a file's structure
// (VLRs, LAZ chunks) reads through, whatever holds the bytes.
using ReadAt = std::function<std::int64_t(std::uint64_t offset, void* out, std::size_t n)>;

// The directory a plain name is relative to: the working directory.
constexpr int kWorkingDir = -100;

// Where a file is: a name relative to an open directory, so that a walk
// reaches what it found however deep it is and whatever was renamed above
// it. On Windows dir is ignored and name is the whole path.
struct Where {
    int dir = kWorkingDir;
    const char* name = nullptr;
    bool follow = true;  // false: a symbolic link as the last component is refused
    // A walk's own examination found a regular file here, not a link: a
    // read-only open tries the name at once (see File::open_read).
    bool plain = false;
};

// What the system says of a file: which one it is (device and inode; on
// Windows volume and file index) and what would show that it changed.
struct FileState {
    std::uint64_t dev = 0, ino = 0, nlink = 0;
    std::int64_t size = -1;
    std::int64_t mtime_ns = 0, ctime_ns = 0;  // ctime: Windows has none, 0
    bool regular = false, directory = false, link = false;
};

inline bool same_file(const FileState& a, const FileState& b) { return a.dev == b.dev && a.ino == b.ino; }
// Same file, same size, not written or changed since a was taken, as far as
// the file system's timestamps can tell.
inline bool unchanged(const FileState& a, const FileState& b) {
    return same_file(a, b) && a.size == b.size && a.mtime_ns == b.mtime_ns && a.ctime_ns == b.ctime_ns;
}

// The state of what w names, without opening it: 0, or the system's error.
// A link as the last component is described itself when w.follow is false.
int state_of(const Where& w, FileState& st);
// The state of an open descriptor: 0, or the system's error.
int state_of(int fd, FileState& st);

// Whether filename can be opened for reading right now (whatever it is, as
// the family's file_access has always answered); never waits on a FIFO
// without a writer.
bool can_open_for_reading(const char* filename);

// Whether this process may write a file up to byte end without the system
// cutting the write short (a file-size limit, as set by ulimit -f).
bool may_write_up_to(std::uint64_t end);

// Why an open failed when it was not the system: what is there is not a
// regular file, or not the file it had to be.
constexpr int kNotRegular = -1;

class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();  // closes without reporting; call close() where the result matters

    // Opens only a regular file: what the name leads to is examined before
    // it is opened for real (on Linux through an O_PATH descriptor, then
    // that very inode reopened), so a device, FIFO or socket switched in
    // never sees an open that could act on it. false with error() set.
    // Where w.plain says a walk just found a regular file there, a read
    // takes one open instead (not following a link, never waiting, no
    // controlling terminal) and judges what it opened; only a failure goes
    // the careful way, so every refusal reads as before.
    bool open_read(const Where& w);
    bool open_update(const Where& w);
    bool open_read(const char* filename) { return open_read(Where{kWorkingDir, filename, true}); }
    bool open_update(const char* filename) { return open_update(Where{kWorkingDir, filename, true}); }
    bool is_open() const { return fd_ >= 0; }
    // After a failed call: the system's errno (an open's may be kNotRegular).
    int error() const { return error_; }
    // What the open file was when it was opened and judged.
    const FileState& opened() const { return opened_; }

    // What the open file is now; false if the system cannot say.
    bool state(FileState& st);

    // Reads until n bytes or end of file. Returns the count, or -1 on error.
    std::int64_t read_full(void* buf, std::size_t n);
    bool seek(std::uint64_t offset);
    // n bytes from offset on (fewer at the end of the file), moving the
    // file position; -1 on error.
    std::int64_t read_at(std::uint64_t offset, void* buf, std::size_t n) { return seek(offset) ? read_full(buf, n) : -1; }
    // The same without moving the file position, so several threads can
    // read one file at once (on Windows it moves it: one thread only).
    std::int64_t pread_full(std::uint64_t offset, void* buf, std::size_t n);
    bool write_all(const void* buf, std::size_t n);
    // Flushes to the operating system and to the device.
    bool sync();
    bool close();
    // Tells the kernel the rest of the file is read once, front to back.
    void advise_sequential();

private:
    bool open(const Where& w, bool update);
    bool failed();  // keeps errno as error(); false
    int fd_ = -1;
    int error_ = 0;
    FileState opened_;
};

}  // namespace lidar
