// The audit as one run: a walking thread finds the files, worker threads
// judge them, and the calling thread writes the results in order. Each runs
// at most a bounded distance ahead of the next, so memory does not grow
// with the delivery and a slow file holds back only a few results.
#include "audit.h"
#include "progress.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace audit {

namespace {

using Clock = std::chrono::steady_clock;

// The signal that asked the run to stop; a lock-free atomic is safe to set
// from a handler.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
extern "C" void on_signal(int sig) { g_signal.store(sig); }

void catch_signals() {
    g_signal.store(0);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
#ifndef _WIN32
    // A reader that went away, or a file-size limit reached, is an error to
    // report, not a silent death with half a line written.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

// A standard stream closed when the run starts is held by a descriptor
// that fails every write: otherwise the next file opened takes its number,
// and a LAS file would receive the report.
void hold_closed_streams() {
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int held = open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            close(held);
        }
    }
#endif
}

// Whole lines, in one call each batch: a batch never exceeds what a pipe
// takes atomically unless one line does, so no reader ever sees half a line.
constexpr std::size_t kBatch = 4096;

// Takes n bytes written last off a regular file, so a write that failed
// part-way (a full disk, a file-size limit) leaves no half line. A pipe's
// reader may have them already: nothing to undo there.
void take_back(std::size_t n) {
#ifndef _WIN32
    struct stat st;
    if (n == 0 || fstat(1, &st) != 0 || !S_ISREG(st.st_mode)) return;
    const off_t at = lseek(1, 0, SEEK_CUR);
    if (at < static_cast<off_t>(n) || ftruncate(1, at - static_cast<off_t>(n)) != 0) return;
    lseek(1, at - static_cast<off_t>(n), SEEK_SET);
#else
    (void)n;
#endif
}

// Writes s, whole lines, to standard output: how many of its bytes are out
// as whole lines, all of them unless a write failed (errno says why).
std::size_t write_out(const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const std::size_t n = s.size() - done;
#ifdef _WIN32
        int w = _write(1, s.data() + done, static_cast<unsigned>(std::min<std::size_t>(n, 1 << 30)));
#else
        ssize_t w = ::write(1, s.data() + done, n);
#endif
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            const int error = errno;
            const std::size_t nl = done ? s.rfind('\n', done - 1) : std::string::npos;
            const std::size_t whole = nl == std::string::npos ? 0 : nl + 1;
            take_back(done - whole);
            errno = error;
            return whole;
        }
        done += static_cast<std::size_t>(w);
    }
    return done;
}

