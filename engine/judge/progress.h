// The progress line on a terminal's standard error, redrawn in place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace audit {

struct Progress {
    std::size_t files_done = 0, files_total = 0;
    std::uint64_t bytes_done = 0, bytes_total = 0;
    double seconds = 0;
    std::vector<std::string> in_flight;  // the file each worker judges, "" when idle
    bool walking = false;  // more files may still be found
};

// Whether standard error is a terminal that can show the line.
bool progress_possible();
bool stdout_is_terminal();
// The line as drawn, at most width columns.
std::string progress_text(const Progress& p, std::size_t width);
void draw_progress(const Progress& p);
// Removes the line, leaving the cursor at the start of an empty line.
void clear_progress();

// Byte counts for people: 1.5 GB, 36.2 kB.
std::string human_bytes(double bytes);

}  // namespace audit
