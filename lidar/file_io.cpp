#include "file_io.h"

#include "io_fault.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace lidar {

namespace {

#ifdef _WIN32
int sys_open(const char* name, int flags) {
    int fd = -1;
    // Binary mode: text mode would translate bytes of the point records.
    if (_sopen_s(&fd, name, flags | _O_BINARY, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) return -1;
    return fd;
}
long long sys_read(int fd, void* buf, std::size_t n) {
    return _read(fd, buf, static_cast<unsigned>(n > INT_MAX ? INT_MAX : n));
}
long long sys_write(int fd, const void* buf, std::size_t n) {
    return _write(fd, buf, static_cast<unsigned>(n > INT_MAX ? INT_MAX : n));
}
bool sys_seek(int fd, std::uint64_t off) {
    return off <= static_cast<std::uint64_t>(LLONG_MAX) &&
           _lseeki64(fd, static_cast<long long>(off), SEEK_SET) == static_cast<long long>(off);
}
bool sys_sync(int fd) { return _commit(fd) == 0; }
int sys_close(int fd) { return _close(fd); }
constexpr int kReadOnly = _O_RDONLY;
constexpr int kReadWrite = _O_RDWR;
#else
int sys_open(const char* name, int flags) {
    int fd;
    do fd = ::open(name, flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}
long long sys_read(int fd, void* buf, std::size_t n) { return ::read(fd, buf, n); }
long long sys_write(int fd, const void* buf, std::size_t n) { return ::write(fd, buf, n); }
bool sys_seek(int fd, std::uint64_t off) {
    static_assert(sizeof(off_t) == 8, "64-bit file positions are required");
    return off <= static_cast<std::uint64_t>(LLONG_MAX) &&
           ::lseek(fd, static_cast<off_t>(off), SEEK_SET) == static_cast<off_t>(off);
}
bool sys_sync(int fd) { return ::fsync(fd) == 0; }
// close() is not retried on EINTR: on Linux the descriptor is gone either way.
int sys_close(int fd) { return ::close(fd); }
// Without a writer a FIFO then opens at once and reads as empty, so a pipe
// named like a tile is refused instead of stalling a batch; regular files
// read as always.
constexpr int kReadOnly = O_RDONLY | O_NONBLOCK;
constexpr int kReadWrite = O_RDWR;
#endif

struct FaultPlan {
    IoOp op = IoOp::count_;
    unsigned long nth = 0;
    int error = 0;
    bool short_transfers = false;
    unsigned long calls[static_cast<int>(IoOp::count_)] = {};
};
FaultPlan g_faults;

// True when this call is the one planned to fail; errno is then set.
bool injected(IoOp op) {
    unsigned long n = ++g_faults.calls[static_cast<int>(op)];
    if (op != g_faults.op || n != g_faults.nth) return false;
    errno = g_faults.error;
    return true;
}

std::size_t transfer_size(std::size_t n) {
    return g_faults.short_transfers && n > 7 ? 7 : n;
}

}  // namespace

void set_io_fault(IoOp op, unsigned long nth, int error) {
    bool short_transfers = g_faults.short_transfers;
    g_faults = FaultPlan{op, nth, error, short_transfers, {}};
}

void clear_io_faults() { g_faults = FaultPlan{}; }

unsigned long io_calls(IoOp op) { return g_faults.calls[static_cast<int>(op)]; }

void set_io_short_transfers(bool on) { g_faults.short_transfers = on; }

bool can_open_for_reading(const char* filename) {
#ifdef _WIN32
    std::FILE* fp = std::fopen(filename, "r");
    if (fp == nullptr) return false;
    std::fclose(fp);
    return true;
#else
    int fd = sys_open(filename, kReadOnly);
    if (fd < 0) return false;
    sys_close(fd);
    return true;
#endif
}

File::~File() {
    if (fd_ >= 0) sys_close(fd_);
}

bool File::open_read(const char* filename) {
    fd_ = injected(IoOp::open_read) ? -1 : sys_open(filename, kReadOnly);
    return fd_ >= 0;
}

bool File::open_update(const char* filename) {
    fd_ = injected(IoOp::open_update) ? -1 : sys_open(filename, kReadWrite);
    return fd_ >= 0;
}

std::int64_t File::read_full(void* buf, std::size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    std::size_t got = 0;
    while (got < n) {
        long long r = injected(IoOp::read) ? -1 : sys_read(fd_, p + got, transfer_size(n - got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<std::int64_t>(got);
}

bool File::seek(std::uint64_t offset) { return !injected(IoOp::seek) && sys_seek(fd_, offset); }

bool File::write_all(const void* buf, std::size_t n) {
    auto* p = static_cast<const unsigned char*>(buf);
    while (n > 0) {
        long long w = injected(IoOp::write) ? -1 : sys_write(fd_, p, transfer_size(n));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool File::sync() { return !injected(IoOp::sync) && sys_sync(fd_); }

bool File::close() {
    int fd = fd_;
    fd_ = -1;
    bool closed = sys_close(fd) == 0;
    return !injected(IoOp::close) && closed;
}

void File::advise_sequential() {
#if defined(POSIX_FADV_SEQUENTIAL) && !defined(_WIN32)
    (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

}  // namespace lidar
