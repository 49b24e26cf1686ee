#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace reader {

// For a sequence whose length is not known ahead, such as a video's frames:
// produce(&item) gives the items one after the other on a thread of its
// own, until it returns false; work(index, std::move(item)) runs on up to
// `workers` threads; deliver(index, result) on the calling thread, in index
// order, as soon as it and all before it are done. No more than `window`
// items are produced ahead of the next one to deliver, so memory stays flat
// however many there are. An exception from produce, work or deliver stops
// the run and is rethrown here once the threads have ended.
template <typename Item, typename Result, typename Produce, typename Work, typename Deliver>
void streamInOrder(unsigned workers, std::size_t window, Produce produce, Work work, Deliver deliver)
{
    const std::size_t ahead = window > 0 ? window : 1;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<std::size_t, Item>> queue;
    std::size_t produced = 0;
    bool producerDone = false;
    std::size_t nextToDeliver = 0;
    std::map<std::size_t, std::pair<Result, std::exception_ptr>> done;
    bool stopping = false;
    std::exception_ptr producerFailure;

    const auto producerLoop = [&] {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stopping || produced < nextToDeliver + ahead; });
                if (stopping) {
                    producerDone = true;
                    break;
                }
            }
            Item item{};
            bool more = false;
            std::exception_ptr failure;
            try {
                more = produce(&item);
            } catch (...) {
                failure = std::current_exception();
            }
            {
                const std::lock_guard<std::mutex> lock(mutex);
                if (more) {
                    queue.emplace_back(produced++, std::move(item));
                } else {
                    producerDone = true;
                    producerFailure = failure;
                }
            }
            changed.notify_all();
            if (!more) {
                return;
            }
        }
        changed.notify_all();
    };

    const auto workerLoop = [&] {
        for (;;) {
            std::pair<std::size_t, Item> job;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stopping || !queue.empty() || producerDone; });
                if (stopping || queue.empty()) {
                    return;
                }
                job = std::move(queue.front());
                queue.pop_front();
            }
            std::pair<Result, std::exception_ptr> outcome;
            try {
                outcome.first = work(job.first, std::move(job.second));
            } catch (...) {
                outcome.second = std::current_exception();
            }
            {
                const std::lock_guard<std::mutex> lock(mutex);
                done.emplace(job.first, std::move(outcome));
            }
            changed.notify_all();
        }
    };

    const auto stopAndJoin = [&](std::vector<std::thread>* threads) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        for (std::thread& thread : *threads) {
            thread.join();
        }
        threads->clear();
    };

    std::vector<std::thread> threads;
    for (unsigned i = 0; i < workers; ++i) {
        try {
            threads.emplace_back(workerLoop);
        } catch (const std::system_error&) {
            break;  // fewer threads, or none: see below
        }
    }
    bool producing = false;
    if (!threads.empty()) {
        try {
            threads.emplace_back(producerLoop);
            producing = true;
        } catch (const std::system_error&) {
            stopAndJoin(&threads);
        }
    }
    if (!producing) {
        // No threads to be had: one item at a time, here.
        Item item{};
        for (std::size_t i = 0; produce(&item); ++i) {
            deliver(i, work(i, std::move(item)));
            item = Item{};
        }
        return;
    }

    std::exception_ptr failure;
    for (std::size_t i = 0; !failure; ++i) {
        std::pair<Result, std::exception_ptr> outcome;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return done.count(i) != 0 || (producerDone && i >= produced); });
            const auto found = done.find(i);
            if (found == done.end()) {
                failure = producerFailure;
                break;
            }
            outcome = std::move(found->second);
            done.erase(found);
            nextToDeliver = i + 1;
        }
        changed.notify_all();
        failure = outcome.second;
        if (!failure) {
            try {
                deliver(i, std::move(outcome.first));
            } catch (...) {
                failure = std::current_exception();
            }
        }
    }
    stopAndJoin(&threads);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

// Runs work(i) for i in 0..count-1 on up to `workers` threads and hands each
// result to deliver(i, result) on the calling thread, in index order, as
// soon as it and all before it are done. No more than `window` items are
// started ahead of the next one to deliver, so memory stays flat however
// many there are. An exception from work or deliver stops the run and is
// rethrown here once the threads have ended.
template <typename Result, typename Work, typename Deliver>
void runInOrder(std::size_t count, unsigned workers, std::size_t window, Work work, Deliver deliver)
{
    // The items are the indices themselves.
    std::size_t next = 0;
    streamInOrder<std::size_t, Result>(
        workers, window,
        [&next, count](std::size_t* index) {
            if (next >= count) {
                return false;
            }
            *index = next++;
            return true;
        },
        [&work](std::size_t /*index*/, std::size_t item) { return work(item); }, deliver);
}

}  // namespace reader
