// Test helper: collects what the code under test writes to standard output.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

// Redirects descriptor 1 into a temporary file until finish() is called.
class StdoutCapture {
   public:
    StdoutCapture() {
        fflush(stdout);
        file_ = tmpfile();
        saved_ = dup(STDOUT_FILENO);
        if (file_ != nullptr && saved_ >= 0) dup2(fileno(file_), STDOUT_FILENO);
    }
    ~StdoutCapture() { finish(); }

    std::string finish() {
        if (file_ == nullptr) return text_;
        fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
        rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0) text_.append(buffer, n);
        fclose(file_);
        file_ = nullptr;
        return text_;
    }

   private:
    FILE *file_ = nullptr;
    int saved_ = -1;
    std::string text_;
};
