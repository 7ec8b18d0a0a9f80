// The host operating system's identification: a full name for people (it
// ends the header block of every log file) and a short machine-readable
// one, worked out once from the kernel's identification, lsb_release or a
// distribution's release file; and the kernel's version numbers.
//
// Everything here reads text the host provides, so every scan is bounded:
// a release file or a kernel release of unexpected shape yields a default,
// never a read past its end.

#include <brellis/hostinfo.h>
#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/str.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "misc/hostinfoInt.h"

extern "C" {
char HostinfoCachedOSName[HOSTINFO_OS_NAME_SIZE];
char HostinfoCachedOSFullName[HOSTINFO_OS_FULL_NAME_SIZE];
volatile bool HostinfoOSNameCacheValid;
}

namespace {

// Guards the moment the name caches are filled.
std::atomic<bool> osNameSpin{false};

struct OSVersionRecord {
  int32_t version[4];
  char *versionString;
};
std::atomic<OSVersionRecord *> osVersion{nullptr};

// Where the names come from when tests replace them; a plain pointer, so
// no destructor runs at exit.
std::atomic<const HostinfoOSSources *> sources{nullptr};

constexpr const char *kDistroFiles[] = {
    "/etc/redhat-release",    "/etc/redhat_version",        "/etc/sun-release",
    "/etc/SuSE-release",      "/etc/novell-release",        "/etc/sles-release",
    "/etc/debian_version",    "/etc/debian_release",        "/etc/mandrake-release",
    "/etc/mandriva-release",  "/etc/mandrakelinux-release", "/etc/turbolinux-release",
    "/etc/fedora-release",    "/etc/gentoo-release",        "/etc/nld-release",
    "/etc/lsb-release",       "/etc/annvix-release",        "/etc/arch-release",
    "/etc/arklinux-release",  "/etc/aurox-release",         "/etc/blackcat-release",
    "/etc/cobalt-release",    "/etc/conectiva-release",     "/etc/immunix-release",
    "/etc/knoppix_version",   "/etc/lfs-release",           "/etc/linuxppc-release",
    "/etc/mklinux-release",   "/etc/pld-release",           "/etc/slackware-version",
    "/etc/slackware-release", "/etc/e-smith-release",       "/etc/release",
    "/etc/tinysofa-release",  "/etc/ultrapenguin-release",  "/etc/UnitedLinux-release",
    "/etc/va-release",        "/etc/yellowdog-release",
};

constexpr const char *kDistroKeys[] = {
    "DISTRIB_ID=", "DISTRIB_RELEASE=", "DISTRIB_CODENAME=", "DISTRIB_DESCRIPTION="};

constexpr size_t kDistroFileMax = 255;

struct Uname {
  std::string sysname;
  std::string release;
  std::string machine;
};

bool GetUname(Uname *out) {
  const HostinfoOSSources *src = sources.load(std::memory_order_acquire);
  if (src != nullptr && src->fakeUname) {
    out->sysname = src->sysname;
    out->release = src->release;
    out->machine = src->machine;
    return true;
  }
  struct utsname u;
  if (uname(&u) == -1) {
    return false;
  }
  out->sysname = u.sysname;
  out->release = u.release;
  out->machine = u.machine;
  return true;
}

// A decimal number at p, at most 9 digits taken (the rest are skipped), so
// that no kernel text can overflow it. Advances p; false when no digit.
bool ScanNumber(const char *&p, int32_t *value) {
  if (!isdigit(static_cast<unsigned char>(*p))) {
    return false;
  }
  int32_t v = 0;
  int digits = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); p++) {
    if (digits++ < 9) {
      v = v * 10 + (*p - '0');
    }
  }
  *value = v;
  return true;
}

