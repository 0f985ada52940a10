#include "audit.h"

#include "las_validate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <unordered_set>
#include <utility>

#ifdef _WIN32
#include <filesystem>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace audit {

namespace {

using lidar::FileState;

std::string reason_of(int err) { return std::generic_category().message(err); }

#ifdef _WIN32
constexpr char kSep = '\\';
namespace fs = std::filesystem;

// Names as the file layer opens them: in the ANSI code page (UTF-8 where the
// program's manifest asks for it).
fs::path from_native(const std::string& s) {
    int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return fs::path(w);
}
std::string to_native(const fs::path& p) {
    const std::wstring& w = p.native();
    int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}
#else
constexpr char kSep = '/';
#endif

// A name in a directory, and whether the directory already says it is no
// directory (Linux's d_type), so that a name the extension rule skips needs
// no look of its own.
struct Name {
    std::string name;
    bool not_dir = false;
    bool regular = false;  // d_type says a regular file
    bool operator<(const Name& o) const { return name < o.name; }
};

void append_name(std::string& base, const std::string& name) {
    if (!base.empty() && base.back() != '/' && base.back() != kSep) base += kSep;
    base += name;
}

// Windows has no descriptor for a directory that files can be opened
// relative to: there the walk works with whole paths (and so a directory
// swapped after the walk is not noticed), bounded by the system's path length.
#ifdef _WIN32
std::string name_in(const Dir& d, const std::string& name) {
    std::string p = d.path;
    append_name(p, name);
    return p;
}

std::shared_ptr<Dir> open_dir(const Dir* parent, const std::string& name, const FileState&, int& err) {
    auto d = std::make_shared<Dir>();
    d->path = parent ? name_in(*parent, name) : name;
    err = 0;
    return d;
}

int list(const Dir& d, std::vector<Name>& names) {
    std::error_code ec;
    fs::directory_iterator it(from_native(d.path), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) names.push_back({to_native(it->path().filename())});
    return ec ? (ec.value() ? ec.value() : EIO) : 0;
}
#else
std::string name_in(const Dir&, const std::string& name) { return name; }

std::shared_ptr<Dir> open_dir(const Dir* parent, const std::string& name, const FileState& found, int& err) {
    auto d = std::make_shared<Dir>();
    // Below a directory the walk holds, a link met on the way is never
    // entered; the directory named by the user is opened as named.
    int fd;
    do fd = ::openat(parent ? parent->fd : AT_FDCWD, name.c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (parent ? O_NOFOLLOW : 0));
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        err = errno;
        return nullptr;
    }
    d->fd = fd;
    FileState now;
    if (lidar::state_of(fd, now) != 0 || !lidar::same_file(now, found)) {
        err = ENOENT;  // replaced between its examination and its opening
        return nullptr;
    }
    err = 0;
    return d;
}

int list(const Dir& d, std::vector<Name>& names) {
    int fd = ::fcntl(d.fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno;
    DIR* dp = ::fdopendir(fd);
    if (dp == nullptr) {
        int err = errno;
        ::close(fd);
        return err;
    }
    ::rewinddir(dp);
    int err = 0;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dp);
        if (e == nullptr) {
            err = errno;
            break;
        }
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back({e->d_name, e->d_type != DT_UNKNOWN && e->d_type != DT_DIR, e->d_type == DT_REG});
    }
    ::closedir(dp);
    return err;
}

// The parent of a directory whose descriptor was let go, found again
// through "..": it must be the directory the walk came from.
std::shared_ptr<Dir> reopen_parent(const Dir& child, const FileState& parent, int& err) {
    FileState again;
    if ((err = lidar::state_of(lidar::Where{child.fd, "..", true}, again)) != 0) return nullptr;
    if (!lidar::same_file(again, parent)) {
        err = ENOENT;
        return nullptr;
    }
    return open_dir(&child, "..", parent, err);
}
#endif

int stat_in(const Dir& d, const std::string& name, bool follow, FileState& st) {
    const std::string n = name_in(d, name);
    return lidar::state_of(lidar::Where{d.fd, n.c_str(), follow}, st);
}

