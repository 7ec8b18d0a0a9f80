// Temporary super-user rights.

#include <brellis/id.h>
#include <brellis/panic.h>

#include <unistd.h>
#include <cerrno>

extern "C" {

uid_t Id_RaiseToSuperUser(void) {
  uid_t ruid, euid, suid;
  if (getresuid(&ruid, &euid, &suid) != 0) {
    Panic("NOT_IMPLEMENTED %s:%d\n", "lib/misc/idLinux", 825);
  }
  if (euid == 0) {
    errno = 0;
    return static_cast<uid_t>(-1);
  }
  if (setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)) != 0) {
    return static_cast<uid_t>(-1);  // errno from the failed switch
  }
  return euid;
}

void Id_DropSuperUser(uid_t previous) {
  if (previous == static_cast<uid_t>(-1) || previous == geteuid()) {
    return;
  }
  if (setresuid(static_cast<uid_t>(-1), previous, static_cast<uid_t>(-1)) != 0) {
    Panic("%s: cannot return from super-user rights to uid %u\n", "Id_DropSuperUser",
          static_cast<unsigned>(previous));
  }
}

}  // extern "C"
