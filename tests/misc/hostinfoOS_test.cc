// The operating system's names, from made-up kernels, lsb_release outputs
// and release files, and on this host against its own records.

#include <gtest/gtest.h>

#include <brellis/hostinfo.h>

#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "misc/hostinfoInt.h"
#include "support/tempDir.h"

namespace {

class OSNameTest : public ::testing::Test {
 protected:
  OSNameTest() { mkdir((tmp / "etc").c_str(), 0755); }
  ~OSNameTest() override { HostinfoSetOSSources(nullptr); }

  // Names of a made-up host: kernel release and machine, the text
  // lsb_release prints (none when empty) and release files under etc/.
  bool Names(const std::string &release, const std::string &machine, const std::string &lsb) {
    HostinfoOSSources src;
    src.releaseRoot = tmp.path();
    src.lsbCommand = lsb.empty() ? "true" : "printf '%s\\n' '" + lsb + "'";
    src.fakeUname = true;
    src.sysname = "Linux";
    src.release = release;
    src.machine = machine;
    HostinfoSetOSSources(&src);
    return HostinfoComputeOSNames(&shortName, &fullName);
  }
  void File(const std::string &name, const std::string &content) {
    ASSERT_TRUE(testsupport::WriteFile(tmp / ("etc/" + name), content));
  }

  testsupport::TempDir tmp;
  std::string shortName;
  std::string fullName;
};

TEST_F(OSNameTest, LsbReleaseNamesTheDistribution) {
  ASSERT_TRUE(Names("3.2.0-4-amd64", "x86_64", "Ubuntu 10.04.4 LTS"));
  EXPECT_EQ(fullName, "Linux 3.2.0-4-amd64 Ubuntu 10.04.4 LTS");
  EXPECT_EQ(shortName, "ubuntu-64");
  // Surrounding quotes go; a distribution no rule knows keeps the kernel's
  // default, as does a Debian release without a rule of its own.
  ASSERT_TRUE(Names("2.6.32", "i686", "\"Fedora release 14\""));
  EXPECT_EQ(fullName, "Linux 2.6.32 Fedora release 14");
  EXPECT_EQ(shortName, "Fedora");
  ASSERT_TRUE(Names("2.4.20", "i686", "Debian 7.0"));
  EXPECT_EQ(shortName, "other24xlinux");
  ASSERT_TRUE(Names("2.2.14", "i686", "Plan Nine"));
  EXPECT_EQ(shortName, "otherlinux");
}

TEST_F(OSNameTest, ReleaseFilesInTheirOrderWhenLsbReleaseSaysNothing) {
  EXPECT_FALSE(Names("5.10.0", "x86_64", ""));  // no file at all: no names
  File("debian_version", "6.0.1\n");
  File("redhat-release", "Red Hat Enterprise Linux Server release 5.8 (Tikanga)\n");
  ASSERT_TRUE(Names("2.6.18", "i686", ""));
  EXPECT_EQ(fullName, "Linux 2.6.18 Red Hat Enterprise Linux Server release 5.8 (Tikanga)");
  EXPECT_EQ(shortName, "rhel5");
  // A file too large is passed over for the next one; only a line end is
  // taken off a file's text.
  File("redhat-release", std::string(255, 'x'));
  ASSERT_TRUE(Names("2.6.32", "x86_64", ""));
  EXPECT_EQ(fullName, "Linux 2.6.32 6.0.1");
  EXPECT_EQ(shortName, "other26xlinux-64");
  File("redhat-release", "Red Hat Enterprise Linux release 6");
  ASSERT_TRUE(Names("2.6.32", "i686", ""));
  EXPECT_EQ(shortName, "rhel6");
}

TEST_F(OSNameTest, KeyedReleaseFileGivesItsValuesInKeyOrder) {
  File("lsb-release",
       "DISTRIB_DESCRIPTION=\"Ubuntu 10.04.4 LTS\"\nDISTRIB_ID=Ubuntu\nDISTRIB_RELEASE=10.04\n"
       "DISTRIB_CODENAME=lucid\n");
  ASSERT_TRUE(Names("2.6.32", "x86_64", ""));
  EXPECT_EQ(fullName, "Linux 2.6.32 Ubuntu 10.04 lucid Ubuntu 10.04.4 LTS ");
  EXPECT_EQ(shortName, "ubuntu-64");
}

TEST(OSShortName, FirstMatchingRuleWins) {
  const std::pair<const char *, const char *> cases[] = {
      {"Red Hat Enterprise Linux AS", "rhel"},
      {"Red Hat Linux release 9", "redhat"},
      {"SUSE Linux Enterprise Server 11 (x86_64)", "sles11"},
      {"SUSE LINUX Enterprise Desktop 10", "sles10"},
      {"openSUSE 11.4", "opensuse"},
      {"Novell Linux Desktop 9 SuSE", "nld9"},
      {"CentOS release 5.5", "centos"},
      {"Linux CentOS", "default"},
      {"Oracle Linux Server 6", "oraclelinux"},
      {"Asianux Server 3", "asianux3"},
      {"Debian GNU/Linux 5.0.4", "debian5"},
      {"Sun Java Desktop System", "sjds"},
      {"Yellow Dog Linux", "Yellow Dog"},
  };
  for (const auto &[distro, expected] : cases) {
    EXPECT_EQ(HostinfoGetOSShortName(distro, "default"), expected) << distro;
  }
}

TEST(OSNames, ThisHostAgainstItsOwnRecords) {
  struct utsname u;
  ASSERT_EQ(uname(&u), 0);
  char *full = Hostinfo_OSFullName();
  char *brief = Hostinfo_OSShortName();
  ASSERT_NE(full, nullptr);
  ASSERT_NE(brief, nullptr);
  std::string kernel = std::string(u.sysname) + " " + u.release + " ";
  EXPECT_EQ(std::string(full).rfind(kernel, 0), 0u) << full;
  // lsb_release tells the distribution's own pretty name.
  std::ifstream osRelease("/etc/os-release");
  std::string line;
  while (std::getline(osRelease, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0 && system("command -v lsb_release >/dev/null") == 0) {
      std::string pretty = line.substr(strlen("PRETTY_NAME="));
      if (!pretty.empty() && pretty[0] == '"') {
        pretty = pretty.substr(1, pretty.find('"', 1) - 1);
      }
      EXPECT_EQ(std::string(full), kernel + pretty);
    }
  }
  EXPECT_EQ(std::string(brief).ends_with("-64"), std::string(u.machine) == "x86_64") << brief;
  EXPECT_TRUE(HostinfoOSNameCacheValid);
  EXPECT_STREQ(HostinfoCachedOSFullName, full);
  free(full);
  free(brief);

  EXPECT_EQ(Hostinfo_GetSystemBitness(), std::string(u.machine) == "x86_64" ? 64 : 32);
  EXPECT_EQ(Hostinfo_OSVersion(0), atoi(u.release));
  EXPECT_STREQ(Hostinfo_OSVersionString(), u.release);
  EXPECT_EQ(Hostinfo_OSVersion(-1), 0);
  EXPECT_EQ(Hostinfo_OSVersion(4), 0);
}

}  // namespace
