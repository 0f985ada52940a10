#include "audit.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace audit {

namespace {

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
    std::vector<std::pair<std::string, fs::file_type>> names;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        fs::file_type link_type = it->symlink_status(ignored).type();
        // A link is judged by what it leads to, but a link to a directory
        // is not entered: it may lead back up or out of the delivery.
        fs::file_type type = link_type == fs::file_type::symlink ? it->status(ignored).type() : link_type;
        if (link_type == fs::file_type::symlink && type == fs::file_type::directory) continue;
        names.emplace_back(it->path().filename().string(), type);
    }
    if (ec) {
        out.push_back({dir.string(), 0, "Cannot read the directory " + dir.string() + ": " + ec.message()});
        return;
    }
    std::sort(names.begin(), names.end());
    for (const auto& [name, type] : names) {
        fs::path p = dir / name;
        if (type == fs::file_type::directory) walk(p, out);
        else if (type == fs::file_type::regular && has_las_suffix(name)) out.push_back({p.string(), size_of(p), {}});
    }
}

}  // namespace

std::vector<Entry> collect(const std::vector<std::string>& paths) {
    std::vector<Entry> out;
    for (const std::string& p : paths) {
        std::error_code ec;
        // A directory named on the command line is walked even through a
        // link: the user chose it.
        if (fs::is_directory(p, ec)) walk(fs::path(p), out);
        else out.push_back({p, size_of(p), {}});
    }
    return out;
}

}  // namespace audit
