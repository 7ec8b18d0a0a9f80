// Running one body in several threads at once, so that they race.
#ifndef TESTS_SUPPORT_TOGETHER_H
#define TESTS_SUPPORT_TOGETHER_H

#include <atomic>
#include <thread>
#include <vector>

namespace testsupport {

// Runs body(index) in n threads released together, each kept alive until
// every one has returned (no thread ends, and gives back what it holds,
// while another still runs); returns what each returned, by index.
template <typename Body>
auto RunTogether(int n, Body body) {
  using Result = decltype(body(0));
  std::vector<Result> results(static_cast<size_t>(n));
  std::atomic<int> ready{0};
  std::atomic<int> done{0};
  auto await = [n](std::atomic<int> &count) {
    count++;
    while (count.load() < n) {
      std::this_thread::yield();
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < n; i++) {
    threads.emplace_back([&, i] {
      await(ready);
      results[static_cast<size_t>(i)] = body(i);
      await(done);
    });
  }
  for (auto &t : threads) {
    t.join();
  }
  return results;
}

}  // namespace testsupport

#endif
