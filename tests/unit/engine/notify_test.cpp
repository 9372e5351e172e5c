// ui_notify: how each event code's arguments reach the callback, and a run
// of events through the console callback with its counters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/engine.h"
#include "engine/update.h"
#include "frontend/updcons.h"
#include "tests/unit/frontend/stdout_capture.h"

namespace {

// What the callback saw; the event records die with the ui_notify call.
struct Seen {
    int calls = 0;
    int32_t code = -1;
    void *data = nullptr;
    UiFileInfo info{};
    UiPeers peers{};
    int32_t words[2] = {0, 0};
};

Seen seen;
int answer = 0;

int record_event(RunState *, UiEvent *event) {
    seen.calls++;
    seen.code = event->code;
    seen.data = event->data;
    if (event->data == nullptr) return answer;
    if (ui_carries_file_info(event->code)) {
        seen.info = *static_cast<UiFileInfo *>(event->data);
        return answer;
    }
    switch (event->code) {
        case UI_CONNECTING:
        case UI_CONNECTION_CLOSED:
            seen.peers = *static_cast<UiPeers *>(event->data);
            break;
        case UI_SPIN_WAIT:
        case UI_SPIN_IO:
        case UI_SPIN:
        case UI_RETRY:
            memcpy(seen.words, event->data, sizeof seen.words);
            break;
        default:
            break;
    }
    return answer;
}

class NotifyTest : public ::testing::Test {
   protected:
    void SetUp() override {
        seen = Seen{};
        answer = 0;
        context_.run_state = &state_;
        context_.ui_event = record_event;
        file_.sitepath = sitepath_;
        file_.localpath = localpath_;
        file_.tempfile = tempfile_;
        file_.size = 5000;
        file_.received = 1200;
    }

    RunState state_{};
    EngineContext context_{};
    FileRecord file_{};
    char sitepath_[16] = "engine.dat";
    char localpath_[32] = "/var/opt/qavo/engine.dat";
    char tempfile_[16] = "/tmp/0123";
};

}  // namespace

TEST_F(NotifyTest, FileCodesCarryTheFileRecordsFields) {
    for (int code : {UI_GET_INFO, UI_PROGRESS, UI_RUN_PRE_INSTALL, UI_CHECK_FILE, UI_UPDATE_FILE,
                     UI_RUN_POST_INSTALL, UI_REMOVE_FILE, UI_NEEDS_UPDATE}) {
        seen = Seen{};
        ASSERT_EQ(ui_notify(&context_, code, &file_), 0);
        EXPECT_EQ(seen.code, code);
        EXPECT_STREQ(seen.info.name, "engine.dat") << code;
        EXPECT_STREQ(seen.info.path, "/var/opt/qavo/engine.dat") << code;
        EXPECT_STREQ(seen.info.temp, "/tmp/0123") << code;
        EXPECT_EQ(seen.info.size, 5000) << code;
        EXPECT_EQ(seen.info.done, 1200) << code;
        EXPECT_EQ(seen.info.status, 0) << code;
    }
}

TEST_F(NotifyTest, NullFileAndByteCountFillOnlyDone) {
    ui_notify(&context_, UI_PROGRESS, nullptr, 73728);
    EXPECT_EQ(seen.code, UI_PROGRESS);
    EXPECT_EQ(seen.info.name, nullptr);
    EXPECT_EQ(seen.info.path, nullptr);
    EXPECT_EQ(seen.info.temp, nullptr);
    EXPECT_EQ(seen.info.size, 0);
    EXPECT_EQ(seen.info.status, 0);
    EXPECT_EQ(seen.info.done, 73728);
}

TEST_F(NotifyTest, VerificationCodesTakeTheStatusBeforeTheFile) {
    ui_notify(&context_, UI_VERIFY_MD5, -1, &file_);
    EXPECT_EQ(seen.info.status, -1);
    EXPECT_STREQ(seen.info.name, "engine.dat");
    ui_notify(&context_, UI_VERIFY_SIGNATURE, 1, &file_);
    EXPECT_EQ(seen.code, UI_VERIFY_SIGNATURE);
    EXPECT_EQ(seen.info.status, 1);
    EXPECT_EQ(seen.info.size, 5000);
}

