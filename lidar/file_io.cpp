#include "file_io.h"

#include "io_fault.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>

#include <sys/stat.h>
#include <memory>
#include <type_traits>
#include <utility>

#ifdef _WIN32
#include <io.h>
#include <share.h>
#else
#include <sys/resource.h>
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
using Stat = struct _stat64;
int sys_fstat(int fd, Stat* st) { return _fstat64(fd, st); }
int sys_stat(const char* name, Stat* st) { return _stat64(name, st); }
bool is_reg(const Stat& st) { return (st.st_mode & _S_IFMT) == _S_IFREG; }
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
using Stat = struct stat;
int sys_fstat(int fd, Stat* st) { return ::fstat(fd, st); }
int sys_stat(const char* name, Stat* st) { return ::stat(name, st); }
bool is_reg(const Stat& st) { return S_ISREG(st.st_mode); }
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
    // Owned, but by pointer: a thread-local with a destructor crashes
    // MinGW-w64 programs when a thread ends (its destructor runs after the
    // thread's storage is gone), so the plan must be trivially destructible.
    std::function<void()>* hook = nullptr;
    std::size_t cap = 0;
    unsigned long calls[static_cast<int>(IoOp::count_)] = {};
};
static_assert(std::is_trivially_destructible_v<FaultPlan>);
// Per thread: tests plan faults for the update they run on their own thread,
// and other threads' checks never race on the counts.
thread_local FaultPlan t_plan;

// A fresh plan keeping the transfer cap, the previous hook released.
void reset_plan(std::size_t cap) {
    delete t_plan.hook;
    t_plan = FaultPlan{};
    t_plan.cap = cap;
}

// Counts the call; true when it is the one planned to fail (errno is then
// set). A hook planned for it runs first.
bool injected(IoOp op) {
    unsigned long n = ++t_plan.calls[static_cast<int>(op)];
    if (op != t_plan.op || n != t_plan.nth) return false;
    if (t_plan.hook) {
        std::unique_ptr<std::function<void()>> hook(t_plan.hook);
        t_plan.hook = nullptr;
        (*hook)();
        return false;
    }
    errno = t_plan.error;
    return true;
}

std::size_t transfer_size(std::size_t n) { return t_plan.cap != 0 && n > t_plan.cap ? t_plan.cap : n; }

}  // namespace

void set_io_fault(IoOp op, unsigned long nth, int error) {
    reset_plan(t_plan.cap);
    t_plan.op = op;
    t_plan.nth = nth;
    t_plan.error = error;
}

void set_io_hook(IoOp op, unsigned long nth, std::function<void()> hook) {
    set_io_fault(op, nth, 0);
    t_plan.hook = new std::function<void()>(std::move(hook));
}

void clear_io_faults() { reset_plan(0); }

unsigned long io_calls(IoOp op) { return t_plan.calls[static_cast<int>(op)]; }

void set_io_transfer_cap(std::size_t cap) { t_plan.cap = cap; }

bool names_special_file(const char* filename) {
    Stat st;
    return sys_stat(filename, &st) == 0 && !is_reg(st);
}

bool may_write_up_to(std::uint64_t end) {
#ifdef _WIN32
    (void)end;
    return true;
#else
    struct rlimit lim;
    if (getrlimit(RLIMIT_FSIZE, &lim) != 0) return false;
    return lim.rlim_cur == RLIM_INFINITY || end <= static_cast<std::uint64_t>(lim.rlim_cur);
#endif
}

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

bool File::is_regular() {
    Stat st;
    return sys_fstat(fd_, &st) == 0 && is_reg(st);
}

std::int64_t File::size() {
    Stat st;
    return sys_fstat(fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
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
