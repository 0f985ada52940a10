#include "audit.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace audit {

namespace {

// Names as the file layer opens them: in the ANSI code page on Windows
// (UTF-8 where the program's manifest asks for it), bytes elsewhere.
#ifdef _WIN32
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
fs::path from_native(const std::string& s) { return fs::path(s); }
std::string to_native(const fs::path& p) { return p.string(); }
#endif

bool has_las_suffix(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".las") == 0;
}

std::uint64_t size_of(const fs::path& p) {
    std::error_code ec;
    std::uintmax_t n = fs::file_size(p, ec);
    return ec ? 0 : static_cast<std::uint64_t>(n);
}

void walk(const fs::path& dir, std::vector<Entry>& out) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    // Names first, then sorted, so the report's order is the same wherever
    // it runs; the iterator's order is the file system's.
    std::vector<std::pair<fs::path, fs::file_type>> names;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        fs::file_type link_type = it->symlink_status(ignored).type();
        // A link is judged by what it leads to, but a link to a directory
        // is not entered: it may lead back up or out of the delivery.
        fs::file_type type = link_type == fs::file_type::symlink ? it->status(ignored).type() : link_type;
        if (link_type == fs::file_type::symlink && type == fs::file_type::directory) continue;
        names.emplace_back(it->path().filename(), type);
    }
    if (ec) {
        out.push_back({to_native(dir), 0, "Cannot read the directory " + to_native(dir) + ": " + ec.message()});
        return;
    }
    std::sort(names.begin(), names.end(),
              [](const auto& a, const auto& b) { return to_native(a.first) < to_native(b.first); });
    for (const auto& [name, type] : names) {
        fs::path p = dir / name;
        if (type == fs::file_type::directory) walk(p, out);
        else if (type == fs::file_type::regular && has_las_suffix(to_native(name)))
            out.push_back({to_native(p), size_of(p), {}});
    }
}

}  // namespace

std::vector<Entry> collect(const std::vector<std::string>& paths) {
    std::vector<Entry> out;
    for (const std::string& p : paths) {
        std::error_code ec;
        // A directory named on the command line is walked even through a
        // link: the user chose it.
        if (fs::is_directory(from_native(p), ec)) walk(from_native(p), out);
        else out.push_back({p, size_of(from_native(p)), {}});
    }
    return out;
}

}  // namespace audit
