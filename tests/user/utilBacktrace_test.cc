// Frame-pointer backtraces: frames named through the dynamic loader, from
// any thread, bounded in depth, and safe on a broken chain.

#include <brellis/util.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

extern "C" __attribute__((noinline)) void BacktraceTestProbe(std::vector<std::string> *lines);

namespace {

void Collect(void *data, const char *format, ...) {
  char line[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  static_cast<std::vector<std::string> *>(data)->push_back(line);
}

size_t CountPrefix(const std::vector<std::string> &lines, const std::string &prefix) {
  size_t n = 0;
  for (const auto &l : lines) {
    n += l.rfind(prefix, 0) == 0;
  }
  return n;
}

TEST(BacktraceTest, FramesAreNamedInAnyThread) {
  for (bool inThread : {false, true}) {
    std::vector<std::string> lines;
    if (inThread) {
      std::thread([&] { BacktraceTestProbe(&lines); }).join();
    } else {
      BacktraceTestProbe(&lines);
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Backtrace for bugNr=42\n");
    EXPECT_EQ(lines[1].rfind("Backtrace[0] 0x", 0), 0u) << lines[1];
    size_t frames = CountPrefix(lines, "Backtrace[");
    EXPECT_EQ(CountPrefix(lines, "SymBacktrace["), frames);
    std::string first = lines[1 + frames];
    EXPECT_NE(first.find("in function BacktraceTestProbe in object "), std::string::npos) << first;
    // Full-width addresses: " 0x" and 16 digits.
    EXPECT_EQ(lines[1].find(" eip 0x") - lines[1].find(" 0x"), 19u) << lines[1];
  }
}

__attribute__((noinline)) int Recurse(int depth, std::vector<std::string> *lines) {
  if (depth == 0) {
    Util_BacktraceWithFunc(0, Collect, lines);
    return 0;
  }
  volatile int keep = Recurse(depth - 1, lines);  // no tail call
  return keep + 1;
}

TEST(BacktraceTest, ADeepStackStopsAt256Frames) {
  std::vector<std::string> lines;
  Recurse(400, &lines);
  EXPECT_EQ(CountPrefix(lines, "Backtrace["), 256u);
  EXPECT_EQ(CountPrefix(lines, "SymBacktrace["), 256u);
}

TEST(BacktraceTest, ABrokenChainEndsTheWalkWithoutFaulting) {
  // Frame records on this thread's stack: {saved frame pointer, return
  // address}. Each chain goes wrong at its third record.
  alignas(16) uintptr_t stack[12] = {};
  auto at = [&](int i) { return reinterpret_cast<uintptr_t>(&stack[i]); };
  const uintptr_t wrongNext[] = {
      at(4) + 1,                      // misaligned
      at(0),                          // going down the stack
      uintptr_t{0xdead0000beef0000},  // outside the stack
      0,
  };
  for (uintptr_t next : wrongNext) {
    stack[0] = at(2);
    stack[1] = 0x1111;
    stack[2] = at(4);
    stack[3] = 0x2222;
    stack[4] = next;
    stack[5] = 0x3333;
    std::vector<std::string> lines;
    Util_BacktraceFromPointerWithFunc(&stack[0], Collect, &lines);
    ASSERT_EQ(CountPrefix(lines, "Backtrace["), 3u) << next;
    EXPECT_NE(lines[2].find("eip 0x0000000000003333"), std::string::npos) << lines[2];
  }
  // A starting pointer that is no frame of this stack gives no frames.
  std::vector<std::string> lines;
  uintptr_t heapFrame[2] = {0, 0};
  std::vector<uintptr_t> onHeap(heapFrame, heapFrame + 2);
  Util_BacktraceFromPointerWithFunc(onHeap.data(), Collect, &lines);
  EXPECT_TRUE(lines.empty());
}

}  // namespace

extern "C" __attribute__((noinline)) void BacktraceTestProbe(std::vector<std::string> *lines) {
  Util_BacktraceWithFunc(42, Collect, lines);
  asm volatile("" ::: "memory");  // no tail call: this frame stays on the stack
}
