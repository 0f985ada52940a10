// A contract's own profile, read from a JSON file (doc/profiles.md): the
// base profile it starts from, its class table, its quality level and the
// rules it judges otherwise.
#pragma once

#include "rules.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lidar {

struct ProfileFile {
    std::string name;  // the file's "name", else ""
    Profile base = Profile::usgs_lbs;
    QualityLevel quality_level = QualityLevel::none;  // none: not given
    std::shared_ptr<const ClassTable> classes;         // null: the base profile's
    std::vector<std::pair<const Rule*, Severity>> severities;  // in the file's order
};

// Reads a profile file; false, and why in one line, when it cannot be read
// or is not a profile file.
bool read_profile_file(const std::string& path, ProfileFile& out, std::string& why);
// The same from the file's text.
bool parse_profile(std::string_view text, ProfileFile& out, std::string& why);

// What the profile changes, for the rules table it follows: Markdown, or
// roff for a manual page.
std::string profile_listing(const ProfileFile& p, bool roff);

}  // namespace lidar
