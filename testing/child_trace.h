// Following a test's child from system call to system call: a power cut at a chosen step,
// a chosen call made to fail, and a record of what changed the files.
#pragma once

#include <sys/types.h>

#include "testing/root_fixture.h"

// Follows the traced child `pid` (stopped by itself at the start) to its end, recording in
// `result` what each call does to the files; kills it as it enters the step-th that changes
// or flushes them (none when `step` is 0), and fails `fault`'s call (none when null).
// `status` is the child's wait status.
void trace_child(pid_t pid, int step, const InjectedFault* fault, int& status, RunResult& result);
