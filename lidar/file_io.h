// The module's one door to the file system for LAS data: every open, read,
// seek, write, sync and close goes through here and reports failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lidar {

// Whether filename can be opened for reading right now; never waits on a
// FIFO without a writer.
bool can_open_for_reading(const char* filename);

// Whether filename names something that exists but is not a regular file
// (a directory, FIFO, socket or device): such a thing is never read.
bool names_special_file(const char* filename);

// Whether this process may write a file up to byte end without the system
// cutting the write short (a file-size limit, as set by ulimit -f).
bool may_write_up_to(std::uint64_t end);

class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();  // closes without reporting; call close() where the result matters

    bool open_read(const char* filename);
    bool open_update(const char* filename);

    // Whether what was opened is a regular file, and its size now (-1 if
    // unknown).
    bool is_regular();
    std::int64_t size();

    // Reads until n bytes or end of file. Returns the count, or -1 on error.
    std::int64_t read_full(void* buf, std::size_t n);
    bool seek(std::uint64_t offset);
    bool write_all(const void* buf, std::size_t n);
    // Flushes to the operating system and to the device.
    bool sync();
    bool close();
    // Tells the kernel the rest of the file is read once, front to back.
    void advise_sequential();

private:
    int fd_ = -1;
};

}  // namespace lidar