// Whether a line of up to `line` bytes written now can still reach the
// report: standard output open for writing, a pipe's reader still there,
// room for it under a file-size limit. What a full disk or a reader about
// to go says only when written to.
bool output_takes(std::size_t line) {
#ifndef _WIN32
    const int flags = fcntl(1, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return false;
    pollfd p{1, POLLOUT, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
    struct stat st;
    if (fstat(1, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t at = flags & O_APPEND ? st.st_size : lseek(1, 0, SEEK_CUR);
        if (at >= 0 && !lidar::may_write_up_to(static_cast<std::uint64_t>(at) + line)) return false;
    }
#else
    (void)line;
#endif
    return true;
}

// A result between the worker that judged it and the printing thread.
struct Slot {
    Result result;
    bool done = false;  // judged, not yet taken for printing
};

struct Shared {
    const Options& o;
    std::atomic<bool> no_more_fixes{false};
    Judging how;  // o.how, told when fixing must stop
    std::atomic<std::uint64_t> bytes_read{0};
    // Workers left without a file to judge: a large file still being read
    // borrows them.
    std::atomic<int> spare{0};
    explicit Shared(const Options& opts) : o(opts), how(opts.how) {
        how.no_more_fixes = &no_more_fixes;
        how.bytes_read = &bytes_read;
        how.spare = &spare;
    }
    // Whether the walk examines each file; if not, the printing thread
    // tells files met twice apart (see walk).
    bool examine_each = true;

    // Everything below is the lock's. The printing thread waits on ready,
    // idle workers on work, the walker and the fixes on moved (the
    // printing moved on).
    std::mutex m;
    std::condition_variable ready, work, moved;
    bool started = false;  // every thread exists: work may begin
    bool stop = false;     // start nothing new
    std::string fatal;     // why the run cannot go on
    // Two rings indexed by the place in report order: the entry found at k
    // waits in entries until a worker takes it, its result in slots until
    // it is printed. found - printed <= entries.size() and next - printed
    // <= slots.size() bound memory and how far anything runs ahead.
    std::vector<Entry> entries;
    std::vector<Slot> slots;
    std::size_t found = 0, next = 0, printed = 0;
    bool walk_done = false;
    std::size_t waiting = 0;  // workers waiting on work
    std::size_t hungry = 0;   // of them, for the walker
    std::size_t width = 0;   // widest path among the first entries.size()
    Progress progress;
    // Results, in report order, whose lines are out; a fix waits until
    // every line before its file's is.
    std::size_t written = 0;
    bool printing_done = false;
    // The longest line so far, or a guess before: the room a fix's line
    // needs under a file-size limit.
    std::size_t longest = 512;

    // Nothing new is started once a signal came, even before the printing
    // thread has seen it.
    bool stopping() const { return stop || g_signal.load() != 0; }

    void halt(const std::string& why) {
        if (fatal.empty()) fatal = why;
        stop = true;
        ready.notify_all();
        work.notify_all();
        moved.notify_all();
    }

    // The printing thread waits for a batch of results, not each one; it
    // is woken at once when the result it waits for holds up a thread.
    void result_needed() {
        if (slots[printed % slots.size()].done) ready.notify_one();
    }

    // Whether the file at `at` in report order may be fixed now. Only when
    // the lines before it are written and the report still takes lines:
    // then a fix whose line cannot follow is one at most, and it is named.
    bool may_fix(std::size_t at) {
        std::unique_lock lock(m);
        // Without lines (--summary-only) there is nothing to wait for.
        if (!o.summary_only) {
            result_needed();
            moved.wait(lock, [&] { return written >= at || printing_done || !fatal.empty() || no_more_fixes.load(); });
        }
        if ((!o.summary_only && written < at) || !fatal.empty() || no_more_fixes.load()) return false;
        const std::size_t line = longest;
        lock.unlock();
        if (output_takes(line)) return true;
        no_more_fixes.store(true);
        return false;
    }
};

// The walker wakes for room for this many entries, a worker for this many
// results, not for each.
constexpr std::size_t kHandOff = 32;
constexpr std::size_t kRoom = 8;

void walker(Shared& s) {
    std::unique_lock lock(s.m);
    try {
        s.moved.wait(lock, [&] { return s.started || s.stop; });
        lock.unlock();
        const std::size_t ring = s.entries.size();
        // The text report's column width, from the first entries, measured
        // outside the lock.
        const bool text = s.o.format == Format::text && !s.o.summary_only;
        std::size_t emitted = 0;
        walk(s.o.paths, [&](Entry&& e) {
            const std::size_t width = text && emitted++ < ring ? path_columns(e.path) : 0;
            lock.lock();
            s.moved.wait(lock, [&] { return s.stopping() || s.found - s.printed < ring; });
            if (s.stopping()) {
                lock.unlock();
                return false;
            }
            s.width = std::max(s.width, width);
            ++s.progress.files_total;
            if (e.identified) s.progress.bytes_total += static_cast<std::uint64_t>(e.found.size);
            s.entries[s.found % ring] = std::move(e);
            if (++s.found == ring) s.ready.notify_one();  // the width is known
            if (s.hungry) s.work.notify_one();
            lock.unlock();
            return true;
        }, s.examine_each);
        lock.lock();
    } catch (const std::bad_alloc&) {
        if (!lock) lock.lock();
        s.halt("out of memory");
    }
    s.walk_done = true;
    s.progress.walking = false;
    s.work.notify_all();
    s.ready.notify_one();
}

// Takes the entries one at a time, so a large file holds up no other.
void worker(Shared& s, unsigned slot) {
    lidar::ScanBuffer buffer;
    std::unique_lock lock(s.m, std::defer_lock);
    try {
        Judging how = s.how;
        how.buffer = &buffer;
        std::size_t at = 0;  // in report order, the entry being judged
        how.may_fix = [&] { return s.may_fix(at); };
        lock.lock();
        for (;;) {
            for (;;) {
                if (s.stopping()) {
                    s.result_needed();
                    return;
                }
                if (s.started && s.next < s.found && s.next < s.printed + s.slots.size()) break;
                if (s.started && s.walk_done && s.next >= s.found) {
                    s.spare.fetch_add(1);
                    s.ready.notify_one();
                    return;
                }
                // Whatever holds this thread up, the printing thread must
                // not sleep on results already judged.
                s.result_needed();
                const bool waits_for_walker = s.next >= s.found;
                ++s.waiting;
                s.hungry += waits_for_walker;
                s.work.wait(lock);
                --s.waiting;
                s.hungry -= waits_for_walker;
            }
            at = s.next++;
            // The slot is this thread's until it is marked done.
            Slot& out = s.slots[at % s.slots.size()];
            {
                const Entry e = std::move(s.entries[at % s.entries.size()]);
                s.progress.in_flight[slot] = e.path;  // escaped as it is drawn
                lock.unlock();
                out.result = judge(e, how);
            }
            lock.lock();
            out.done = true;
            ++s.progress.files_done;
            s.progress.in_flight[slot].clear();
            // A fixed file's line is written without delay: the next fix
            // waits for it.
            if (out.result.status == Status::fixed || s.next - s.printed >= s.slots.size() / 2) s.result_needed();
        }
    } catch (const std::bad_alloc&) {
        if (!lock) lock.lock();
        s.halt("out of memory");
    }
}
}  // namespace

int run(const Options& o) {
    const Clock::time_point start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    catch_signals();
    const bool show = !o.quiet && progress_possible();
    // Where the report goes to the same terminal, the line is taken away
    // for each batch of results and drawn again after it.
    const bool shared_terminal = show && stdout_is_terminal();

    hold_closed_streams();
    Shared s(o);
    // A fix waits for the lines before it (see may_fix), and a run that
    // fixes judges fewer files ahead of the report; a read-only run gives
    // its workers more room,
    // or on small tiles printing and judging take turns, often on one core
    // (the scheduler wakes each where the other just ran).
    std::size_t window = 4 * static_cast<std::size_t>(o.jobs) + 16;
    if (!o.how.fix) window = std::max<std::size_t>(window, 256);
    s.slots.resize(window);
    s.entries.resize(std::max<std::size_t>(4096, 2 * window));
    s.progress.walking = true;
    s.progress.in_flight.resize(o.jobs);
    // A fix must never race another fix of the same file under another
    // name, and the progress line needs every size up front: only a quiet
    // read-only run leaves files unexamined until they are opened.
    s.examine_each = o.how.fix || show;
    std::unordered_set<FileKey, FileKeyHash> met;

    std::size_t count[kStatuses] = {};
    Delivery own;
    Delivery& delivery = o.delivery ? *o.delivery : own;
    delivery.strict = o.how.strict;
    delivery.profile = o.how.profile;
    delivery.quality_level = o.how.quality_level;
    std::uint64_t bytes = 0;
    int status = 0;
    bool output_failed = false;
    int output_errno = 0;
    std::string pending = o.summary_only ? "" : report_head(o.format);
    // Results up to this one (in report order) are in pending or written,
    // and up to the other written.
    std::size_t queued = 0, published = 0;
    std::size_t longest = 0;  // of the lines so far
    // Where each fixed file's line ends in pending; those a failed write did
    // not take are named, not lost.
    std::vector<std::pair<std::size_t, std::string>> fixed_lines;
    std::vector<std::string> unreported;
    std::vector<DeliveryFinding> found;
    Clock::time_point drawn{};
    auto draw = [&] {  // s.m held once threads run
        s.progress.seconds = elapsed();
        s.progress.bytes_done = s.bytes_read.load(std::memory_order_relaxed);
        draw_progress(s.progress);
        drawn = Clock::now();
    };
    auto flush = [&] {
        if (output_failed) return;
        if (!pending.empty()) {
            if (shared_terminal) clear_progress();
            const std::size_t out = write_out(pending);
            if (out < pending.size()) {
                output_failed = true;
                output_errno = errno;
                for (const auto& [end, path] : fixed_lines)
                    if (end > out) unreported.push_back(path);
                // Nothing more is fixed that could not be reported.
                s.no_more_fixes.store(true);
                std::lock_guard lock(s.m);
                s.halt("");
            }
            pending.clear();
            fixed_lines.clear();
            if (shared_terminal) {
                std::lock_guard lock(s.m);
                draw();
            }
        }
        if (output_failed || published == queued) return;
        published = queued;
        std::lock_guard lock(s.m);
        s.written = published;
        s.longest = std::max(s.longest, longest);
        s.moved.notify_all();
    };

    // Drawn before any work starts, so a person sees at once that it runs.
    if (show) draw();
    std::vector<std::thread> threads;
    std::string cannot_start;
    try {
        threads.reserve(o.jobs + 1);
        threads.emplace_back(walker, std::ref(s));
        for (unsigned k = 0; k < o.jobs; ++k) threads.emplace_back(worker, std::ref(s), k);
    } catch (const std::system_error& e) {
        cannot_start = "cannot start " + std::to_string(o.jobs + 1) + " threads: " + e.code().message();
    } catch (const std::bad_alloc&) {
        cannot_start = "out of memory";
    }
    {
        std::lock_guard lock(s.m);
        // No file is judged, let alone fixed, unless every thread runs.
        if (!cannot_start.empty()) s.halt(cannot_start);
        s.started = true;
        s.work.notify_all();
        s.moved.notify_all();
    }

    try {
        std::size_t width = 0;
        bool width_known = o.format != Format::text;
        const std::size_t ring = s.slots.size();
        // Each pass prints the results ready in order, i to end, read in
        // their slots after the lock: the other threads wait while it is
        // held. The slots go back at the next pass.
        for (std::size_t i = 0, end = 0; !output_failed;) {
            {
                std::unique_lock lock(s.m);
                s.printed = i;
                // Woken for room for a batch, not for each line: otherwise
                // printing and judging take turns file by file.
                if (s.found - s.printed + kHandOff <= s.entries.size()) s.moved.notify_all();
                if (s.waiting > s.hungry && s.next + kRoom <= s.printed + ring) s.work.notify_all();
                auto has = [&] { return s.slots[i % ring].done; };
                auto can_print = [&] { return width_known || s.walk_done || s.found >= s.entries.size(); };
                while (!(has() && can_print())) {
                    if (!s.fatal.empty() || (s.walk_done && i >= s.found) || (s.stop && i >= s.next)) break;
                    if (!pending.empty() || published < queued) {
                        lock.unlock();
                        flush();
                        lock.lock();
                        continue;
                    }
                    if (g_signal.load() != 0 && !s.stop) s.halt("");
                    if (show && Clock::now() - drawn >= std::chrono::milliseconds(100)) draw();
                    s.ready.wait_for(lock, std::chrono::milliseconds(100));
                }
                if (!s.fatal.empty() || !has()) break;
                if (!width_known) {
                    width = std::min<std::size_t>(s.width, 48);
                    width_known = true;
                }
                for (end = i; end < s.next && s.slots[end % ring].done; ++end) s.slots[end % ring].done = false;
                if (g_signal.load() != 0 && !s.stop) s.halt("");
            }
            for (; i < end && !output_failed; ++i) {
                queued = i;
                Result& r = s.slots[i % ring].result;
                if (r.gone) continue;
                // Reported as the walk would have, had it looked: judged there.
                if (!s.examine_each && r.identity.regular && !met.insert({r.identity.dev, r.identity.ino}).second)
                    r = repeated(std::move(r.path), kSameFile);
                ++count[static_cast<int>(r.status)];
                bytes += r.bytes_read;
                status = std::max(status, exit_status_of(r));
                add_to(delivery, r);
                if (o.observe) o.observe(r);
                std::string line = o.summary_only ? "" : report_line(r, o.format, width);
                if (pending.size() + line.size() > kBatch) flush();
                pending += line;
                queued = i + 1;
                longest = std::max(longest, line.size());
                // A fixed file is reported at once: the next fix waits for it.
                if (r.status == Status::fixed) {
                    fixed_lines.emplace_back(pending.size(), r.path);
                    flush();
                }
                if (show && !shared_terminal && Clock::now() - drawn >= std::chrono::milliseconds(100)) {
                    std::lock_guard lock(s.m);
                    draw();
                }
            }
            // Every result taken, those that print nothing too.
            if (!output_failed) queued = i;
        }
        finish_delivery(delivery);
        found = consistency(delivery);
        // The statistics alone: how files differ from each other is not asked.
        if (o.how.profile == lidar::Profile::stats) found.clear();
        for (const DeliveryFinding& f : found)
            if (o.how.strict || f.finding.rule->severity == lidar::Severity::error)
                status = std::max(status, 1);
        if (o.format == Format::jsonl) pending += summary_json(delivery, found);
        else if (o.summary_only) pending += summary_text(delivery, found);
        flush();
    } catch (const std::bad_alloc&) {
        std::lock_guard lock(s.m);
        s.halt("out of memory");
    }
    {
        std::lock_guard lock(s.m);
        s.printing_done = true;
        s.halt(s.fatal);
    }
    for (std::thread& t : threads) t.join();

    std::string fatal = s.fatal;
    if (show) clear_progress();
    if (!cannot_start.empty() || (!fatal.empty())) {
        std::fprintf(stderr, "Vexholt-audit: %s\n", fatal.c_str());
        status = 2;
    }
    if (output_failed) {
        std::fprintf(stderr, "Vexholt-audit: cannot write the report: %s\n", std::strerror(output_errno));
        for (const std::string& path : unreported)
            std::fprintf(stderr, "Vexholt-audit: fixed, but its line is not in the report: %s\n",
                         escape_text(path).c_str());
        status = 2;
    }
    const int sig = g_signal.load();
    std::size_t judged = 0;
    for (std::size_t n : count) judged += n;
    // An audit that found nothing has not passed: a mistyped path or an
    // unmounted share looks just like that.
    const bool nothing = judged == 0 && sig == 0 && fatal.empty() && !output_failed && cannot_start.empty();
    if (nothing && !o.allow_empty) {
        std::fputs("Vexholt-audit: no LAS file found: nothing was judged\n", stderr);
        status = 2;
    }
    if (!o.quiet) {
        if (o.format != Format::jsonl && !o.summary_only && judged > 0)
            std::fputs(summary_text(delivery, found).c_str(), stderr);
        double secs = elapsed();
        std::size_t files = 0;
        for (std::size_t n : count) files += n;
        std::string dup = count[5] ? ", " + std::to_string(count[5]) + " repeated" : "";
        if (count[6]) dup += ", " + std::to_string(count[6]) + " headers only";
        if (count[7]) dup += ", " + std::to_string(count[7]) + " short";
        std::fprintf(stderr,
                     "Vexholt-audit: %zu %s: %zu current, %zu stale, %zu fixed, %zu refused, %zu error%s; "
                     "%s read in %.2f s, %.2f GB/s\n",
                     files, files == 1 ? "file" : "files", count[0], count[1], count[2], count[3], count[4],
                     dup.c_str(), human_bytes(static_cast<double>(bytes)).c_str(), secs,
                     secs > 0 ? static_cast<double>(bytes) / secs / 1e9 : 0.0);
    }
    if (sig != 0 && !output_failed && fatal.empty()) {
        std::fprintf(stderr, "Vexholt-audit: stopped by signal %d: files not yet started were not judged\n", sig);
        return 128 + sig;
    }
    return status;
}

}  // namespace audit
