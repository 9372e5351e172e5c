// Test driver of the end-to-end engine tests: one engine_update run with the
// real console and installation callbacks on a URL of the test's choosing
// (file:// mirrors, which the front end never composes), then the result
// and the console's counters on one line.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "frontend/updcons.h"
#include "support/vector.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: engine_driver CONFIG URL [MODULE...]\n");
        return 2;
    }
    char program[] = "engine_driver";
    char conf[] = "-c";
    char *options[] = {program, conf, argv[1], nullptr};
    RunState *state = parse_command_line(3, options);
    if (state == nullptr || state->errors != 0) {
        free_run_state(state);
        return 2;
    }
    EngineContext context{};
    if (fill_engine_context(state, &context) != 0) {
        free_run_state(state);
        return 2;
    }
    // The URL and the selection are the test's, not the configuration's.
    free(context.info_url);
    context.info_url = strdup(argv[2]);
    vector_free(context.modules, 0);
    context.modules = vector_new();
    if (context.info_url == nullptr || context.modules == nullptr) return 2;
    for (int i = 3; i < argc; i++) {
        if (vector_add(context.modules, argv[i]) != 0) return 2;
    }

    const int result = engine_update(&context);
    const bool error_released = context.error == nullptr;
    fflush(stdout);
    printf(
        "\nresult=%d files_to_update=%u modules_installed=%u files_updated=%u "
        "bytes_downloaded=%d self_updated=%d error_released=%d\n",
        result, state->files_to_update, state->modules_installed, state->files_updated,
        state->bytes_downloaded, state->self_updated, error_released ? 1 : 0);
    release_engine_context(&context);
    free_run_state(state);
    return 0;
}