void OSVersionInit() {
  if (osVersion.load(std::memory_order_acquire) != nullptr) {
    return;
  }
  Uname u;
  if (!GetUname(&u)) {
    Log_Info("%s: unable to get host OS version (uname): %s\n", "HostinfoOSVersionInit",
             strerror(errno));
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  auto *record = static_cast<OSVersionRecord *>(calloc(1, sizeof(OSVersionRecord)));
  if (record == nullptr) {
    Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
  }
  // "major.minor.patch" then the rest, as far as it goes; the fourth number
  // is the first one in the rest.
  const char *p = u.release.c_str();
  int converted = 0;
  while (converted < 3 && ScanNumber(p, &record->version[converted])) {
    converted++;
    if (converted < 3 && *p == '.') {
      p++;
    } else {
      break;
    }
  }
  if (converted < 1) {
    Log_Info("%s: unable to parse host OS version string: %s\n", "HostinfoOSVersionInit",
             u.release.c_str());
    free(record);
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  if (converted == 3) {
    while (*p != '\0' && !isdigit(static_cast<unsigned char>(*p))) {
      p++;
    }
    ScanNumber(p, &record->version[3]);
  }
  record->versionString = strdup(u.release.c_str());
  if (record->versionString == nullptr) {
    Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
  }
  OSVersionRecord *expected = nullptr;
  if (!osVersion.compare_exchange_strong(expected, record, std::memory_order_acq_rel)) {
    free(record->versionString);
    free(record);
  }
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char &c : out) {
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// The first line lsb_release prints, without surrounding double quotes;
// empty when it prints nothing.
std::string LsbDescription() {
  const HostinfoOSSources *src = sources.load(std::memory_order_acquire);
  const char *command = src != nullptr ? src->lsbCommand.c_str() : "lsb_release -sd 2>/dev/null";
  FILE *pipe = popen(command, "re");
  if (pipe == nullptr) {
    Log_Info("Unable to get output of command \"%s\"\n", command);
    return "";
  }
  char line[512];
  std::string text;
  if (fgets(line, sizeof line, pipe) != nullptr) {
    text = line;
  }
  // Read to the end so the command never dies of a closed pipe.
  while (fgets(line, sizeof line, pipe) != nullptr) {
  }
  pclose(pipe);
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  if (!text.empty() && text[0] == '"') {
    size_t end = text.find('"', 1);
    text = text.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return text;
}

// The content of one release file, or false when it cannot be used.
bool ReadDistroFile(const std::string &path, std::string *content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat st;
  bool ok = false;
  if (fstat(fd, &st) != 0) {
    Log_Info("%s: could not stat the file %s: %d\n", "HostinfoReadDistroFile", path.c_str(), errno);
  } else if (st.st_size == 0) {
    Log_Info("%s: Cannot work with empty file.\n", "HostinfoReadDistroFile");
  } else if (static_cast<uint64_t>(st.st_size) >= kDistroFileMax) {
    Log_Info("%s: input buffer too small\n", "HostinfoReadDistroFile");
  } else {
    char buf[kDistroFileMax];
    auto size = static_cast<size_t>(st.st_size);
    ssize_t n = read(fd, buf, size);
    if (n != static_cast<ssize_t>(size)) {
      Log_Info("%s: could not read file %s: %d\n", "HostinfoReadDistroFile", path.c_str(), errno);
    } else {
      content->assign(buf, size);
      // Only a line end goes: the last character may be part of the name.
      if (!content->empty() && content->back() == '\n') {
        content->pop_back();
      }
      ok = true;
    }
  }
  close(fd);
  return ok;
}

// The distribution text from the keys of a release file, or the whole
// content when it has none of them.
std::string DistroFromContent(const std::string &content) {
  std::string text;
  bool found = false;
  for (const char *key : kDistroKeys) {
    size_t at = content.find(key);
    if (at == std::string::npos) {
      continue;
    }
    found = true;
    std::string_view value(content);
    value.remove_prefix(at + strlen(key));
    if (!value.empty() && value[0] == '"') {
      value.remove_prefix(1);
      value = value.substr(0, value.find('"'));
    } else {
      size_t end = 0;
      while (end < value.size() && !isspace(static_cast<unsigned char>(value[end]))) {
        end++;
      }
      value = value.substr(0, end);
    }
    text.append(value);
    text += ' ';
  }
  return found ? text : content;
}

bool Has(const std::string &text, const char *what) {
  return text.find(what) != std::string::npos;
}

}  // namespace

void HostinfoSetOSSources(const HostinfoOSSources *replacement) {
  const HostinfoOSSources *copy =
      replacement != nullptr ? new HostinfoOSSources(*replacement) : nullptr;
  delete sources.exchange(copy, std::memory_order_acq_rel);
}

std::string HostinfoGetOSShortName(const std::string &distro, const std::string &fallback) {
  std::string d = Lower(distro);
  auto startsWith = [&](const char *prefix) { return d.rfind(prefix, 0) == 0; };
  if (Has(d, "red hat") && Has(d, "enterprise")) {
    size_t at = d.find("release ");
    const char *p = at == std::string::npos ? "" : d.c_str() + at + strlen("release ");
    int32_t release;
    if (!ScanNumber(p, &release)) {
      Log_Info("%s: could not read Red Hat Enterprise release version\n", "HostinfoGetOSShortName");
      return "rhel";
    }
    return "rhel" + std::to_string(release);
  }
  if (Has(d, "red hat")) return "redhat";
  if (Has(d, "opensuse")) return "opensuse";
  if (Has(d, "suse") && Has(d, "enterprise")) {
    if (Has(d, "server 11") || Has(d, "desktop 11")) return "sles11";
    if (Has(d, "server 10") || Has(d, "desktop 10")) return "sles10";
    return "sles";
  }
  if (Has(d, "suse") && Has(d, "sun")) return "sjds";
  if (Has(d, "suse") && Has(d, "novell")) return "nld9";
  if (Has(d, "suse")) return "suse";
  if (Has(d, "mandrake")) return "mandrake";
  if (Has(d, "turbolinux")) return "turbolinux";
  if (Has(d, "sun")) return "sjds";
  if (Has(d, "annvix")) return "Annvix";
  if (Has(d, "arch")) return "Arch";
  if (Has(d, "arklinux")) return "Arklinux";
  if (Has(d, "asianux server 3") || Has(d, "asianux client 3")) return "asianux3";
  if (Has(d, "asianux server 4") || Has(d, "asianux client 4")) return "asianux4";
  if (Has(d, "aurox")) return "Aurox";
  if (Has(d, "black cat")) return "BlackCat";
  if (Has(d, "cobalt")) return "Cobalt";
  if (startsWith("centos")) return "centos";
  if (Has(d, "conectiva")) return "Conectiva";
  if (Has(d, "debian")) {
    if (Has(d, "4.0")) return "debian4";
    if (Has(d, "5.0")) return "debian5";
    if (Has(d, "6.0")) return "debian6";
    return fallback;
  }
  if (startsWith("enterprise linux") || startsWith("oracle")) return "oraclelinux";
  if (Has(d, "fedora")) return "Fedora";
  if (Has(d, "gentoo")) return "Gentoo";
  if (Has(d, "immunix")) return "Immunix";
  if (Has(d, "linux-from-scratch")) return "Linux-From-Scratch";
  if (Has(d, "linux-ppc")) return "Linux-PPC";
  if (Has(d, "mandriva")) return "mandriva";
  if (Has(d, "mklinux")) return "MkLinux";
  if (Has(d, "pld")) return "PLD";
  if (Has(d, "slackware")) return "Slackware";
  if (Has(d, "sme server")) return "SMEServer";
  if (Has(d, "tiny sofa")) return "Tiny Sofa";
  if (Has(d, "ubuntu")) return "ubuntu";
  if (Has(d, "ultra penguin")) return "UltraPenguin";
  if (Has(d, "united linux")) return "UnitedLinux";
  if (Has(d, "va linux")) return "VALinux";
  if (Has(d, "yellow dog")) return "Yellow Dog";
  return fallback;
}

bool HostinfoComputeOSNames(std::string *shortName, std::string *fullName) {
  Uname u;
  if (!GetUname(&u)) {
    Log_Info("%s: uname failed %d\n", "HostinfoOSData", errno);
    return false;
  }
  if (u.sysname.size() + u.release.size() + 3 > HOSTINFO_OS_FULL_NAME_SIZE) {
    Log_Info("%s: Error: buffer too small\n", "HostinfoOSData");
    return false;
  }
  std::string full = u.sysname + " " + u.release;
  std::string brief;
  if (Has(full, "Linux")) {
    // The kernel's own version decides the default, not the cached record:
    // the names may be asked of a kernel the tests made up.
    const char *p = u.release.c_str();
    int32_t major = 0;
    int32_t minor = 0;
    if (ScanNumber(p, &major) && *p == '.') {
      p++;
      ScanNumber(p, &minor);
    }
    std::string distro;
    if (major < 2 || (major == 2 && minor < 4)) {
      distro = "Other Linux";
      brief = "otherlinux";
    } else if (major == 2 && minor <= 5) {
      distro = "Other Linux 2.4.x kernel";
      brief = "other24xlinux";
    } else {
      distro = "Other Linux 2.6.x kernel";
      brief = "other26xlinux";
    }
    std::string lsb = LsbDescription();
    if (!lsb.empty()) {
      distro = lsb;
    } else {
      const HostinfoOSSources *src = sources.load(std::memory_order_acquire);
      std::string root = src != nullptr ? src->releaseRoot : "";
      std::string content;
      bool found = false;
      for (const char *file : kDistroFiles) {
        if (ReadDistroFile(root + file, &content)) {
          found = true;
          break;
        }
      }
      if (!found) {
        Log_Info("%s: Error: no distro file found\n", "HostinfoOSData");
        return false;
      }
      distro = DistroFromContent(content);
    }
    brief = HostinfoGetOSShortName(distro, brief);
    full += " " + distro;
    if (full.size() + 1 > HOSTINFO_OS_FULL_NAME_SIZE || brief.size() + 1 > HOSTINFO_OS_NAME_SIZE) {
      Log_Info("%s: Error: buffer too small\n", "HostinfoOSData");
      return false;
    }
  } else if (Has(full, "FreeBSD")) {
    if (u.release.substr(0, u.release.find('-')).size() + 8 > HOSTINFO_OS_NAME_SIZE) {
      Log_Info("%s: Error: buffer too small\n", "HostinfoOSData");
      return false;
    }
    brief = "FreeBSD";
  } else if (Has(full, "SunOS")) {
    brief = "solaris";
    const char *r = u.release.c_str();
    if (r[0] == '5' && r[1] == '.' && isdigit(static_cast<unsigned char>(r[2]))) {
      brief += r[2];
      if (isdigit(static_cast<unsigned char>(r[3]))) {
        brief += r[3];
      }
    }
  }
  if (u.machine.find("x86_64") != std::string::npos) {
    brief += "-64";
    if (brief.size() + 1 > HOSTINFO_OS_NAME_SIZE) {
      Log_Info("%s: Error: buffer too small\n", "HostinfoOSData");
      return false;
    }
  }
  while (!full.empty() && (full.back() == '\n' || full.back() == '\r')) {
    full.pop_back();
  }
  *shortName = brief;
  *fullName = full;
  return true;
}

namespace {

bool HostinfoOSData() {
  std::string brief;
  std::string full;
  if (!HostinfoComputeOSNames(&brief, &full)) {
    return false;
  }
  while (osNameSpin.exchange(true, std::memory_order_acquire)) {
  }
  if (!__atomic_load_n(&HostinfoOSNameCacheValid, __ATOMIC_ACQUIRE)) {
    Str_Strcpy(HostinfoCachedOSName, brief.c_str(), sizeof HostinfoCachedOSName);
    Str_Strcpy(HostinfoCachedOSFullName, full.c_str(), sizeof HostinfoCachedOSFullName);
    __atomic_store_n(&HostinfoOSNameCacheValid, true, __ATOMIC_RELEASE);
  }
  osNameSpin.store(false, std::memory_order_release);
  return true;
}

char *CachedCopy(const char *cache) {
  if (!__atomic_load_n(&HostinfoOSNameCacheValid, __ATOMIC_ACQUIRE) && !HostinfoOSData()) {
    return nullptr;
  }
  return strdup(cache);
}

}  // namespace

extern "C" {

char *Hostinfo_OSFullName(void) {
  return CachedCopy(HostinfoCachedOSFullName);
}

char *Hostinfo_OSShortName(void) {
  return CachedCopy(HostinfoCachedOSName);
}

int32_t Hostinfo_OSVersion(int32_t index) {
  if (index < 0 || index > 3) {
    return 0;
  }
  OSVersionInit();
  return osVersion.load(std::memory_order_acquire)->version[index];
}

const char *Hostinfo_OSVersionString(void) {
  OSVersionInit();
  return osVersion.load(std::memory_order_acquire)->versionString;
}

int32_t Hostinfo_GetSystemBitness(void) {
  Uname u;
  if (!GetUname(&u)) {
    return -1;
  }
  return u.machine.find("x86_64") != std::string::npos ? 64 : 32;
}

}  // extern "C"
