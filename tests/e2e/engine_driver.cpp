// Test driver of the end-to-end tests: one engine_update run with the real console and installer on
// a URL of the test's choosing (file:// mirrors, which the front end never composes), then the
// result and its counts on one line.
#include <cstdio>

#include "engine/engine.h"
#include "frontend/cmdline.h"
#include "frontend/runctl.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: engine_driver CONFIG URL\n");
        return 2;
    }
    char program[] = "engine_driver", conf[] = "-c";
    char *options[] = {program, conf, argv[1], nullptr};
    std::unique_ptr<RunState> state = parse_command_line(3, options);
    if (state == nullptr || state->errors != 0) return 2;
    std::optional<EngineSettings> settings = engine_settings(state->settings);
    if (!settings) return 2;
    settings->mirror_urls = {argv[2]};
    EngineContext context(*settings);
    engine_services(*state, context);
    const UpdateResult result = engine_update(&context);
    fflush(stdout);
    printf("\nresult=%d files_to_update=%u modules_installed=%u files_updated=%u\n", result.status,
           result.files_to_update, result.modules_installed, result.files_updated);
    return 0;
}
