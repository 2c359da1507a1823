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

// Runs work(t) on up to `threads` threads, t = 0 on the calling one and 1, 2, ... on the others
// (on the calling one alone for 0 or 1), and returns once all of them have returned. A thread the system refuses is done
// without: those there are take every piece all the same. Signals are for the threads of the
// program that reads, not for helpers, which block them all.
template <class Work>
void work_on_threads(std::size_t threads, const Work& work) {
    std::vector<std::jthread> helpers;
    try {
        for (std::size_t t = 1; t < threads; ++t) {
            helpers.emplace_back([&work, t] {
                sigset_t all;
                ::sigfillset(&all);
                ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
                work(t);
            });
        }
    } catch (const std::system_error&) {
    }
    work(std::size_t{0});
}

}  // namespace quorel
