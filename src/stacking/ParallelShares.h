#pragma once

#include <algorithm>
#include <cstddef>

#include <omp.h>

// Splitting a loop over the OpenMP threads in fixed, contiguous shares, so
// that every thread writes only its own range and keeps its own partial sum.

// Up to this many samples a loop stays on the calling thread: opening a
// parallel region costs more than the loop itself.
constexpr std::size_t kParallelThreshold = 10000;

inline bool worthSplitting(std::size_t samples) { return samples > kParallelThreshold; }

struct Share {
    std::size_t begin;
    std::size_t end;
};

// Thread t of T takes floor(count / T) units, the first count mod T threads
// one more, in index order.
inline Share shareOf(std::size_t count, std::size_t thread, std::size_t threads)
{
    const std::size_t base = count / threads;
    const std::size_t extra = count % threads;
    const std::size_t begin = thread * base + std::min(thread, extra);
    return {begin, begin + base + (thread < extra ? 1 : 0)};
}

inline Share shareOfThisThread(std::size_t count)
{
    return shareOf(count, std::size_t(omp_get_thread_num()), std::size_t(omp_get_num_threads()));
}

// Calls body(begin, end) once per thread on its share of [0, count), or once
// on the calling thread for the whole range when parallel is false.
template <typename Body>
void forEachShare(std::size_t count, bool parallel, Body body)
{
    if (!parallel) {
        body(std::size_t(0), count);
        return;
    }
#pragma omp parallel
    {
        const Share share = shareOfThisThread(count);
        body(share.begin, share.end);
    }
}

// As forEachShare, adding up what body returns for each share.
template <typename Total, typename Body>
Total sumOfShares(std::size_t count, bool parallel, Body body)
{
    if (!parallel)
        return body(std::size_t(0), count);
    Total total{};
#pragma omp parallel reduction(+ : total)
    {
        const Share share = shareOfThisThread(count);
        total += body(share.begin, share.end);
    }
    return total;
}
