// Work shared between threads: the calling thread and up to `threads` - 1
// helpers take chunks of an index range from a shared counter.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

// Calls body(begin, end) for consecutive chunks of `chunk` indices covering
// 0 .. count - 1, on up to `threads` threads. A std::bad_alloc thrown by the
// body on any thread is thrown again here once every thread has stopped.
// When no helper thread can be started the caller does all the work.
template <typename Body>
void parallel_chunks(int threads, int64_t count, int64_t chunk, Body body)
{
    std::atomic<int64_t> next{0};
    std::atomic<bool> no_memory{false};
    auto work = [&]() {
        try {
            for (int64_t begin = next.fetch_add(chunk); begin < count; begin = next.fetch_add(chunk))
                body(begin, std::min(count, begin + chunk));
        } catch (const std::bad_alloc&) {
            no_memory = true;
            next = count;
        }
    };
    // Room for every helper first: a failed allocation once one runs would
    // leave it unjoined.
    std::vector<std::thread> helpers;
    int64_t wanted = std::min<int64_t>(threads, (count + chunk - 1) / chunk);
    helpers.reserve((size_t)std::max<int64_t>(wanted, 0));
    for (int64_t t = 1; t < wanted; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (std::thread& t : helpers)
        t.join();
    if (no_memory)
        throw std::bad_alloc();
}
