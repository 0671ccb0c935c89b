// The detached-thread launcher's inside: the variant that tells whether the thread started, and
// the routines every launched thread runs. Library-internal; none of it is exported.
#ifndef SELKO_DETACHED_THREAD_H
#define SELKO_DETACHED_THREAD_H

#include <functional>

// Runs a copy of `block` once on a new detached thread, like selko_detachNewThreadWithBlock,
// and says whether the thread was created. On false the copy is freed and never run, and errno
// holds the cause (pthread_create's error; ENOMEM when the copy could not be made; EINVAL for an
// empty callable, which would have nothing to run).
bool selko__tryDetachNewThreadWithBlock(std::function<void()> block) noexcept;

// The entry routine of every launched thread; `copy` is the thread's heap-held callable.
void* selko__block_start__(void* copy) noexcept;

// Destructor of the thread-specific key that holds each thread's callable: releases the copy as
// its thread exits, after the callable has returned.
void selko__block_dispose(void* copy) noexcept;

#endif
