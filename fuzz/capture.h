// Standard output redirected into a scratch file for as long as the object
// lives, so that routines printing with printf can be checked in-process.
// The fuzzer keeps one for its whole run: take() costs a read and a
// truncate, not a new file per input as the test framework's capture does.
#pragma once

#include <string>

namespace lastest {

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything printed since construction or the last take().
    std::string take();

private:
    int saved_ = -1;
    int fd_ = -1;
};

}  // namespace lastest
