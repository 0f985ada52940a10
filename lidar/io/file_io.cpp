#include "file_io.h"

#include "io_fault.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>

#include <sys/stat.h>
#include <algorithm>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <share.h>
#include <windows.h>
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

std::int64_t filetime_ns(const FILETIME& t) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 100;
}
// Volume and file index stand for device and inode.
bool describe(HANDLE h, FileState& st) {
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) return false;
    st.dev = info.dwVolumeSerialNumber;
    st.ino = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    st.nlink = info.nNumberOfLinks;
    st.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    st.mtime_ns = filetime_ns(info.ftLastWriteTime);
    st.ctime_ns = 0;
    st.link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    st.directory = !st.link && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    st.regular = !st.link && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                 GetFileType(h) == FILE_TYPE_DISK;
    return true;
}
int sys_fstate(int fd, FileState& st) {
    return describe(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), st) ? 0 : EIO;
}
int sys_state(const Where& w, FileState& st) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (w.follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE h = CreateFileA(w.name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    bool ok = describe(h, st);
    CloseHandle(h);
    return ok ? 0 : EIO;
}
// No descriptor that only names a file: the open itself is the check, and
// what it opened is judged at once.
int open_checked(const Where& w, bool update, int& fd, FileState& st) {
    FileState named;
    fd = -1;
    if (sys_state(w, named) == 0 && !named.regular) return kNotRegular;
    fd = sys_open(w.name, update ? _O_RDWR : _O_RDONLY);
    // A name Windows cannot hold (a tab, a colon) names nothing that exists.
    if (fd < 0) return errno == EINVAL ? ENOENT : errno;
    if (sys_fstate(fd, st) == 0 && st.regular) return 0;
    _close(fd);
    fd = -1;
    return kNotRegular;
}
#else
int sys_openat(int dir, const char* name, int flags) {
    int fd;
    do fd = ::openat(dir, name, flags | O_CLOEXEC);
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

void describe(const struct stat& s, FileState& st) {
    st.dev = static_cast<std::uint64_t>(s.st_dev);
    st.ino = static_cast<std::uint64_t>(s.st_ino);
    st.nlink = static_cast<std::uint64_t>(s.st_nlink);
    st.size = static_cast<std::int64_t>(s.st_size);
    st.mtime_ns = static_cast<std::int64_t>(s.st_mtim.tv_sec) * 1000000000 + s.st_mtim.tv_nsec;
    st.ctime_ns = static_cast<std::int64_t>(s.st_ctim.tv_sec) * 1000000000 + s.st_ctim.tv_nsec;
    st.regular = S_ISREG(s.st_mode);
    st.directory = S_ISDIR(s.st_mode);
    st.link = S_ISLNK(s.st_mode);
}
int sys_fstate(int fd, FileState& st) {
    struct stat s;
    if (::fstat(fd, &s) != 0) return errno;
    describe(s, st);
    return 0;
}
int sys_state(const Where& w, FileState& st) {
    struct stat s;
    if (::fstatat(w.dir == kWorkingDir ? AT_FDCWD : w.dir, w.name, &s, w.follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    describe(s, st);
    return 0;
}

// Regular files read and write as always with these; a FIFO opened without
// a writer reads as empty at once, a lease or mandatory lock is an error
// instead of a wait, and a terminal never becomes the controlling one.
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY;

// What the name leads to is judged before anything is opened for real: an
// O_PATH descriptor reaches the inode without opening it (no device driver,
// FIFO or lease sees it), and that very inode is then reopened through
// /proc. Where /proc is missing, the name is opened with the flags above
// and must still be the inode judged.
int open_checked(const Where& w, bool update, int& fd, FileState& opened) {
    const int dir = w.dir == kWorkingDir ? AT_FDCWD : w.dir;
    // A name the walk has just seen as a regular file, no link: one open
    // that cannot follow a link or wait (a FIFO opens empty at once), and
    // what it opened judged by its descriptor. Two opens and a stat less a
    // tile; a device put there since the walk is closed unread. Any
    // failure goes the careful way below, which then says why as always.
    if (w.plain && !update) {
        fd = sys_openat(dir, w.name, O_RDONLY | kOpenFlags | O_NOFOLLOW);
        if (fd >= 0) {
            int err = sys_fstate(fd, opened);
            if (err == 0 && !opened.regular) err = kNotRegular;
            if (err == 0) return 0;
            sys_close(fd);
            fd = -1;
            return err;
        }
        if (errno == ENOENT) return ENOENT;
    }
    const int nofollow = w.follow ? 0 : O_NOFOLLOW;
    const int access = (update ? O_RDWR : O_RDONLY) | kOpenFlags | nofollow;
    fd = -1;
    FileState judged;
#ifdef O_PATH
    int path = sys_openat(dir, w.name, O_PATH | nofollow);
    if (path < 0) return errno;
    int err = sys_fstate(path, judged);
    if (err == 0 && !judged.regular) err = kNotRegular;
    if (err == 0) {
        char proc[32];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", path);
        fd = sys_openat(AT_FDCWD, proc, access & ~O_NOFOLLOW);
        if (fd < 0 && errno == ENOENT) fd = sys_openat(dir, w.name, access);
        if (fd < 0) err = errno;
    }
    sys_close(path);
    if (err != 0) return err;
#else
    fd = sys_openat(dir, w.name, access);
    if (fd < 0) return errno;
    if (sys_fstate(fd, judged) != 0 || !judged.regular) {
        sys_close(fd);
        fd = -1;
        return kNotRegular;
    }
#endif
    if (sys_fstate(fd, opened) != 0 || !opened.regular || !same_file(opened, judged)) {
        sys_close(fd);
        fd = -1;
        return kNotRegular;
    }
    return 0;
}
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
    bool shared = false;  // other threads count in it too: under g_shared
};
static_assert(std::is_trivially_destructible_v<FaultPlan>);
// Per thread: tests plan faults for the update they run on their own thread,
// and other threads' checks never race on the counts.
thread_local FaultPlan t_plan;
// The plan this thread counts in: its own, or the one of the thread it
// works for.
thread_local FaultPlan* t_active = nullptr;
std::mutex g_shared;

FaultPlan& active_plan() { return t_active ? *t_active : t_plan; }

// A fresh plan keeping the transfer cap, the previous hook released.
void reset_plan(std::size_t cap) {
    delete t_plan.hook;
    t_plan = FaultPlan{};
    t_plan.cap = cap;
}

// Counts the call; true when it is the one planned to fail (errno is then
// set). A hook planned for it runs first.
bool injected(IoOp op) {
    FaultPlan& plan = active_plan();
    std::unique_lock<std::mutex> lock;
    if (plan.shared) lock = std::unique_lock(g_shared);
    unsigned long n = ++plan.calls[static_cast<int>(op)];
    if (op != plan.op || n != plan.nth) return false;
    if (plan.hook) {
        std::unique_ptr<std::function<void()>> hook(plan.hook);
        plan.hook = nullptr;
        // A hook may do file work of its own, counted in the same plan.
        if (lock.owns_lock()) lock.unlock();
        (*hook)();
        return false;
    }
    errno = plan.error;
    return true;
}

std::size_t transfer_size(std::size_t n) {
    const std::size_t cap = active_plan().cap;
    return cap != 0 && n > cap ? cap : n;
}

// Reads until n bytes are in buf or the file ends, retrying interruptions;
// read(p, k, done) transfers up to k bytes to p, done bytes in. The count,
// or -1 on error.
template <class Read>
std::int64_t read_until(void* buf, std::size_t n, Read read) {
    auto* p = static_cast<unsigned char*>(buf);
    std::size_t got = 0;
    while (got < n) {
        long long r = injected(IoOp::read) ? -1 : read(p + got, transfer_size(n - got), got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<std::int64_t>(got);
}

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

IoPlanShare share_io_plan() {
    FaultPlan& plan = active_plan();
    std::lock_guard lock(g_shared);
    plan.shared = true;
    return IoPlanShare{&plan};
}

void adopt_io_plan(IoPlanShare share) { t_active = static_cast<FaultPlan*>(share.plan); }

int state_of(const Where& w, FileState& st) { return sys_state(w, st); }
int state_of(int fd, FileState& st) { return sys_fstate(fd, st); }

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
    int fd = sys_openat(AT_FDCWD, filename, O_RDONLY | kOpenFlags);
    if (fd < 0) return false;
    sys_close(fd);
    return true;
#endif
}

File::~File() {
    if (fd_ >= 0) sys_close(fd_);
}

bool File::open(const Where& w, bool update) {
    if (injected(update ? IoOp::open_update : IoOp::open_read)) {
        error_ = errno;
        return false;
    }
    error_ = open_checked(w, update, fd_, opened_);
    return fd_ >= 0;
}

bool File::open_read(const Where& w) { return open(w, false); }
bool File::open_update(const Where& w) { return open(w, true); }

bool File::failed() {
    error_ = errno != 0 ? errno : EIO;
    return false;
}

std::int64_t File::pread_full(std::uint64_t offset, void* buf, std::size_t n) {
#ifdef _WIN32
    return read_at(offset, buf, n);
#else
    const std::int64_t got = read_until(buf, n, [&](unsigned char* p, std::size_t k, std::size_t done) -> long long {
        if (offset + done > static_cast<std::uint64_t>(LLONG_MAX)) {
            errno = EOVERFLOW;
            return -1;
        }
        return ::pread(fd_, p, k, static_cast<off_t>(offset + done));
    });
    return got >= 0 || failed() ? got : -1;
#endif
}

std::int64_t File::read_full(void* buf, std::size_t n) {
    const std::int64_t got =
        read_until(buf, n, [&](unsigned char* p, std::size_t k, std::size_t) { return sys_read(fd_, p, k); });
    return got >= 0 || failed() ? got : -1;
}

bool File::state(FileState& st) { return sys_fstate(fd_, st) == 0; }

bool File::seek(std::uint64_t offset) { return (!injected(IoOp::seek) && sys_seek(fd_, offset)) || failed(); }

bool File::write_all(const void* buf, std::size_t n) {
    auto* p = static_cast<const unsigned char*>(buf);
    while (n > 0) {
        long long w = injected(IoOp::write) ? -1 : sys_write(fd_, p, transfer_size(n));
        if (w < 0 && errno == EINTR) continue;
        if (w == 0) errno = EIO;
        if (w <= 0) return failed();
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool File::sync() { return (!injected(IoOp::sync) && sys_sync(fd_)) || failed(); }

bool File::close() {
    int fd = fd_;
    fd_ = -1;
    bool closed = sys_close(fd) == 0;
    return (!injected(IoOp::close) && closed) || failed();
}

void File::advise_sequential() {
#if defined(POSIX_FADV_SEQUENTIAL) && !defined(_WIN32)
    (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

}  // namespace lidar
