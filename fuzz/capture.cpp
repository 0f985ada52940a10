#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace lastest {

StdoutCapture::StdoutCapture() {
    char name[] = "/tmp/vexholt-stdout-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("cannot create a scratch file for standard output");
    unlink(name);
    // Appending lets take() empty the file without moving stdout's offset.
    fd_ = fd;
    fcntl(fd_, F_SETFL, O_APPEND);
    std::fflush(stdout);
    saved_ = dup(1);
    dup2(fd_, 1);
}

StdoutCapture::~StdoutCapture() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    close(fd_);
}

std::string StdoutCapture::take() {
    std::fflush(stdout);
    struct stat st;
    fstat(fd_, &st);
    std::string s(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < s.size()) {
        ssize_t n = pread(fd_, &s[got], s.size() - got, static_cast<off_t>(got));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    s.resize(got);
    if (ftruncate(fd_, 0) != 0) throw std::runtime_error("cannot empty captured output");
    return s;
}

}  // namespace lastest
