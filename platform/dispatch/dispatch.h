#pragma once
// platform::dispatch: clock, queues, groups, semaphores, timer sources, run
// loops and operation queues. Depends on the standard library only.
#include "platform/dispatch/clock.h"      // IWYU pragma: export
#include "platform/dispatch/operation.h"  // IWYU pragma: export
#include "platform/dispatch/queue.h"      // IWYU pragma: export
#include "platform/dispatch/run_loop.h"   // IWYU pragma: export
#include "platform/dispatch/sync.h"       // IWYU pragma: export
