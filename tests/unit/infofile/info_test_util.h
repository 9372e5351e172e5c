// Helpers of the information-file tests: a scratch directory for catalogues,
// a context that records error events, and a loader that captures what the
// scanner echoes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/update.h"
#include "infofile/infofile.h"
#include "tests/unit/frontend/stdout_capture.h"

class InfoFileTest : public testing::Test {
   protected:
    void SetUp() override {
        char pattern[] = "/tmp/qavo-info-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        context_.run_state = reinterpret_cast<RunState *>(this);
        context_.ui_event = &InfoFileTest::on_event;
        context_.error = &error_;
    }

    void TearDown() override {
        info_free(&context_, info_);
        for (const std::string &path : files_) unlink(path.c_str());
        rmdir(dir_.c_str());
    }

    std::string write_file(const std::string &text) {
        std::string path = dir_ + "/info" + std::to_string(files_.size());
        FILE *file = fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        if (file == nullptr) return path;
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
        files_.push_back(path);
        return path;
    }

    // Loads the text; the record stays with the fixture, which releases it.
    InfoRecord *load(const std::string &text) { return load_path(write_file(text)); }

    InfoRecord *load_path(const std::string &path) {
        info_free(&context_, info_);
        errors_.clear();
        StdoutCapture capture;
        info_ = update_get_information(&context_, path.c_str());
        echoed_ = capture.finish();
        return info_;
    }

    // A catalogue around the given module items, with a minimal update entry.
    static std::string with_module(const std::string &items) {
        return "<update> sitepath = qavoupdate </update>\n<kit> <module> " + items +
               " </module> </kit>\n";
    }
    // The same around the properties of one file.
    static std::string with_file(const std::string &properties) {
        return with_module("name = m <file> " + properties + " </file>");
    }

    FileRecord *first_file() const { return vector_at<FileRecord>(first_module()->files, 0); }
    ModuleRecord *first_module() const { return vector_at<ModuleRecord>(info_->kit->modules, 0); }

    // The load failed the way a broken file must: one parser error event.
    void expect_parser_error() const {
        EXPECT_EQ(info_, nullptr);
        ASSERT_EQ(errors_.size(), 1u);
        EXPECT_EQ(errors_[0].class_, ERR_UPDATE);
        EXPECT_EQ(errors_[0].code, UPD_PARSER);
        EXPECT_STREQ(errors_[0].call, "update_get_information");
    }

    EngineContext context_{};
    ErrorRecord error_{};
    std::vector<ErrorRecord> errors_;
    std::string echoed_;
    InfoRecord *info_ = nullptr;
    std::string dir_;

   private:
    static int on_event(RunState *state, UiEvent *event) {
        auto *self = reinterpret_cast<InfoFileTest *>(state);
        if (event->code == UI_ERROR) {
            self->errors_.push_back(*static_cast<const ErrorRecord *>(event->data));
        }
        return 0;
    }

    std::vector<std::string> files_;
};

// A file record's fields (a null expected path: the field is null).
inline void expect_file(const FileRecord *file, const char *sitepath, const char *localpath,
                        int32_t size, int32_t time, int32_t order) {
    ASSERT_NE(file, nullptr);
    EXPECT_STREQ(file->sitepath, sitepath);
    EXPECT_STREQ(file->localpath, localpath);
    EXPECT_EQ(file->size, size);
    EXPECT_EQ(file->time, time);
    EXPECT_EQ(file->order, order);
}

inline std::string hex(const uint8_t *md5) {
    std::string text;
    for (int i = 0; i < 16; i++)
        text += {"0123456789abcdef"[md5[i] >> 4], "0123456789abcdef"[md5[i] & 15]};
    return text;
}

inline std::vector<std::string> names_of(const Vector *names) {
    std::vector<std::string> result;
    if (names == nullptr) return result;
    for (int32_t i = 0; i < names->count; i++) result.emplace_back(vector_at<char>(names, i));
    return result;
}
