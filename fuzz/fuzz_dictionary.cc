// The dictionary's line layer and its whole-file reading and writing.
// Lines parsed from the input are marshalled and parsed again and must come
// back the same; the input, read as a file in one of several default
// encodings, is written back as it was when nothing was changed (line ends
// become "\n", which is the only form the writer produces).

#include <brellis/dictionary.h>
#include <brellis/dictll.h>
#include <brellis/dynbuf.h>
#include <brellis/msgList.h>
#include <brellis/unicode.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>

namespace {

std::string file;

void Check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

bool Same(const char *a, const char *b) {
  return (a == nullptr && b == nullptr) || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

void LineLayer(const std::string &text) {
  const char *p = text.data();
  const char *end = p + text.size();
  while (p < end) {
    char *line, *name, *value;
    const char *next = DictLL_UnmarshalLine(p, static_cast<size_t>(end - p), &line, &name, &value);
    Check(next == nullptr || (next > p && next <= end), "line layer moves forward");
    if (name != nullptr && strchr(name, '\n') == nullptr) {
      DynBuf out;
      DynBuf_Init(&out);
      Check(DictLL_MarshalLine(&out, name, value), "marshal");
      char *line2, *name2, *value2;
      DictLL_UnmarshalLine(out.data, out.size, &line2, &name2, &value2);
      Check(Same(name, name2) && Same(value, value2), "a marshalled line reads back the same");
      free(line2);
      free(name2);
      free(value2);
      DynBuf_Destroy(&out);
    }
    free(line);
    free(name);
    free(value);
    if (next == nullptr) {
      break;
    }
    p = next;
  }
}

// Metavariable lines are not kept; the writer puts its own encoding line in.
bool IsMetavariable(const char *name) {
  if (name != nullptr && name[0] == '.') {
    return true;
  }
  static const char *const kNames[] = {".encoding", "config.encoding", "preferences.encoding",
                                       "vmlist.encoding", "snapshot.encoding"};
  for (const char *n : kNames) {
    if (name != nullptr && strcasecmp(name, n) == 0) {
      return true;
    }
  }
  return false;
}

std::string WithoutMetavariables(const std::string &text) {
  std::string out;
  const char *p = text.data();
  const char *end = p + text.size();
  while (p < end) {
    char *line, *name, *value;
    const char *next = DictLL_UnmarshalLine(p, static_cast<size_t>(end - p), &line, &name, &value);
    if (next == nullptr) {
      next = end;
    }
    if (!IsMetavariable(name)) {
      out.append(p, static_cast<size_t>(next - p));
    }
    free(line);
    free(name);
    free(value);
    p = next;
  }
  return out;
}

// What the writer gives for an untouched file: every line ended by "\n".
std::string Canonical(const std::string &in) {
  std::string out;
  for (size_t i = 0; i < in.size(); i++) {
    if (in[i] == '\r') {
      out += '\n';
      if (i + 1 < in.size() && in[i + 1] == '\n') {
        i++;
      }
    } else {
      out += in[i];
    }
  }
  if (!out.empty() && out.back() != '\n') {
    out += '\n';
  }
  return out;
}

void WholeFile(int encoding, const std::string &text) {
  FILE *f = fopen(file.c_str(), "wb");
  Check(f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size() && fclose(f) == 0,
        "write the input file");
  Dictionary *dict = Dictionary_Create();
  MsgList *messages = nullptr;
  bool loaded = Dictionary_Load(dict, file.c_str(), true, encoding, &messages);
  MsgList_Free(messages);
  char *buffer = nullptr;
  size_t size = 0;
  bool written = Dictionary_WriteToBuffer(dict, false, &buffer, &size);
  // Text with NULs or a byte-order mark is not kept line for line.
  if (loaded && written && text.find('\0') == std::string::npos && text.rfind("\xEF\xBB\xBF", 0) != 0) {
    std::string back = WithoutMetavariables(size >= 1 ? std::string(buffer, size - 1) : "");
    if (back != WithoutMetavariables(Canonical(text))) {
      fprintf(stderr, "read (encoding %d):\n[%s]\nwritten:\n[%s]\n", encoding, text.c_str(),
              back.c_str());
      Check(false, "an untouched file is written back as it was");
    }
  }
  free(buffer);
  Dictionary_Free(dict);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                      "/fuzz_dictionary.XXXXXX";
  int fd = mkstemp(templ.data());
  Check(fd >= 0, "temporary file");
  close(fd);
  file = templ;
  atexit([] { unlink(file.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const int kEncodings[] = {STRING_ENCODING_UTF8, STRING_ENCODING_ISO_8859_1,
                                   STRING_ENCODING_WINDOWS_1252, STRING_ENCODING_US_ASCII,
                                   STRING_ENCODING_UTF16_LE, STRING_ENCODING_DEFAULT};
  FuzzedDataProvider in(data, size);
  int encoding = in.PickValueInArray(kEncodings);
  std::string text = in.ConsumeRemainingBytesAsString();
  LineLayer(text);
  WholeFile(encoding, text);
  return 0;
}