FileKey key_of(const FileState& st) { return {st.dev, st.ino}; }

// Everything met so far, so nothing is judged, fixed or walked twice.
struct Seen {
    std::unordered_set<FileKey, FileKeyHash> files, dirs;
};

constexpr const char* kSameDir = "the same directory as one walked before under another name: its files are reported there";

// The directories a walk descends through. Only the innermost ones keep
// their descriptors: a chain deeper than the process may hold descriptors
// gives each back and finds it again through "..".
constexpr std::size_t kOpenDirs = 128;

struct Frame {
    std::shared_ptr<Dir> dir;
    FileState id;
    std::vector<Name> names;
    std::size_t next = 0;
    std::size_t path_len = 0;
};

// The module's own rule of which names the audit judges.
bool judged_name(const std::string& name) { return lidar::has_las_name(name.c_str()); }

Entry error_entry(const std::string& path, const std::string& why) {
    Entry e;
    e.path = path;
    e.walk_error = why;
    return e;
}

Entry duplicate_entry(const std::string& path, const char* why) {
    Entry e;
    e.path = path;
    e.duplicate = why;
    return e;
}


// A name in dir that is no directory, as the walk judges it from found,
// its own state: the entry, an error entry, or nothing for what is not a
// regular file nor a link to one.
std::optional<Entry> file_entry(std::shared_ptr<const Dir> dir, const std::string& leaf, const std::string& path,
                                FileState found) {
    Entry e;
    if (found.link) {
        // A link is judged by what it leads to, but a link to a directory
        // is not entered: it may lead back up or out of the delivery.
        FileState target;
        if (int err = lidar::state_of(lidar::Where{dir->fd, leaf.c_str(), true}, target); err != 0)
            return error_entry(path, "Cannot follow the link " + path + ": " + reason_of(err));
        if (!target.regular) return std::nullopt;
        e.link = true;
        found = target;
    } else if (!found.regular) {
        return std::nullopt;
    }
    e.path = path;
    e.dir = std::move(dir);
    e.leaf = leaf;
    e.identified = true;
    e.found = found;
    return e;
}

// Walks the directory root (at path, as st) depth first, each directory's
// names in byte order. false once emit asks to stop.
bool walk_tree(std::shared_ptr<Dir> root, const FileState& st, std::string path, Seen& seen,
               const std::function<bool(Entry&&)>& emit, bool examine_each) {
    std::vector<Frame> stack;
    auto enter = [&](std::shared_ptr<Dir> d, const FileState& id) {
        Frame f;
        // Names first, then sorted, so the report's order is the same
        // wherever it runs; the directory's own order is the file system's.
        if (int err = list(*d, f.names); err != 0)
            return emit(error_entry(path, "Cannot read the directory " + path + ": " + reason_of(err)));
        std::sort(f.names.begin(), f.names.end());
        f.dir = std::move(d);
        f.id = id;
        f.path_len = path.size();
        if (stack.size() >= kOpenDirs) stack[stack.size() - kOpenDirs].dir.reset();
        stack.push_back(std::move(f));
        return true;
    };
    if (!enter(std::move(root), st)) return false;
    while (!stack.empty()) {
        if (stack.back().next == stack.back().names.size()) {
            std::shared_ptr<Dir> child = std::move(stack.back().dir);
            stack.pop_back();
            if (stack.empty()) break;
            Frame& parent = stack.back();
            path.resize(parent.path_len);
#ifndef _WIN32
            if (!parent.dir) {
                int err = ENOENT;
                if (child) parent.dir = reopen_parent(*child, parent.id, err);
                if (!parent.dir) {
                    if (!emit(error_entry(path, "Cannot return to the directory " + path +
                                                    ", which moved during the walk: the rest of it is not judged")))
                        return false;
                    parent.next = parent.names.size();
                }
            }
#endif
            continue;
        }
        Frame& f = stack.back();
        const Name listed = std::move(f.names[f.next++]);
        // Neither a directory nor a name the audit judges: not looked at.
        if (listed.not_dir && !judged_name(listed.name)) continue;
        const std::string& name = listed.name;
        path.resize(f.path_len);
        append_name(path, name);
        if (!examine_each && listed.regular) {
            Entry e;
            e.path = path;
            e.dir = f.dir;
            e.leaf = name_in(*f.dir, name);
            e.listed = true;
            if (!emit(std::move(e))) return false;
            continue;
        }
        FileState found;
        if (int err = stat_in(*f.dir, name, false, found); err != 0) {
            if (err == ENOENT) continue;  // gone since the directory was read
            if (!emit(error_entry(path, "Cannot examine " + path + ": " + reason_of(err)))) return false;
            continue;
        }
        if (found.directory) {
            if (!seen.dirs.insert(key_of(found)).second) {
                if (!emit(duplicate_entry(path, kSameDir))) return false;
                continue;
            }
            int err = 0;
            std::shared_ptr<Dir> sub = open_dir(f.dir.get(), name, found, err);
            if (!sub) {
                if (!emit(error_entry(path, "Cannot read the directory " + path + ": " + reason_of(err))))
                    return false;
                continue;
            }
            if (!enter(std::move(sub), found)) return false;
            continue;
        }
        if (!judged_name(name)) continue;
        std::optional<Entry> e = file_entry(f.dir, name_in(*f.dir, name), path, found);
        if (!e) continue;
        if (examine_each && e->identified && !seen.files.insert(key_of(e->found)).second) e->duplicate = kSameFile;
        if (!emit(std::move(*e))) return false;
    }
    return true;
}

}  // namespace

