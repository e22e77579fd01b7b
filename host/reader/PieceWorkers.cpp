#include "PieceWorkers.h"

#include <algorithm>
#include <atomic>

struct PieceWorkers::Job {
  const std::function<void(size_t)>* work;
  size_t count;
  std::atomic<size_t> next{0};
  size_t done = 0;                // under the job's lock
  std::atomic<size_t> workers{0};  // workers inside the job; it outlives them
  std::mutex lock;
  std::condition_variable finished;
  std::exception_ptr failure;
};

PieceWorkers& PieceWorkers::Shared() {
  // Never destroyed: request threads may still be reading while the process ends.
  static PieceWorkers* const workers = new PieceWorkers(std::max(std::thread::hardware_concurrency(), 2u) - 1);
  return *workers;
}

PieceWorkers::PieceWorkers(unsigned threads) {
  for (unsigned i = 0; i < threads; i++) threads_.emplace_back([this] { Serve(); });
  for (std::thread& t : threads_) t.detach();
}

// Runs pieces of the job until none is left to take.
void PieceWorkers::Take(Job& job) {
  for (size_t i; (i = job.next.fetch_add(1)) < job.count;) {
    std::exception_ptr failure;
    try {
      (*job.work)(i);
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard<std::mutex> hold(job.lock);
    if (failure && !job.failure) job.failure = failure;
    if (++job.done == job.count) job.finished.notify_all();
  }
}

void PieceWorkers::Serve() {
  for (;;) {
    Job* job;
    {
      std::unique_lock<std::mutex> hold(lock_);
      wake_.wait(hold, [this] { return !jobs_.empty(); });
      job = jobs_.front();
      if (job->next.load() >= job->count) {  // every piece taken: nothing to join
        jobs_.erase(jobs_.begin());
        continue;
      }
      job->workers++;
    }
    Take(*job);
    const std::lock_guard<std::mutex> hold(job->lock);
    if (--job->workers == 0) job->finished.notify_all();
  }
}

void PieceWorkers::Run(size_t count, const std::function<void(size_t)>& work) {
  if (count <= 1 || threads_.empty()) {
    for (size_t i = 0; i < count; i++) work(i);
    return;
  }
  Job job;
  job.work = &work;
  job.count = count;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    jobs_.push_back(&job);
  }
  wake_.notify_all();
  Take(job);
  {
    const std::lock_guard<std::mutex> hold(lock_);
    jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), &job), jobs_.end());
  }
  // No worker can join once the job is off the list; those inside it finish first.
  std::unique_lock<std::mutex> hold(job.lock);
  job.finished.wait(hold, [&] { return job.done == job.count && job.workers.load() == 0; });
  if (job.failure) std::rethrow_exception(job.failure);
}
