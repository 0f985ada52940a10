#include "run.h"

#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace lastest {

std::string vexholt_path() { return VEXHOLT_PATH; }
std::string audit_path() { return AUDIT_PATH; }

#ifdef _WIN32

namespace {

// One argument of a command line as the C runtime splits it again:
// backslashes are literal except before a quote, where they escape in pairs.
void append_quoted(std::string& cmd, const std::string& a) {
    if (!a.empty() && a.find_first_of(" \t\n\v\"") == std::string::npos) {
        cmd += a;
        return;
    }
    cmd += '"';
    std::size_t backslashes = 0;
    for (char c : a) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') cmd.append(2 * backslashes + 1, '\\');
        else cmd.append(backslashes, '\\');
        backslashes = 0;
        cmd += c;
    }
    cmd.append(2 * backslashes, '\\');
    cmd += '"';
}

// Undoes text-mode output: each "\n" reached the pipe as "\r\n".
std::string from_text_mode(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\n') {
            if (out.empty() || out.back() != '\r')
                throw std::runtime_error("bare newline in output: stdout is not in text mode");
            out.back() = '\n';
        } else {
            out += raw[i];
        }
    }
    return out;
}

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() { reset(); }
    void reset() {
        if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
};

}  // namespace

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& cwd, bool capture_err) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle rd, wr, nul, err;
    char err_name[MAX_PATH] = "";
    if (capture_err) {
        char dir[MAX_PATH];
        if (!GetTempPathA(MAX_PATH, dir) || !GetTempFileNameA(dir, "err", 0, err_name))
            throw std::runtime_error("cannot make a file for standard error");
        err.h = CreateFileA(err_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (err.h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open a file for standard error");
    }
    if (!CreatePipe(&rd.h, &wr.h, &inherit, 0)) throw std::runtime_error("CreatePipe");
    SetHandleInformation(rd.h, HANDLE_FLAG_INHERIT, 0);
    nul.h = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                        OPEN_EXISTING, 0, nullptr);
    if (nul.h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open NUL");

    std::string cmd;
    append_quoted(cmd, program);
    for (const std::string& a : args) {
        cmd += ' ';
        append_quoted(cmd, a);
    }

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul.h;
    si.hStdOutput = wr.h;
    si.hStdError = capture_err ? err.h : GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    // Wine now and then refuses a start while many tests start processes at
    // once; a program that truly cannot start still fails, with its reason.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessA(program.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           cwd.empty() ? nullptr : cwd.c_str(), &si, &pi))
            break;
        DWORD why = GetLastError();
        if (attempt == 5)
            throw std::runtime_error("cannot start " + program + " (error " + std::to_string(why) + ")");
        Sleep(100 * attempt);
    }
    CloseHandle(pi.hThread);
    Handle process;
    process.h = pi.hProcess;
    // Our copy of the write end must go, or the read below never sees the end.
    wr.reset();

    std::string raw;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(rd.h, buf, sizeof buf, &n, nullptr) && n > 0) raw.append(buf, n);

    WaitForSingleObject(process.h, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.h, &code)) throw std::runtime_error("GetExitCodeProcess");
    RunResult r;
    r.out = from_text_mode(raw);
    r.native_status = code;
    r.status = static_cast<int>(code & 0xFF);
    if (capture_err) {
        std::string raw_err;
        SetFilePointer(err.h, 0, nullptr, FILE_BEGIN);
        while (ReadFile(err.h, buf, sizeof buf, &n, nullptr) && n > 0) raw_err.append(buf, n);
        err.reset();
        DeleteFileA(err_name);
        r.err = from_text_mode(raw_err);
    }
    return r;
}

#else

// Reads the child's output until it closes the pipe, then reaps it.
RunResult collect(int readfd, pid_t pid) {
    RunResult r;
    char buf[4096];
    for (;;) {
        ssize_t n = read(readfd, buf, sizeof buf);
        if (n > 0) r.out.append(buf, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    close(readfd);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.native_status = r.status;
    return r;
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& cwd, bool capture_err) {
    int pipefd[2];
    if (pipe(pipefd) != 0) throw std::runtime_error("pipe");
    // A file, not a second pipe: nothing to interleave while the child runs.
    int errfd = -1;
    if (capture_err) {
        char name[] = "/tmp/vexholt-err-XXXXXX";
        errfd = mkstemp(name);
        if (errfd < 0) throw std::runtime_error("mkstemp");
        unlink(name);
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    if (errfd >= 0) {
        posix_spawn_file_actions_adddup2(&fa, errfd, 2);
        posix_spawn_file_actions_addclose(&fa, errfd);
    }
    posix_spawn_file_actions_addclose(&fa, pipefd[0]);
    posix_spawn_file_actions_addclose(&fa, pipefd[1]);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid;
    int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(pipefd[1]);
    if (rc != 0) {
        close(pipefd[0]);
        if (errfd >= 0) close(errfd);
        throw std::runtime_error("cannot start " + program);
    }
    RunResult r = collect(pipefd[0], pid);
    if (errfd >= 0) {
        char buf[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(errfd, buf, sizeof buf, at)) > 0; at += n) r.err.append(buf, static_cast<std::size_t>(n));
        close(errfd);
    }
    return r;
}

RunResult run_forked(const std::function<int()>& body) {
    int pipefd[2];
    if (pipe(pipefd) != 0) throw std::runtime_error("pipe");
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        close(pipefd[0]);
        dup2(pipefd[1], 1);
        close(pipefd[1]);
        int code = body();
        std::fflush(stdout);
        _exit(code);
    }
    close(pipefd[1]);
    return collect(pipefd[0], pid);
}

#endif

}  // namespace lastest
