// Console reporting: the events on the terminal, error texts, the clock,
// and the progress meter.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/error.h"
#include "core/events.h"
#include "frontend/run_state.h"

int ui_event(RunState *state, UiEvent *event);
void report_error(const ErrorRecord *record);
void print_date(FILE *stream);
void print_clock(FILE *stream);
int32_t clock_ms();
void draw_meter(uint32_t from, uint32_t to, char mark);
void print_rate(uint64_t bytes_x1000, int64_t ms);
void meter_progress(RunState *state, const UiFileInfo *info);
void meter_end(RunState *state);
// Tests only: clock_ms() returns ms while ms >= 0; -1 restores the real clock.
void clock_set_for_testing(int32_t ms);
