// Threads that share the independent pieces of one read (chunks to decode, units to
// decrypt) with the thread that asked for it, so that a single sequential reader uses
// every core.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class PieceWorkers {
 public:
  // The process's workers: one fewer than the machine's cores, started on first use and
  // kept for the life of the process.
  static PieceWorkers& Shared();

  // Runs work(i) for every i below count, on the caller and the workers, and returns
  // when all are done; rethrows the first exception a piece threw.
  void Run(size_t count, const std::function<void(size_t)>& work);

 private:
  struct Job;
  explicit PieceWorkers(unsigned threads);
  void Serve();
  static void Take(Job& job);

  std::mutex lock_;
  std::condition_variable wake_;
  std::vector<Job*> jobs_;  // jobs with pieces not yet taken
  std::vector<std::thread> threads_;
};
