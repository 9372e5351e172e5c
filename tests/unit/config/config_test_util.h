// Helpers of the configuration tests: scratch files, a loader that captures
// what the parser writes, and a model's dump as text.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/updconfig.h"

struct LoadResult {
    Config *config;
    std::string out;  // bytes the scanner echoed
    std::string err;  // parser messages
};

class ConfigFileTest : public testing::Test {
   protected:
    void SetUp() override {
        char pattern[] = "/tmp/qavo-config-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string &path : files_) remove(path.c_str());
        remove(dir_.c_str());
    }

    LoadResult load_path(const std::string &path, Config *model = nullptr) {
        fflush(stdout);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Config *config = config_load(model, path.c_str());
        fflush(stdout);
        fflush(stderr);
        std::string err = testing::internal::GetCapturedStderr();
        return {config, testing::internal::GetCapturedStdout(), err};
    }

    LoadResult load(const std::string &text, Config *model = nullptr) {
        std::string path = dir_ + "/qup" + std::to_string(files_.size()) + ".conf";
        FILE *file = fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        if (file != nullptr) {
            fwrite(text.data(), 1, text.size(), file);
            fclose(file);
            files_.push_back(path);
        }
        return load_path(path, model);
    }

    std::string dir_;
    std::vector<std::string> files_;
};

// What write(stream) writes, as a string.
template <typename Writer>
std::string stream_text(Writer write) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    if (stream == nullptr) return {};
    write(stream);
    fclose(stream);
    std::string text(buffer, size);
    free(buffer);
    return text;
}

inline std::string dump_text(Config *config) {
    return stream_text([config](FILE *stream) { config_dump(stream, config); });
}
