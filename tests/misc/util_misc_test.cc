// Memory exhaustion inside the standard library ends the process through
// Panic, as it does in the allocation wrappers: no std::bad_alloc reaches a
// caller of the C interface. Each case runs in a freshly started child, so
// that the library has not been used in it before.

#include <brellis/util.h>

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedNew = true;
#elif defined(__has_feature)
constexpr bool kSanitizedNew = __has_feature(address_sanitizer);
#else
constexpr bool kSanitizedNew = false;
#endif

void *volatile sink;

void UseTheLibrary() {
  free(Util_SafeMalloc(-1, 1, __FILE__, __LINE__));
}

// What operator new does when the heap refuses: ask the new-handler, or
// throw when there is none.
void ExhaustTheHeap() {
  if (kSanitizedNew) {
    // The sanitizer's operator new reports a refused allocation itself and
    // never asks the handler; ask it the way operator new would.
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) {
      throw std::bad_alloc();
    }
    handler();
    return;
  }
  volatile size_t huge = SIZE_MAX / 2 + 1;  // beyond what malloc ever grants
  sink = ::operator new(huge);
}

void ProgramsOwnHandler() {
  _exit(7);
}

class NewHandlerTest : public ::testing::Test {
 protected:
  NewHandlerTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(NewHandlerTest, FailingOperatorNewPanicsInsteadOfThrowing) {
  EXPECT_EXIT(
      {
        UseTheLibrary();
        try {
          ExhaustTheHeap();
        } catch (const std::bad_alloc &) {
          _exit(3);
        }
        _exit(4);
      },
      ::testing::ExitedWithCode(255), "MEM_ALLOC lib/misc/util_misc\\.cc:[0-9]+");
}

TEST_F(NewHandlerTest, AProgramsOwnHandlerIsKept) {
  EXPECT_EXIT(
      {
        std::set_new_handler(ProgramsOwnHandler);
        UseTheLibrary();
        ExhaustTheHeap();
        _exit(4);
      },
      ::testing::ExitedWithCode(7), "");
}

}  // namespace
