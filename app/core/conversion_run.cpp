#include "core/conversion_run.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "replace/replace.h"

namespace quillet {

ConversionRun::ConversionRun(std::vector<RunJob> jobs, int workers, MakeParts makeParts, ConvertOne convertOne,
                             std::function<void()> onEnd)
    : jobs_(std::move(jobs)),
      makeParts_(std::move(makeParts)),
      convertOne_(std::move(convertOne)),
      onEnd_(std::move(onEnd)),
      progress_(jobs_.size()) {
    if (workers <= 0) workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const size_t count = std::min(static_cast<size_t>(workers), jobs_.size());
    if (count == 0) {
        pending_.ended = true;
        fresh_ = true;
    }
    threads_.reserve(count);
    for (size_t w = 0; w < count; ++w) threads_.emplace_back([this] { work(); });
}

ConversionRun::~ConversionRun() {
    cancel();
    threads_.clear();  // joins
}

void ConversionRun::cancel() { cancel_.store(true); }

void ConversionRun::removeStaleTemporaries() const {
    std::set<std::filesystem::path> folders;
    for (const RunJob& job : jobs_) {
        const std::filesystem::path target = qoro::replace::finalTarget(job.target);
        folders.insert(target.has_parent_path() ? target.parent_path() : std::filesystem::path("."));
    }
    for (const auto& folder : folders) qoro::replace::removeStale(folder);
}

void ConversionRun::work() {
    // The first worker clears the way; the others wait for it before their first file.
    std::call_once(cleared_, [this] { removeStaleTemporaries(); });
    ComApartment apartment;  // this worker's objects live here
    const Components parts = makeParts_();
    for (size_t index; (index = next_.fetch_add(1)) < jobs_.size();) {
        const RunJob& job = jobs_[index];
        FileResult result;
        if (cancel_.load()) {
            result = {job.source, job.target, FileResult::Cancelled, 0, "cancelled before it began"};
        } else {
            {
                std::lock_guard lock(mutex_);
                pending_.started.push_back(index);
                fresh_ = true;
            }
            news_.notify_all();
            const auto progress = [this, index](const qoro::client::Progress& p) {
                // Progress alone wakes nobody: the reader takes it at its own pace.
                std::lock_guard lock(mutex_);
                progress_[index] = p;
            };
            result = convertOne_(parts, job, progress, cancel_);
        }
        bool ended;
        {
            std::lock_guard lock(mutex_);
            progress_[index].reset();
            pending_.finished.emplace_back(index, std::move(result));
            ended = pending_.ended = ++finished_ == jobs_.size();
            fresh_ = true;
        }
        news_.notify_all();
        if (ended && onEnd_) onEnd_();
    }
}

ConversionRun::News ConversionRun::takeNews() {
    std::lock_guard lock(mutex_);
    News news = std::move(pending_);
    pending_ = News{};
    pending_.ended = news.ended;
    for (size_t i = 0; i < progress_.size(); ++i)
        if (progress_[i]) news.progress.emplace_back(i, *progress_[i]);
    fresh_ = false;
    return news;
}

bool ConversionRun::waitForNews(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    news_.wait_for(lock, timeout, [this] { return fresh_; });
    return pending_.ended;
}

}  // namespace quillet
