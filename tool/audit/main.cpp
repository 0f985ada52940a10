// Vexholt-audit: which headers of a delivery are stale, and how, at the
// speed of reading the files.
#include "audit.h"
#include "progress.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#ifdef __MINGW32__
// Wildcards are expanded by the start-up code, as for Vexholt.
extern "C" {
int _dowildcard = -1;
}
#endif

namespace {

using namespace audit;
using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "Usage: Vexholt-audit [-j N] [--fix] [--exact] [--format text|tsv|jsonl] [--quiet] PATH...\n"
    "       Vexholt-audit --help | --version\n"
    "\n"
    "Judges the header statistics of LAS files without changing them: every file\n"
    "named, and every regular *.las file under each directory named.\n"
    "\n"
    "  -j, --jobs N     files judged at once (default: the online processors)\n"
    "      --fix        update stale files as Vexholt does\n"
    "      --exact      extents must be bit for bit what Vexholt writes\n"
    "      --format F   text (default), tsv or jsonl, on standard output\n"
    "  -q, --quiet      no progress line and no summary on standard error\n"
    "  -h, --help       this text\n"
    "  -V, --version    the version\n"
    "\n"
    "Exit status: 0 all current or fixed, 1 some stale, 2 some refused or failed,\n"
    "or wrong usage.\n";

[[noreturn]] void usage_error(const char* what) {
    if (what) std::fprintf(stderr, "Vexholt-audit: %s\n", what);
    std::fputs(kUsage, stderr);
    std::exit(2);
}

struct Options {
    unsigned jobs = 0;
    Judging how;
    Format format = Format::text;
    bool quiet = false;
    std::vector<std::string> paths;
};

Options parse(int argc, char* argv[]) {
    static const option kLong[] = {
        {"jobs", required_argument, nullptr, 'j'}, {"fix", no_argument, nullptr, 'f'},
        {"exact", no_argument, nullptr, 'e'},     {"format", required_argument, nullptr, 'F'},
        {"quiet", no_argument, nullptr, 'q'},     {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},   {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "j:qhV", kLong, nullptr)) != -1) {
        switch (c) {
            case 'j': {
                char* end = nullptr;
                unsigned long n = std::strtoul(optarg, &end, 10);
                if (!*optarg || *end || optarg[0] == '-' || n < 1 || n > 4096)
                    usage_error("-j needs a number of jobs from 1 to 4096");
                o.jobs = static_cast<unsigned>(n);
                break;
            }
            case 'f': o.how.fix = true; break;
            case 'e': o.how.exact = true; break;
            case 'F':
                if (!std::strcmp(optarg, "text")) o.format = Format::text;
                else if (!std::strcmp(optarg, "tsv")) o.format = Format::tsv;
                else if (!std::strcmp(optarg, "jsonl")) o.format = Format::jsonl;
                else usage_error("--format is text, tsv or jsonl");
                break;
            case 'q': o.quiet = true; break;
            case 'h': std::fputs(kUsage, stdout); std::exit(0);
            case 'V': std::printf("Vexholt-audit %s\n", VEXHOLT_VERSION); std::exit(0);
            default: usage_error(optopt == 'j' ? "-j needs a number of jobs" : "unknown option");
        }
    }
    for (int i = optind; i < argc; ++i) o.paths.emplace_back(argv[i]);
    if (o.paths.empty()) usage_error("no PATH given");
    if (o.jobs == 0) o.jobs = std::max(1u, std::thread::hardware_concurrency());
    return o;
}

// A name on the progress line cannot move the cursor.
std::string printable(const std::string& s) {
    std::string t = s;
    for (char& c : t)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return t;
}

// Workers take the files in order and hand their results to the printing
// thread, which writes them in order as soon as the next one is there. They
// run at most a window ahead of it, so a slow file holds back only a few
// results in memory.
struct Run {
    const std::vector<Entry>& entries;
    const Options& o;
    std::size_t window;
    Run(const std::vector<Entry>& e, const Options& opts, std::size_t w) : entries(e), o(opts), window(w) {}
    std::mutex m;
    std::condition_variable ready, room;
    std::map<std::size_t, Result> done;
    std::size_t next = 0, printed = 0;
    Progress progress;
};

