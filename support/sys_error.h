// What a failed system call said, handed back as a value. errno belongs to
// the next call as soon as this one returns, so no function here leaves a
// reason in it for its caller to find.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

struct SysError {
    int code = 0;  // the call's errno; 0: nothing failed
    explicit operator bool() const { return code != 0; }
    const char *text() const { return strerror(code); }
    // What the call that just failed left in errno; EIO should it have left
    // nothing, so that a failure never reads as success.
    static SysError last() { return {errno != 0 ? errno : EIO}; }
};

// "<what> <path> (<reason>)": a failure's line where a path says enough.
inline std::string sys_failure(const char *what, const std::string &path, SysError why) {
    return std::string(what) + " " + path + " (" + why.text() + ")";
}
