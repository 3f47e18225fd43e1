// A conversion run: the planned files converted on worker threads, each
// worker with its own pair of AudioFile objects, while the user-interface
// thread stays free. The workers only convert; what they did reaches the
// user-interface thread as news, which it takes when it likes (a few times a
// second) and shows.
//
//   ConversionRun run(jobs, workers, makeParts, convertOne);
//   while (!run.waitForNews(100ms)) show(run.takeNews());
//   show(run.takeNews());          // the last files' ends
//
// Before its first file a run removes, in each folder it writes into, the
// temporaries that earlier runs left when they were killed (see
// replace::removeStale). Cancel stops each worker after its current block
// (the conversion routine looks at the flag between blocks and drops its
// temporary); files not yet begun are reported Cancelled without being
// touched. The destructor cancels and waits for the workers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/conversion.h"
#include "core/components.h"
#include "core/ports.h"

namespace quillet {

struct RunJob {
    size_t row = 0;  // the grid row it came from, 1-based
    std::string source, target;
};

class ConversionRun {
public:
    // Converts one job with a worker's objects, reporting progress after
    // every block and looking at the cancel flag between blocks.
    using ConvertOne = std::function<FileResult(const Components& parts, const RunJob& job,
                                                const std::function<void(const qoro::client::Progress&)>& progress,
                                                const std::atomic<bool>& cancel)>;
    // The objects of one worker, made on its own thread.
    using MakeParts = std::function<Components()>;

    // workers: 0 means one per processor; never more than there are jobs.
    // onEnd, when given, is called on the worker that finished the last job
    // (a front end may post itself a prompt look at the news).
    ConversionRun(std::vector<RunJob> jobs, int workers, MakeParts makeParts, ConvertOne convertOne,
                  std::function<void()> onEnd = {});
    ~ConversionRun();
    ConversionRun(const ConversionRun&) = delete;
    ConversionRun& operator=(const ConversionRun&) = delete;

    void cancel();
    bool cancelled() const { return cancel_.load(); }
    size_t jobCount() const { return jobs_.size(); }
    const RunJob& job(size_t index) const { return jobs_[index]; }
    int workerCount() const { return static_cast<int>(threads_.size()); }

    // What happened since the last take, in the order it happened.
    struct News {
        std::vector<size_t> started;                          // job indexes
        std::vector<std::pair<size_t, FileResult>> finished;  // job index and result
        // The newest progress of every file still being converted.
        std::vector<std::pair<size_t, qoro::client::Progress>> progress;
        bool ended = false;  // every job has finished; nothing more will come
    };
    News takeNews();

    // Waits until there is news or the time is up; true when the run has ended.
    bool waitForNews(std::chrono::milliseconds timeout);

private:
    void removeStaleTemporaries() const;
    void work();

    std::vector<RunJob> jobs_;
    MakeParts makeParts_;
    ConvertOne convertOne_;
    std::function<void()> onEnd_;
    std::atomic<bool> cancel_{false};
    std::atomic<size_t> next_{0};
    std::once_flag cleared_;  // the stale temporaries of the target folders are gone

    std::mutex mutex_;
    std::condition_variable news_;
    News pending_;
    std::vector<std::optional<qoro::client::Progress>> progress_;  // per job, while converting
    size_t finished_ = 0;
    bool fresh_ = false;  // something happened since the last take

    std::vector<std::jthread> threads_;  // last: they start when everything above is ready
};

}  // namespace quillet