void work(Run& run) {
    for (;;) {
        std::size_t i;
        {
            std::unique_lock lock(run.m);
            run.room.wait(lock, [&] { return run.next >= run.entries.size() || run.next < run.printed + run.window; });
            if (run.next >= run.entries.size()) return;
            i = run.next++;
            run.progress.current = printable(run.entries[i].path);
        }
        Result r = judge(run.entries[i], run.o.how);
        std::lock_guard lock(run.m);
        ++run.progress.files_done;
        run.progress.bytes_done += r.bytes_read;
        run.done.emplace(i, std::move(r));
        if (i == run.printed) run.ready.notify_one();
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const Options o = parse(argc, argv);
    const Clock::time_point start = Clock::now();
    const std::vector<Entry> entries = collect(o.paths);
    const bool show = !o.quiet && progress_possible();

    std::size_t path_width = 0;
    if (o.format == Format::text)
        for (const Entry& e : entries) path_width = std::max(path_width, display_width(e.path));
    path_width = std::min<std::size_t>(path_width, 48);

    Run run(entries, o, 4 * static_cast<std::size_t>(o.jobs) + 16);
    for (const Entry& e : entries) run.progress.bytes_total += e.size;
    run.progress.files_total = entries.size();

    std::string head = report_head(o.format);
    std::fwrite(head.data(), 1, head.size(), stdout);
    std::size_t count[5] = {};
    std::uint64_t bytes = 0;
    int status = 0;
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    // Where the report goes to the same terminal, the line is taken away
    // for each result and drawn again after it.
    const bool shared = show && stdout_is_terminal();
    Clock::time_point drawn{};
    auto draw = [&] {  // run.m held once workers run
        run.progress.seconds = elapsed();
        draw_progress(run.progress);
        drawn = Clock::now();
    };
    // Drawn before any work starts, so a person sees at once what is ahead.
    if (show) draw();
    const unsigned jobs = static_cast<unsigned>(std::min<std::size_t>(o.jobs, std::max<std::size_t>(entries.size(), 1)));
    std::vector<std::thread> workers;
    for (unsigned k = 0; k < jobs; ++k) workers.emplace_back(work, std::ref(run));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Result r;
        {
            std::unique_lock lock(run.m);
            while (run.done.find(i) == run.done.end()) {
                if (show && Clock::now() - drawn >= std::chrono::milliseconds(100)) draw();
                run.ready.wait_for(lock, std::chrono::milliseconds(100));
            }
            auto it = run.done.find(i);
            r = std::move(it->second);
            run.done.erase(it);
            run.printed = i + 1;
        }
        run.room.notify_all();
        ++count[static_cast<int>(r.status)];
        bytes += r.bytes_read;
        status = std::max(status, exit_status_of(r.status));
        std::string line = report_line(r, o.format, path_width);
        if (shared) clear_progress();
        std::fwrite(line.data(), 1, line.size(), stdout);
        if (shared || (show && Clock::now() - drawn >= std::chrono::milliseconds(100))) {
            std::fflush(stdout);
            std::lock_guard lock(run.m);
            draw();
        }
    }
    for (std::thread& t : workers) t.join();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "Vexholt-audit: cannot write the report: %s\n", std::strerror(errno));
        status = 2;
    }
    if (!o.quiet) {
        if (show) clear_progress();
        double s = elapsed();
        std::fprintf(stderr,
                     "Vexholt-audit: %zu %s: %zu current, %zu stale, %zu fixed, %zu refused, %zu error; "
                     "%s read in %.2f s, %.2f GB/s\n",
                     entries.size(), entries.size() == 1 ? "file" : "files", count[0], count[1], count[2], count[3], count[4],
                     human_bytes(static_cast<double>(bytes)).c_str(), s, s > 0 ? static_cast<double>(bytes) / s / 1e9 : 0.0);
    }
    return status;
}
