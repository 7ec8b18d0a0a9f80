/* A C program that finds the installed library through its CMake package. */
#include <brellis/brellis.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

static int queued;

static void OnSignal(int32_t signo, void *info, void *context, void *clientData) {
  (void)info;
  queued = signo == SIGUSR1 && context == NULL && clientData == &queued;
}

int main(void) {
  char buf[32];
  int n = Str_Snprintf(buf, sizeof buf, "%d-%s", 42, "ok");
  if (n != 5 || strcmp(buf, "42-ok") != 0) {
    return 1;
  }
  if (strcmp(FileIO_ErrorEnglish(FILEIO_OPEN_ERROR_EXIST), "The file already exists") != 0) {
    return 2;
  }
  /* The dispatcher from C: a queued signal waits for the program's loop. */
  if (!Sig_Init()) {
    return 3;
  }
  Sig_Callback(SIGUSR1, SIG_TYPE_QUEUED, OnSignal, &queued);
  raise(SIGUSR1);
  if (queued || Sig_QueueFd() < 0) {
    return 4;
  }
  SigReadQueue();
  if (!queued) {
    return 5;
  }
  puts("consumer ok");
  return 0;
}
