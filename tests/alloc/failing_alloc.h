// Allocation-failure injection. The test executable replaces the global
// operator new/delete and routes libxml2's allocator through the same counter,
// so a call under test can be run with its n-th allocation failing.
//
// Only the thread that armed the injector counts and fails allocations: worker
// threads of a client keep running normally while the caller's thread is
// tortured. Allocations made while armed are tagged; freeing one (on any
// thread) untags it, so outstanding() tells what a call left behind.
#pragma once

#include <gtest/gtest.h>

#include <functional>

namespace kalax::test::alloc {

// Arms this thread: its `fail_at`-th allocation from now on (counting from 1)
// fails, the others succeed; 0 only counts.
void arm(long fail_at);
// Disarms this thread; returns the number of allocations it counted.
long disarm();
// Whether an allocation failed since the last arm().
bool injected();
// Tagged allocations not freed yet.
long outstanding();

// Arms the injector for the lifetime of the object.
class Armed {
public:
    explicit Armed(long fail_at) { arm(fail_at); }
    ~Armed() { disarm(); }
    Armed(const Armed &) = delete;
    Armed &operator=(const Armed &) = delete;
};

// Runs `call` with its n-th allocation failing for n = 1, 2, ... until a run
// ends without a failure having been injected, and hands each result to
// `check(result, failed)`; `before` (unarmed) readies the input of each run.
// With `exact_leaks` every run must leave no tagged allocation behind: warm up
// the tables a call builds once and keeps before asking for that. An
// exception leaving `call` is a fault. Stops at the first fault; returns the
// number of runs, the last one the clean run.
long torture(const std::function<int()> &call, const std::function<void(int result, bool failed)> &check,
             const std::function<void()> &before = {}, bool exact_leaks = true);

}  // namespace kalax::test::alloc
