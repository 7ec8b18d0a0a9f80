// Expansion of "~" and "$VARIABLE" in paths.

#include <brellis/log.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <pwd.h>
#include <strings.h>
#include <unistd.h>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kMaxChunks = 100;

enum class ChunkKind { kLiteral, kVariable, kHome };

struct Chunk {
  ChunkKind kind;
  std::string_view text;
};

bool IsVariableByte(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The home directory of user (the real user when empty); false when the
// password database has no entry.
bool HomeOf(const std::string &user, std::string *home) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd *result = nullptr;
  if (user.empty()) {
    getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result);
  } else {
    getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &result);
  }
  if (result == nullptr || result->pw_dir == nullptr) {
    return false;
  }
  *home = result->pw_dir;
  return true;
}

std::string RealUserName() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd *result = nullptr;
  getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result);
  return result != nullptr && result->pw_name != nullptr ? result->pw_name : "unknown";
}

}  // namespace

extern "C" {

char *Util_ExpandString(const char *fileName) {
  if (fileName == nullptr) {
    return nullptr;
  }
  if (fileName[0] != '~' && strchr(fileName, '$') == nullptr) {
    return Util_SafeStrdup(-1, fileName, __FILE__, __LINE__);
  }
  std::string_view s(fileName);
  std::vector<Chunk> chunks;
  size_t i = 0;
  while (i < s.size()) {
    if (chunks.size() == kMaxChunks) {
      Log_Info("%s: Filename \"%s\" has too many chunks.\n", "Util_ExpandString", fileName);
      return nullptr;
    }
    size_t start = i;
    ChunkKind kind;
    if (s[i] == '$') {
      kind = ChunkKind::kVariable;
      i++;
      while (i < s.size() && IsVariableByte(s[i])) i++;
    } else if (i == 0 && s[i] == '~') {
      kind = ChunkKind::kHome;
      size_t slash = s.find('/', i);
      i = slash == std::string_view::npos ? s.size() : slash;
    } else {
      kind = ChunkKind::kLiteral;
      size_t dollar = s.find('$', i);
      i = dollar == std::string_view::npos ? s.size() : dollar;
    }
    chunks.push_back({kind, s.substr(start, i - start)});
  }
  std::string out;
  for (const Chunk &c : chunks) {
    switch (c.kind) {
      case ChunkKind::kLiteral:
        out += c.text;
        break;
      case ChunkKind::kHome: {
        std::string user(c.text.substr(1));
        std::string home;
        if (user.empty()) {
          const char *env = getenv("HOME");
          if (env == nullptr) {
            Log_Info("Could not expand environment variable HOME.\n");
            out += c.text;
          } else {
            out += env;
          }
        } else if (HomeOf(user, &home)) {
          out += home;
        } else {
          Log_Info("Could not get information for user '%s'.\n", user.c_str());
          out += c.text;
        }
        break;
      }
      case ChunkKind::kVariable: {
        if (c.text.size() == 1) {
          out += c.text;
          break;
        }
        std::string name(c.text.substr(1));
        const char *env = getenv(name.c_str());
        if (env != nullptr) {
          out += env;
        } else if (strcasecmp(name.c_str(), "PID") == 0) {
          out += std::to_string(getpid());
        } else if (strcasecmp(name.c_str(), "USER") == 0) {
          out += RealUserName();
        } else {
          Log_Warning("Environment variable '%s' not defined in '%s'.\n", name.c_str(), fileName);
        }
        break;
      }
    }
  }
  return Util_SafeStrdup(-1, out.c_str(), __FILE__, __LINE__);
}

}  // extern "C"
