// The panic path.
//
// For now it reports the message on standard error and in the log and ends
// the process; the backtrace, the core dump and the user message follow with
// the message layer.

#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/str.h>

#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {
std::atomic<int> panicCount{0};
}

extern "C" {

void Panic_Panic(const char *format, va_list ap) {
  char message[1024];
  va_list aq;
  va_copy(aq, ap);
  Str_Vsnprintf(message, sizeof message, format, aq);
  va_end(aq);
  fputs(message, stderr);
  Log_DisableThrottling();
  int previous = panicCount.fetch_add(1);
  if (previous != 0) {
    if (previous == 1) {
      Log_Info("%s", message);
      Log_Info("Panic loop\n");
    }
    static const char loop[] = "Panic loop\n";
    ssize_t ignored = write(STDERR_FILENO, loop, sizeof loop - 1);
    (void)ignored;
    _exit(1);
  }
  Log_Info("%s", message);
  Log_SetKeep(true);
  Log_Info("Exiting\n");
  exit(-1);
}

void Panic(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  Panic_Panic(format, ap);
}

}  // extern "C"
