// The ftp plugin: serves ftp:// information-file URLs without a proxy with
// one FtpClient per run (see transfer/ftp.h for the handle).
#pragma once

struct FtpClient;
struct TempCopy;

// The user name when the URL gives none.
constexpr const char *kFtpDefaultUser = "ftp";

// The data receiver of every retrieval: appends the data connection to the
// copy until the server closes it, reporting what the copy holds.
int ftp_receive_file(FtpClient *client, TempCopy *copy);
