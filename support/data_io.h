// Data waits sliced for the spinner, and the readers and writers that the
// copy loop moves data with.
#pragma once

#include "core/context.h"

// Readers return the count read (0 at the end of the data) or -1; writers
// the count written or -1. Both report their own failures.
using Reader = int (*)(EngineContext *context, int descriptor, void *buffer, int length);
using Writer = int (*)(EngineContext *context, int descriptor, const void *buffer, int length);

// 1 when data (or the end) is there, 0 when the time-out ran out, -1 on
// failure; raises the spinner after every slice of the wait.
int wait_for_data(EngineContext *context, int descriptor);
int socket_read(EngineContext *context, int descriptor, void *buffer, int length);
int file_read(EngineContext *context, int descriptor, void *buffer, int length);
int file_write(EngineContext *context, int descriptor, const void *buffer, int length);
