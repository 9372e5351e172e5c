// Helpers of the engine tests: an engine context whose callbacks log every
// event and installation call, record builders, signing with the test key.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/update.h"
#include "integrity/md5.h"
#include "integrity/number.h"
#include "integrity/rsa.h"
#include "../integrity/integrity_test_util.h"

namespace engine_test {

#include "../integrity/number_vectors.inc"

inline void write_text(const std::string &path, const std::string &data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

inline void md5_of(const std::string &data, uint8_t *digest) {
    Md5Context md5;
    md5_init(&md5);
    md5_update(&md5, data.data(), static_cast<uint32_t>(data.size()));
    md5_final(digest, &md5);
}

inline std::string md5_hex_of(const std::string &data) {
    uint8_t digest[kMd5DigestSize];
    md5_of(data, digest);
    char hex[kMd5HexSize];
    md5_hex(hex, digest);
    return hex;
}

// The payload followed by its 128-byte signature under the test key.
inline std::string signed_with_test_key(const std::string &payload) {
    uint8_t digest[kMd5DigestSize];
    md5_of(payload, digest);
    Number value;
    number_from_bytes(&value, digest, kMd5DigestSize);
    Number d = number_from_hex(kTestKeyPrivate);
    Number n = number_from_hex(kTestKeyModulus);
    EXPECT_EQ(number_modexp(&value, &d, &n), 0);
    std::string signature(kRsaSignatureSize, '\0');
    uint32_t size = kRsaSignatureSize;
    EXPECT_EQ(number_to_bytes(&value, reinterpret_cast<uint8_t *>(signature.data()), &size), 0);
    return payload + signature;
}

// Makes the engine trust the test key for the lifetime of the guard.
class TestKeyGuard {
   public:
    TestKeyGuard() : saved_(rsa_public_key) {
        key_.exponent.words[0] = 65537;
        key_.modulus = number_from_hex(kTestKeyModulus);
        rsa_public_key = &key_;
    }
    ~TestKeyGuard() { rsa_public_key = saved_; }

   private:
    RsaKey key_{};
    const RsaKey *saved_;
};

struct Event {
    int code = 0;
    std::string name;  // sitepath, module name or protocol line
    std::string temp;
    int32_t status = 0;
    int32_t done = 0;
    int32_t words[2] = {0, 0};  // UI_RETRY
    ErrorRecord error{};
    std::string call;  // the error's call, copied while it is valid
};

struct Install {
    int mode;
    std::string temp;
    std::string local;
};

// An engine context whose callbacks log into this object. expand_path
// replaces "${ROOT}" by root; install_file copies in mode 1 and 2.
class Harness {
   public:
    Harness() {
        context.ui_event = &Harness::on_event;
        context.expand_path = &Harness::on_expand;
        context.install_file = &Harness::on_install;
        context.run_state = reinterpret_cast<RunState *>(this);
        context.tries = 1;
        context.modules = vector_new();
    }
    ~Harness() {
        if (context.modules != nullptr) vector_free(context.modules, 1);
    }
    Harness(const Harness &) = delete;
    Harness &operator=(const Harness &) = delete;

    void select(const char *name) { vector_add(context.modules, strdup(name)); }
    void clear_selection() {
        vector_free(context.modules, 1);
        context.modules = vector_new();
    }

    std::vector<Event> of(int code) const {
        std::vector<Event> found;
        for (const Event &event : events)
            if (event.code == code) found.push_back(event);
        return found;
    }
    size_t count(int code) const { return of(code).size(); }
    std::vector<std::string> names(int code) const {
        std::vector<std::string> found;
        for (const Event &event : of(code)) found.push_back(event.name);
        return found;
    }
    // Exactly one UI_ERROR, raised by call; with a code, an update error of it.
    ::testing::AssertionResult one_error(const std::string &call, int32_t code = 0) const {
        std::vector<Event> errors = of(UI_ERROR);
        if (errors.size() != 1) return ::testing::AssertionFailure() << errors.size() << " errors";
        const Event &seen = errors[0];
        if (seen.call == call &&
            (code == 0 || (seen.error.class_ == ERR_UPDATE && seen.error.code == code)))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "error " << seen.error.class_ << "/" << seen.error.code << " of " << seen.call;
    }

    EngineContext context{};
    std::string root;
    std::vector<Event> events;
    std::vector<Install> installs;
    std::function<int(const Event &)> answer;
    std::function<int(const Install &)> install_result;

   private:
    static int on_event(RunState *state, UiEvent *event) {
        auto *self = reinterpret_cast<Harness *>(state);
        Event seen;
        seen.code = event->code;
        if (ui_carries_file_info(event->code) && event->data != nullptr) {
            const auto *info = static_cast<const UiFileInfo *>(event->data);
            if (info->name != nullptr) seen.name = info->name;
            if (info->temp != nullptr) seen.temp = info->temp;
            seen.status = info->status;
            seen.done = info->done;
        } else if (event->code == UI_INSTALL_MODULE) {
            seen.name = static_cast<const char *>(event->data);
        } else if (event->code == UI_RETRY) {
            seen.words[0] = static_cast<const int32_t *>(event->data)[0];
            seen.words[1] = static_cast<const int32_t *>(event->data)[1];
        } else if (event->code == UI_CONNECTING) {
            seen.name = static_cast<const UiPeers *>(event->data)->remote_host;
        } else if (event->code == UI_ERROR) {
            seen.error = *static_cast<const ErrorRecord *>(event->data);
            if (seen.error.call != nullptr) seen.call = seen.error.call;
        }
        self->events.push_back(seen);
        return self->answer ? self->answer(seen) : 0;
    }

    static int on_expand(RunState *state, char **path) {
        auto *self = reinterpret_cast<Harness *>(state);
        std::string text = *path;
        const std::string marker = "${ROOT}";
        for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker))
            text.replace(at, marker.size(), self->root);
        char *expanded = strdup(text.c_str());
        if (expanded == nullptr) return -1;
        free(*path);
        *path = expanded;
        return 0;
    }

