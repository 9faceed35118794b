#ifndef TVX_BESIDE_H
#define TVX_BESIDE_H

#include <future>
#include <system_error>
#include <utility>

// Starts work on a thread of its own and returns its future. Where no thread
// can be started, work runs when its result is asked for instead: the caller
// gets the same result either way, and no exception leaves for want of a
// thread. The future's destructor waits for the work, so whatever it reads
// by reference must be declared before the future.
template <typename Work>
auto startBeside(Work work) -> std::future<decltype(work())>
{
    try {
        return std::async(std::launch::async, work);
    } catch (const std::system_error &) {
        return std::async(std::launch::deferred, std::move(work));
    }
}

#endif // TVX_BESIDE_H
