// Work that the calling thread shares with helper threads of its own: each runs the same loop,
// taking pieces until none is left.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace quorel {

// Runs work.work() on up to `threads` threads, the calling one among them (on that one alone for
// 0 or 1), and returns once all of them have returned. A thread the system refuses is done
// without: those there are take every piece all the same. Signals are for the threads of the
// program that reads, not for helpers, which block them all.
template <class Work>
void work_on_threads(std::size_t threads, Work& work) {
    std::vector<std::jthread> helpers;
    try {
        for (std::size_t t = 1; t < threads; ++t) {
            helpers.emplace_back([&work] {
                sigset_t all;
                ::sigfillset(&all);
                ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
                work.work();
            });
        }
    } catch (const std::system_error&) {
    }
    work.work();
}

}  // namespace quorel
