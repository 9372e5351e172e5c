// The error record filled where a call fails, before every error event,
// and the one helper that fills it and raises the event.
#pragma once

#include <cstdint>
#include <string>

struct Io;

enum ErrorClass : int32_t {
    ERR_FILE_SYSCALL = 0,
    ERR_NET_SYSCALL = 1,
    ERR_UPDATE = 2,
    ERR_FTP = 3,
    ERR_HTTP = 4,
    ERR_FILE = 5,
    // Failures that no number describes: the record's text says what and why.
    ERR_TLS = 6,       // "TLS with host:port (reason)"
    ERR_REDIRECT = 7,  // a redirect that is not followed, and why
    ERR_MANIFEST = 8,  // a manifest, or what it vouches for, refused, and why
    ERR_WAIT = 9,      // a wait a server asked for that the run cannot make
    ERR_KEPT = 10,     // a kept copy that cannot serve
    ERR_SETTING = 11,  // a setting (the proxy, a mirror's URL) that cannot be used, and why
    ERR_RESOLVE = 12,  // a host name without an address: code is getaddrinfo's EAI_* number
    ERR_FETCHER = 13,  // the network side broke off the run, and why
};

enum UpdateError : int32_t {
    UPD_BAD_MD5 = 1,
    UPD_USER_BREAK = 2,
    UPD_CANT_INSTALL = 3,
    UPD_TIME_SCREW = 4,
    UPD_CANT_EXECUTE = 5,
    UPD_NO_INFO = 6,
    UPD_CYCLIC = 7,
    UPD_PARSER = 8,
};

// `class_` stands for the record's class field (a reserved word in C++).
struct ErrorRecord {
    int32_t class_ = 0;
    int32_t code = 0;
    // Static text, or a text that lives at least as long as the event.
    const char *call = nullptr;
    // The description of ERR_TLS, ERR_REDIRECT, ERR_MANIFEST, ERR_WAIT, ERR_KEPT, ERR_SETTING
    // and ERR_FETCHER; never a credential.
    std::string text;
};

// Fills io.error with class_, errno and call, raises
// the error event and returns -1, so a failing operation can end with it.
int record_error(Io &io, int32_t class_, const char *call);
// The same with an explicit code (protocol replies, SO_ERROR values, UPD_*).
int record_error_code(Io &io, int32_t class_, int32_t code, const char *call);
// The same for a failure described by a composed text.
int record_error_text(Io &io, int32_t class_, std::string text, const char *call);
