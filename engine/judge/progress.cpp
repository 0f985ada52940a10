#include "progress.h"

#include "audit.h"

#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace audit {

namespace {

std::string duration(double s) {
    long t = static_cast<long>(s + 0.5);
    char buf[32];
    if (t >= 3600) std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
    else std::snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
    return buf;
}

// Cut at a character boundary so a name in UTF-8 is not split.
std::string cut(const std::string& s, std::size_t width) {
    std::size_t cols = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xc0) == 0x80) continue;
        if (cols++ == width) return s.substr(0, i);
    }
    return s;
}

std::size_t terminal_width() {
#ifndef _WIN32
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
#endif
    return 80;
}

}  // namespace

std::string human_bytes(double bytes) {
    static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    int u = 0;
    while (bytes >= 1000 && u < 5) {
        bytes /= 1000;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[u]);
    return buf;
}

std::string progress_text(const Progress& p, std::size_t width) {
    std::string t = std::to_string(p.files_done) + "/" + std::to_string(p.files_total) + (p.walking ? "+" : "") +
                    " files  " +
                    human_bytes(static_cast<double>(p.bytes_done));
    double rate = p.seconds > 0 ? static_cast<double>(p.bytes_done) / p.seconds : 0;
    if (rate > 0) {
        t += "  " + human_bytes(rate) + "/s";
        double left = p.bytes_total > p.bytes_done ? static_cast<double>(p.bytes_total - p.bytes_done) / rate : 0;
        t += "  " + duration(left) + " left";
    }
    // Escaped as in the report: a control in a name (ESC, or a C1 CSI or
    // OSC) would otherwise reach the terminal as a command.
    std::string names;
    for (const std::string& f : p.in_flight)
        if (!f.empty()) names += (names.empty() ? "" : ", ") + escape_text(f);
    if (!names.empty()) t += "  " + names;
    return cut(t, width);
}

bool progress_possible() {
#ifdef _WIN32
    // The console would need its escape sequences switched on first.
    return false;
#else
    const char* term = std::getenv("TERM");
    return isatty(STDERR_FILENO) && !(term && std::string(term) == "dumb");
#endif
}

bool stdout_is_terminal() {
#ifdef _WIN32
    return false;
#else
    return isatty(STDOUT_FILENO);
#endif
}

void draw_progress(const Progress& p) {
    // One column short of the width, so the terminal never wraps the line.
    std::string line = "\r";
    line += progress_text(p, terminal_width() - 1);
    line += "\x1b[K";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void clear_progress() {
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
}

}  // namespace audit
