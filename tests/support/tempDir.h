// A temporary directory removed with everything in it when the test ends.
#ifndef TESTS_SUPPORT_TEMPDIR_H
#define TESTS_SUPPORT_TEMPDIR_H

#include <string>
#include <vector>

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
// Whether something (a link too, without following it) is at path.
bool Exists(const std::string &path);
// The lines of text, each with its "\n" (the last may lack one).
std::vector<std::string> SplitLines(const std::string &text);
// Writes content to path with the given mode; true on success.
bool WriteFile(const std::string &path, const std::string &content, int mode = 0644);

}  // namespace testsupport

#endif