    static int on_install(RunState *state, int mode, const char *temp, const char *local) {
        auto *self = reinterpret_cast<Harness *>(state);
        Install call{mode, temp, local};
        self->installs.push_back(call);
        if (self->install_result) return self->install_result(call);
        if (mode == 0) return exists(temp) ? 0 : -1;
        write_text(local, read_text(temp));
        return 0;
    }
};

inline FileRecord *make_file(const std::string &sitepath, const std::string &localpath,
                             const std::string &content = "", int32_t order = 0) {
    FileRecord *file = file_new();
    file->sitepath = strdup(sitepath.c_str());
    file->localpath = strdup(localpath.c_str());
    file->size = static_cast<int32_t>(content.size());
    file->order = order;
    if (!content.empty()) md5_unhex(file->md5, md5_hex_of(content).c_str());
    return file;
}

inline ModuleRecord *make_module(KitRecord *kit, const char *name,
                                 std::vector<const char *> requires_ = {},
                                 std::vector<const char *> needs = {}) {
    ModuleRecord *module = module_new();
    module->name = strdup(name);
    for (const char *required : requires_) module_add_requirement(module, strdup(required));
    for (const char *needed : needs) record_append(&module->needs, strdup(needed));
    if (kit != nullptr) kit_add_module(kit, module);
    return module;
}

// A scratch tree (tmp/, mirror/sub/, root/bin/) and a harness whose context
// takes its temporary copies from tmp/ and its catalogue from the mirror.
class EngineFixture : public ::testing::Test {
   protected:
    EngineFixture() {
        for (const char *sub : {"tmp", "mirror/sub", "root/bin"})
            std::filesystem::create_directories(dir.file(sub));
        h.root = dir.file("root");
        h.context.temp_dir = temp_dir.data();
        h.context.info_url = url.data();
        h.context.error = &error;
    }
    ScratchDir dir;
    std::string temp_dir = dir.file("tmp"), url = "file://" + dir.file("mirror/qavoe.info");
    Harness h;
    ErrorRecord error{};
};

}  // namespace engine_test
