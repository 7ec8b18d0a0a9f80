// A temporary directory removed with everything in it when the test ends.
#ifndef TESTS_SUPPORT_TEMPDIR_H
#define TESTS_SUPPORT_TEMPDIR_H

#include <string>

namespace testsupport {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // path() joined with a relative name.
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string &path);
// Writes content to path with the given mode; true on success.
bool WriteFile(const std::string &path, const std::string &content, int mode = 0644);

}  // namespace testsupport

#endif
