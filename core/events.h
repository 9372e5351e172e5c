// Events that the engine and the layers below it raise towards the front
// end, and the data records they carry.
#pragma once

#include <cstdint>

enum UiCode : int {
    UI_GET_INFO = 0,
    UI_VERIFY_SIGNATURE = 1,
    UI_VERIFY_MD5 = 2,
    UI_PROGRESS = 3,
    UI_TRANSFER_DONE = 4,
    UI_RUN_PRE_INSTALL = 5,
    UI_CHECK_FILE = 6,
    UI_UPDATE_FILE = 7,
    UI_RUN_POST_INSTALL = 8,
    UI_EXEC = 9,
    UI_REMOVE_FILE = 10,
    UI_INSTALL_MODULE = 11,
    UI_ERROR = 12,
    UI_SPIN_WAIT = 13,
    UI_CONNECTING = 14,
    UI_SENT_LINE = 15,
    UI_SPIN_IO = 16,
    UI_SPIN = 17,
    UI_DATA_READY = 18,
    UI_RECEIVED_LINE = 19,
    UI_TIMEOUT = 20,
    UI_CONNECTION_CLOSED = 21,
    UI_RETRY = 22,
    UI_NEEDS_UPDATE = 23,
};

struct UiEvent {
    int32_t code;
    void *data;
};

struct UiFileInfo {
    const char *name;
    const char *path;
    const char *temp;
    int32_t size;
    int32_t done;
    int32_t status;
};

struct UiPeers {
    const char *local_host;
    uint16_t local_port;
    const char *remote_host;
    uint16_t remote_port;
};

// Whether an event of this code carries a UiFileInfo as its data.
constexpr bool ui_carries_file_info(int32_t code) {
    switch (code) {
        case UI_GET_INFO:
        case UI_VERIFY_SIGNATURE:
        case UI_VERIFY_MD5:
        case UI_PROGRESS:
        case UI_RUN_PRE_INSTALL:
        case UI_CHECK_FILE:
        case UI_UPDATE_FILE:
        case UI_RUN_POST_INSTALL:
        case UI_REMOVE_FILE:
        case UI_NEEDS_UPDATE:
            return true;
        default:
            return false;
    }
}
