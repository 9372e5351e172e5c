// Texts chosen for this build that more than one floor sends or prints.
#pragma once

// Password sent by anonymous logins (ftp and http), an e-mail-shaped text.
// A literal, so callers can splice it.
#define QAVO_ANONYMOUS_PASSWORD "qavoupdate-0.9.10-20021125@mails.qavo.example"
