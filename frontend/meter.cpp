// The download meter with its rates, the millisecond clock and the two
// time stamps of the console. The meter's pieces are only printed; each
// event's output reaches the console with one flush when it is complete.
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "core/clock.h"
#include "frontend/console.h"

namespace {

constexpr uint32_t kLineBytes = 51200;  // one meter line: 50 marks of 1 KB
constexpr char kUnits[] = " KMGT";

struct timeval clock_base = {0, 0};
int32_t frozen_ms = -1;

void print_header(int32_t lines) {
    printf("% 5dK ", lines * 50);
}

void print_percent(const RunState *state) {
    if (state->size != 0) {
        printf("  %2d%% @", static_cast<int>(state->done * 100.0 / state->size));
    }
}

void meter_start(RunState *state, const FileEvent &file, int32_t now) {
    const uint32_t pos = static_cast<uint32_t>(file.done);
    state->file_start_ms = state->line_start_ms = state->last_ms = now;
    state->column = 0;
    state->size = file.size;
    if (file.name != nullptr) printf("Getting file %s\n", file.name);
    // A resumed copy starts with the part already on disk accounted for; the
    // next progress event draws that part with commas.
    // The resynchronisation prints the header of a partly filled line.
    state->done = pos;
    state->lines = static_cast<int32_t>(pos / kLineBytes);
    state->header_line = state->lines + (pos % kLineBytes != 0 ? 1 : 0);
}

void put_clock(FILE *stream) {
    const time_t now = static_cast<time_t>(wall_seconds());
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) return;
    fprintf(stream, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
}

}  // namespace

void clock_set_for_testing(int32_t ms) {
    frozen_ms = ms;
}

int32_t clock_ms() {
    if (frozen_ms >= 0) return frozen_ms;
    if (clock_base.tv_sec == 0 && clock_base.tv_usec == 0) gettimeofday(&clock_base, nullptr);
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) return -1;
    const int64_t ms = (static_cast<int64_t>(now.tv_sec) - clock_base.tv_sec) * 1000 +
                       (static_cast<int64_t>(now.tv_usec) - clock_base.tv_usec) / 1000;
    return static_cast<int32_t>(ms);
}

void print_date(FILE *stream) {
    const time_t now = static_cast<time_t>(wall_seconds());
    char buffer[64];
    if (ctime_r(&now, buffer) != nullptr) fprintf(stream, "%.24s", buffer);
    fflush(stream);
}

void print_clock(FILE *stream) {
    put_clock(stream);
    fflush(stream);
}

void draw_meter(uint32_t from, uint32_t to, char mark) {
    for (uint32_t k = from / 1024; k < to / 1024; k++) {
        if (k % 10 == 0) putchar(' ');
        putchar(mark);
    }
}

void print_rate(uint64_t bytes_x1000, int64_t ms) {
    double value = static_cast<double>(bytes_x1000) / static_cast<double>(ms == 0 ? 1 : ms);
    int unit = 0;
    while (value > 1024.0 && kUnits[unit + 1] != '\0') {
        value /= 1024;
        unit++;
    }
    printf("% 4.1f %cB/s", value, kUnits[unit]);
}

void meter_progress(RunState *state, const FileEvent &file) {
    const int32_t now = clock_ms();
    const uint32_t pos = static_cast<uint32_t>(file.done);
    if (pos == 0 || file.name != nullptr) {
        meter_start(state, file, now);
        return;
    }
    uint32_t delta = pos - state->done;
    if (delta == 0) return;
    const uint32_t event_bytes = delta;
    const int32_t elapsed = now - state->last_ms;

    // An error or a closed connection reset the column: redraw what is on disk.
    const uint32_t on_line = state->done % kLineBytes;
    if (state->column != on_line) {
        print_header(state->lines);
        draw_meter(state->column, on_line, ',');
        state->column = on_line;
    }

    // An event may finish several lines: each is drawn as if the bytes had
    // come in small steps, its rate from the share of the event's time up to
    // the moment its last byte came.
    while (state->column + static_cast<uint64_t>(delta) >= kLineBytes) {
        if (state->column == 0 && state->header_line == state->lines) {
            print_header(state->lines);
            state->header_line = state->lines + 1;
        }
        const uint32_t rest = kLineBytes - state->column;
        delta -= rest;
        const int32_t finished =
            state->last_ms +
            static_cast<int32_t>(static_cast<int64_t>(event_bytes - delta) * elapsed / event_bytes);
        draw_meter(state->column, kLineBytes, '.');
        state->done += rest;
        print_percent(state);
        print_rate(static_cast<uint64_t>(kLineBytes) * 1000, finished - state->line_start_ms);
        printf("\n");
        state->column = 0;
        state->line_start_ms = finished;
        state->lines++;
    }

    if (state->column == 0 && state->header_line == state->lines) {
        print_header(state->lines);
        state->header_line = state->lines + 1;
    }
    draw_meter(state->column, state->column + delta, '.');
    // Drawn whole, then shown: one write per event rather than per piece.
    fflush(stdout);
    state->column += delta;
    state->done = pos;
    state->last_ms = now;
}

void meter_end(RunState *state) {
    const int32_t now = clock_ms();
    draw_meter(state->column, kLineBytes, ' ');
    printf(" 100%% @");
    print_rate(static_cast<uint64_t>(state->column) * 1000, now - state->line_start_ms);
    printf("\n");
    put_clock(stdout);
    printf(" (");
    print_rate(static_cast<uint64_t>(state->done) * 1000, now - state->file_start_ms);
    printf(") [%d]\n", static_cast<int32_t>(state->done));
    fflush(stdout);
}
