// ui_notify: how each event code's arguments reach the callback, and a run
// of events through the console callback with its counters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

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
    } else if (event->code == UI_CONNECTING || event->code == UI_CONNECTION_CLOSED) {
        seen.peers = *static_cast<UiPeers *>(event->data);
    } else if (event->code == UI_SPIN_WAIT || event->code == UI_SPIN_IO || event->code == UI_SPIN ||
               event->code == UI_RETRY) {
        memcpy(seen.words, event->data, sizeof seen.words);
    }
    return answer;
}

using Info = std::tuple<std::string, std::string, std::string, int32_t, int32_t, int32_t>;
Info info_seen() {
    auto text = [](const char *s) { return std::string(s != nullptr ? s : "-"); };
    const UiFileInfo &i = seen.info;
    return {text(i.name), text(i.path), text(i.temp), i.size, i.done, i.status};
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

TEST_F(NotifyTest, FileCodesCarryTheFileRecordsFieldsAndVerificationTheStatus) {
    const Info kFile{"engine.dat", "/var/opt/qavo/engine.dat", "/tmp/0123", 5000, 1200, 0};
    for (int code : {UI_GET_INFO, UI_PROGRESS, UI_RUN_PRE_INSTALL, UI_CHECK_FILE, UI_UPDATE_FILE,
                     UI_RUN_POST_INSTALL, UI_REMOVE_FILE, UI_NEEDS_UPDATE}) {
        seen = Seen{};
        ASSERT_EQ(ui_notify(&context_, code, &file_), 0);
        EXPECT_EQ(seen.code, code);
        EXPECT_EQ(info_seen(), kFile) << code;
    }
    // The status comes before the file.
    ui_notify(&context_, UI_VERIFY_MD5, -1, &file_);
    EXPECT_EQ(info_seen(),
              Info("engine.dat", "/var/opt/qavo/engine.dat", "/tmp/0123", 5000, 1200, -1));
    ui_notify(&context_, UI_VERIFY_SIGNATURE, 1, &file_);
    EXPECT_EQ(seen.code, UI_VERIFY_SIGNATURE);
    EXPECT_EQ(std::get<5>(info_seen()), 1);
    // A null file with a byte count fills only done.
    ui_notify(&context_, UI_PROGRESS, nullptr, 73728);
    EXPECT_EQ(seen.code, UI_PROGRESS);
    EXPECT_EQ(info_seen(), Info("-", "-", "-", 0, 73728, 0));
}

TEST_F(NotifyTest, WordTextPeerErrorAndDatalessCodes) {
    ui_notify(&context_, UI_EXEC, 3);
    EXPECT_EQ(reinterpret_cast<intptr_t>(seen.data), 3);
    const char *name = "mailgate";
    ui_notify(&context_, UI_INSTALL_MODULE, name);
    EXPECT_EQ(seen.data, name);
    const char *line = "RETR x\r\n";
    ui_notify(&context_, UI_SENT_LINE, line);
    EXPECT_EQ(seen.data, line);

    ui_notify(&context_, UI_RETRY, 2, 5);
    EXPECT_EQ(std::make_pair(seen.words[0], seen.words[1]), std::make_pair(2, 5));
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
    for (int code : {UI_CHECK_FILE, UI_UPDATE_FILE})
        EXPECT_EQ(ui_notify(&context_, code, &file_), 0);
    EXPECT_EQ(ui_notify(&context_, UI_ERROR), 0);
    EXPECT_EQ(ui_notify(&context_, UI_REMOVE_FILE, &file_), 0);
    const std::string text = capture.finish();
    config_free(state_.config);

    EXPECT_EQ(state_.files_to_update, 2u);
    EXPECT_EQ(state_.transfers_done, 1u);
    EXPECT_EQ(state_.bytes_downloaded, 5000);
    EXPECT_EQ(state_.modules_installed, 1u);
    EXPECT_EQ(state_.files_updated, 1u);
    for (const char *expected :
         {"File '/var/opt/qavo/engine.dat' with size 5000 needs update!\n",
          "Getting file engine.dat\n    0K  ....", ") [5000]\nInstalling module 'engine'\n",
          "Updating file '/var/opt/qavo/engine.dat'\nCan't install last file. Update can't "
          "continue\n"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nin:\n" << text;
    for (const char *absent : {"Verifying", "Removing"})  // not verbose
        EXPECT_EQ(text.find(absent), std::string::npos) << text;
}

}  // namespace
