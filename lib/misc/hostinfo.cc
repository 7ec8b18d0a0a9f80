// The host operating system's identification.
//
// The full name is the kernel's own: its system name and release as uname
// reports them. Distribution details are not looked up.

#include <brellis/hostinfo.h>
#include <brellis/log.h>
#include <brellis/str.h>

#include <sys/utsname.h>
#include <cerrno>
#include <cstring>

extern "C" {

char *Hostinfo_OSFullName(void) {
  struct utsname u;
  if (uname(&u) == -1) {
    Log_Info("%s: uname failed %d\n", "Hostinfo_OSFullName", errno);
    return nullptr;
  }
  char *name = Str_Asprintf(nullptr, "%s %s", u.sysname, u.release);
  if (name != nullptr) {
    // A line end would break the log header line that shows the name.
    name[strcspn(name, "\n")] = '\0';
  }
  return name;
}

}  // extern "C"
