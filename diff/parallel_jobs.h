// A fixed set of independent jobs spread over a few threads, the caller's among them.
#ifndef DIFF_PARALLEL_JOBS_H
#define DIFF_PARALLEL_JOBS_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace hldiff {

// Runs job(0) .. job(count - 1), each once, on at most `threads` threads. Jobs take their index
// from one counter, so a job that writes only its own slot gives the same result on any number
// of threads. Once every thread is done, the exception of the lowest job index that threw is
// rethrown.
template <class Job>
void run_jobs(size_t count, size_t threads, Job&& job) {
  std::atomic<size_t> next{0};
  std::vector<std::exception_ptr> errors(count);
  auto work = [&] {
    for (size_t j; (j = next.fetch_add(1)) < count;) {
      try {
        job(j);
      } catch (...) {
        errors[j] = std::current_exception();
      }
    }
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < std::clamp<size_t>(threads, 1, std::max<size_t>(count, 1)); ++t)
    pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
}

}  // namespace hldiff

#endif
