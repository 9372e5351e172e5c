// The ftp plugin: serves ftp:// information-file URLs without a proxy with
// one FtpClient per run (see transfer/ftp.h for the handle).
#pragma once

struct FtpClient;

// The user name when the URL gives none.
constexpr const char *kFtpDefaultUser = "ftp";

// The data receiver of every retrieval: copies the data connection into the
// descriptor until the server closes it, reporting offset + bytes received.
int ftp_receive_file(FtpClient *client, int descriptor, long offset);