Dir::~Dir() {
#ifndef _WIN32
    if (fd >= 0) ::close(fd);
#endif
}

std::optional<Entry> examine(const Entry& listed) {
    FileState found;
    if (int err = lidar::state_of(lidar::Where{listed.dir->fd, listed.leaf.c_str(), false}, found); err != 0) {
        if (err == ENOENT) return std::nullopt;  // gone since the directory was read
        return error_entry(listed.path, "Cannot examine " + listed.path + ": " + reason_of(err));
    }
    // A directory since: the walk has gone past where it would have entered.
    if (found.directory) return std::nullopt;
    return file_entry(listed.dir, listed.leaf, listed.path, found);
}

const char* const kSameFile = "the same file as one reported before under another name: judged there";

void walk(const std::vector<std::string>& paths, const std::function<bool(Entry&&)>& emit, bool examine_each) {
    Seen seen;
    for (const std::string& p : paths) {
        FileState st;
        const int err = lidar::state_of(lidar::Where{lidar::kWorkingDir, p.c_str(), true}, st);
        // A directory named on the command line is walked even through a
        // link: the user chose it.
        if (err == 0 && st.directory) {
            if (!seen.dirs.insert(key_of(st)).second) {
                if (!emit(duplicate_entry(p, kSameDir))) return;
                continue;
            }
            int open_err = 0;
            std::shared_ptr<Dir> d = open_dir(nullptr, p, st, open_err);
            if (!d) {
                if (!emit(error_entry(p, "Cannot read the directory " + p + ": " + reason_of(open_err)))) return;
                continue;
            }
            if (!walk_tree(std::move(d), st, p, seen, emit, examine_each)) return;
            continue;
        }
        // Anything else named is judged as named, whatever its name: the
        // judgement says why it is refused.
        Entry e;
        e.path = p;
        e.leaf = p;
        e.named = true;
        if (err == 0 && st.regular) {
            e.identified = true;
            e.found = st;
            if (examine_each && !seen.files.insert(key_of(st)).second) e.duplicate = kSameFile;
        }
        if (!emit(std::move(e))) return;
    }
}

std::vector<Entry> collect(const std::vector<std::string>& paths) {
    std::vector<Entry> out;
    walk(paths, [&](Entry&& e) {
        out.push_back(std::move(e));
        return true;
    });
    return out;
}

}  // namespace audit
