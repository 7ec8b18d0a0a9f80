/* A C program that finds the installed library through its CMake package. */
#include <brellis/brellis.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  char buf[32];
  int n = Str_Snprintf(buf, sizeof buf, "%d-%s", 42, "ok");
  if (n != 5 || strcmp(buf, "42-ok") != 0) {
    return 1;
  }
  if (strcmp(FileIO_ErrorEnglish(FILEIO_OPEN_ERROR_EXIST), "The file already exists") != 0) {
    return 2;
  }
  puts("consumer ok");
  return 0;
}