TEST_F(NotifyTest, WordTextPeerAndErrorCodes) {
    ui_notify(&context_, UI_EXEC, 3);
    EXPECT_EQ(reinterpret_cast<intptr_t>(seen.data), 3);

    const char *name = "mailgate";
    ui_notify(&context_, UI_INSTALL_MODULE, name);
    EXPECT_EQ(seen.data, name);
    const char *line = "RETR x\r\n";
    ui_notify(&context_, UI_SENT_LINE, line);
    EXPECT_EQ(seen.data, line);

    ui_notify(&context_, UI_RETRY, 2, 5);
    EXPECT_EQ(seen.words[0], 2);
    EXPECT_EQ(seen.words[1], 5);
    ui_notify(&context_, UI_SPIN_IO, 7, 0);
    EXPECT_EQ(seen.code, UI_SPIN_IO);
    EXPECT_EQ(seen.words[0], 7);

    uint16_t local_port = 40001;
    ui_notify(&context_, UI_CONNECTING, "10.0.0.1", local_port, "10.0.0.2", 65535);
    EXPECT_STREQ(seen.peers.local_host, "10.0.0.1");
    EXPECT_EQ(seen.peers.local_port, 40001);
    EXPECT_STREQ(seen.peers.remote_host, "10.0.0.2");
    EXPECT_EQ(seen.peers.remote_port, 65535);

    ErrorRecord error{ERR_FTP, 550, "get"};
    context_.error = &error;
    ui_notify(&context_, UI_ERROR);
    EXPECT_EQ(seen.data, &error);  // the context's record itself, not a copy
}

TEST_F(NotifyTest, DatalessCodesAndCodesAbove23DeliverNull) {
    for (int code :
         std::initializer_list<int>{UI_TRANSFER_DONE, UI_DATA_READY, UI_TIMEOUT, 24, 99}) {
        seen.data = &seen;
        ui_notify(&context_, code);
        EXPECT_EQ(seen.code, code);
        EXPECT_EQ(seen.data, nullptr) << code;
    }
}

TEST_F(NotifyTest, AnswerIsTheCallbacksAndMissingCallbackSilencesEverything) {
    answer = -1;
    EXPECT_EQ(ui_notify(&context_, UI_NEEDS_UPDATE, &file_), -1);
    answer = 1;
    EXPECT_EQ(ui_notify(&context_, UI_REMOVE_FILE, &file_), 1);
    EXPECT_EQ(seen.calls, 2);

    context_.ui_event = nullptr;
    EXPECT_EQ(ui_notify(&context_, UI_NEEDS_UPDATE, &file_), 0);
    context_.ui_event = record_event;
    context_.run_state = nullptr;
    EXPECT_EQ(ui_notify(&context_, UI_NEEDS_UPDATE, &file_), 0);
    EXPECT_EQ(ui_notify(nullptr, UI_NEEDS_UPDATE, &file_), 0);
    EXPECT_EQ(seen.calls, 2);
}

// The events of a small run, as the engine and a plugin raise them.
TEST_F(NotifyTest, RunOfEventsThroughTheConsoleKeepsTheCounters) {
    quiet = 0;
    state_.config = config_new();
    ASSERT_NE(state_.config, nullptr);
    context_.ui_event = ui_event;
    ErrorRecord error{ERR_UPDATE, UPD_CANT_INSTALL, "install"};
    context_.error = &error;
    file_.received = 0;

    StdoutCapture capture;
    EXPECT_EQ(ui_notify(&context_, UI_NEEDS_UPDATE, &file_), 0);
    EXPECT_EQ(ui_notify(&context_, UI_NEEDS_UPDATE, &file_), 0);
    EXPECT_EQ(ui_notify(&context_, UI_PROGRESS, &file_), 0);
    EXPECT_EQ(ui_notify(&context_, UI_PROGRESS, nullptr, 5000), 0);
    EXPECT_EQ(ui_notify(&context_, UI_TRANSFER_DONE), 0);
    EXPECT_EQ(ui_notify(&context_, UI_VERIFY_MD5, 1, &file_), 0);
    EXPECT_EQ(ui_notify(&context_, UI_INSTALL_MODULE, "engine"), 0);
    EXPECT_EQ(ui_notify(&context_, UI_CHECK_FILE, &file_), 0);
    EXPECT_EQ(ui_notify(&context_, UI_UPDATE_FILE, &file_), 0);
    EXPECT_EQ(ui_notify(&context_, UI_ERROR), 0);
    EXPECT_EQ(ui_notify(&context_, UI_REMOVE_FILE, &file_), 0);
    const std::string text = capture.finish();
    config_free(state_.config);

    EXPECT_EQ(state_.files_to_update, 2u);
    EXPECT_EQ(state_.transfers_done, 1u);
    EXPECT_EQ(state_.bytes_downloaded, 5000);
    EXPECT_EQ(state_.modules_installed, 1u);
    EXPECT_EQ(state_.files_updated, 1u);
    EXPECT_NE(text.find("File '/var/opt/qavo/engine.dat' with size 5000 needs update!\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Getting file engine.dat\n    0K  ...."), std::string::npos) << text;
    EXPECT_NE(text.find(") [5000]\nInstalling module 'engine'\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Updating file '/var/opt/qavo/engine.dat'\n"
                        "Can't install last file. Update can't continue\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Verifying"), std::string::npos) << text;  // not verbose
    EXPECT_EQ(text.find("Removing"), std::string::npos) << text;
}
