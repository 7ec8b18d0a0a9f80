// The formatter and the message-format scanner with formats drawn from the
// input. The format is built from the input as literal text and
// conversions (flags, widths and precisions, given or taken from
// arguments, length modifiers, sequential or positional), so every call
// passes arguments of exactly the types the format announces. The output
// must match the platform's printf; captured into records by the scanner
// and formatted from them, it must come out the same again; and a cut
// output must be a prefix of the whole one.
//
// Arguments go through a fixed variadic call: integers and pointers travel
// in one sequence and doubles in another, so a format that uses k of the
// first kind and m of the second reads the first k and m of them, whatever
// order they appear in.

#include <brellis/codeset.h>
#include <brellis/msgfmt.h>
#include <brellis/str.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kGp = 12;
constexpr int kFp = 8;

struct Args {
  uint64_t gp[kGp] = {};
  double fp[kFp] = {};
};

enum class Kind { kInt, kStar, kString, kPointer, kDouble };

void Check(bool ok, const char *what, const std::string &format) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\nformat: [", what);
    for (unsigned char c : format) {
      fprintf(stderr, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
    }
    fprintf(stderr, "]\n");
    abort();
  }
}

#define FORWARD(call, a)                                                                      \
  call(a.gp[0], a.gp[1], a.gp[2], a.gp[3], a.gp[4], a.gp[5], a.gp[6], a.gp[7], a.gp[8], a.gp[9], \
       a.gp[10], a.gp[11], a.fp[0], a.fp[1], a.fp[2], a.fp[3], a.fp[4], a.fp[5], a.fp[6], a.fp[7])

std::string Ours(const char *format, const Args &a) {
  size_t length = 0;
#define CALL(...) Str_Asprintf(&length, format, __VA_ARGS__)
  char *s = FORWARD(CALL, a);
#undef CALL
  std::string out = s != nullptr ? std::string(s, length) : "<null>";
  free(s);
  return out;
}

std::string Platform(const char *format, const Args &a) {
  char *s = nullptr;
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-nonliteral"
#define CALL(...) asprintf(&s, format, __VA_ARGS__)
  int n = FORWARD(CALL, a);
#undef CALL
#pragma clang diagnostic pop
  std::string out = n >= 0 ? std::string(s, static_cast<size_t>(n)) : "<null>";
  free(s);
  return out;
}

int Cut(char *buf, size_t size, const char *format, const Args &a) {
#define CALL(...) Str_Snprintf(buf, size, format, __VA_ARGS__)
  return FORWARD(CALL, a);
#undef CALL
}

bool Scan(const char *format, MsgFmt_Arg **records, int *count, char **error, ...) {
  va_list va;
  va_start(va, error);
  bool ok = MsgFmt_GetArgs(format, va, records, count, error, nullptr, nullptr);
  va_end(va);
  return ok;
}

bool Scanned(const char *format, const Args &a, MsgFmt_Arg **records, int *count, char **error) {
#define CALL(...) Scan(format, records, count, error, __VA_ARGS__)
  return FORWARD(CALL, a);
#undef CALL
}

bool Valid(const std::string (&strings)[3]) {
  for (const std::string &s : strings) {
    if (CodeSet_LengthInCodePoints(s.c_str()) < 0) {
      return false;
    }
  }
  return true;
}

struct Builder {
  FuzzedDataProvider &in;
  std::string format;
  std::vector<Kind> kinds;  // by argument position
  bool stars = false;
  bool comparable = true;  // only conversions whose text the platform shares
  bool cutStrings = false;

  // Takes the next argument position of the given kind.
  int Take(Kind kind) {
    kinds.push_back(kind);
    return static_cast<int>(kinds.size());
  }

  void Literal() {
    std::string text = in.ConsumeRandomLengthString(8);
    for (char c : text) {
      if (c == '%') {
        format += "%%";
      } else if (c != '\0') {
        format += c;
      }
    }
  }

  // One conversion; positional conversions name their argument numbers.
  bool Conversion(bool positional) {
    // 'a' and 'A' print as themselves in this formatter, while the scanner
    // types them as doubles; they are left out rather than compared.
    static const char kConv[] = "diouxXcsfFeEgGp%";
    char conv = kConv[in.ConsumeIntegralInRange<size_t>(0, sizeof kConv - 2)];
    if (conv == '%') {
      format += "%%";
      return true;
    }
    Kind kind = Kind::kInt;
    if (strchr("fFeEgGaA", conv) != nullptr) {
      kind = Kind::kDouble;
    } else if (conv == 's') {
      kind = Kind::kString;
    } else if (conv == 'p') {
      kind = Kind::kPointer;
    }
    int gpNeeded = (kind == Kind::kDouble ? 0 : 1);
    std::string spec;
    std::string flags = in.ConsumeRandomLengthString(3);
    for (char f : flags) {
      if (f != '\0' && strchr("-+ #0", f) != nullptr) {
        spec += f;
      }
    }
    // Widths and precisions from arguments come before the value.
    std::vector<int> starPositions;
    switch (in.ConsumeIntegralInRange(0, 2)) {
      case 1:
        spec += std::to_string(in.ConsumeIntegralInRange(0, 300));
        break;
      case 2:
        stars = true;
        gpNeeded++;
        starPositions.push_back(0);
        // A negative width from an argument left-adjusts; glibc then still
        // pads with zeros, on the right.
        comparable = comparable && spec.find('0') == std::string::npos;
        spec += '*';
        break;
      default:
        break;
    }
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 1: {
        int precision = in.ConsumeIntegralInRange(0, 300);
        if (kind == Kind::kDouble && precision > 16) {
          // Digits come from ecvt and fcvt, which give at most 17 significant
          // ones; printf gives the exact expansion.
          comparable = false;
        }
        spec += '.' + std::to_string(precision);
        break;
      }
      case 2:
        comparable = comparable && kind != Kind::kDouble;
        stars = true;
        gpNeeded++;
        starPositions.push_back(1);
        spec += ".*";
        break;
      case 3:
        spec += '.';
        break;
      default:
        break;
    }
    int gpUsed = 0;
    for (Kind k : kinds) {
      gpUsed += k != Kind::kDouble;
    }
    int fpUsed = static_cast<int>(kinds.size()) - gpUsed;
    if (gpUsed + gpNeeded > kGp || (kind == Kind::kDouble && fpUsed >= kFp)) {
      return false;
    }
    if (kind == Kind::kInt && conv != 'c') {
      static const char *const kLengths[] = {"", "", "hh", "h", "l", "ll", "z", "t", "j"};
      spec += in.PickValueInArray(kLengths);
    }
    if (kind == Kind::kPointer) {
      comparable = false;  // upper-case digits without a prefix, by design
    }
    if (kind == Kind::kString && spec.find('.') != std::string::npos) {
      cutStrings = true;  // never cut inside a UTF-8 sequence, unlike printf
    }
    std::string text = "%";
    if (positional) {
      // Star arguments are named too, each by its own position.
      std::string named;
      for (char c : spec) {
        named += c;
        if (c == '*') {
          named += std::to_string(Take(Kind::kStar)) + '$';
        }
      }
      text += std::to_string(Take(kind)) + '$' + named;
    } else {
      for (size_t i = 0; i < starPositions.size(); i++) {
        Take(Kind::kStar);
      }
      Take(kind);
      text += spec;
    }
    format += text + conv;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  bool positional = in.ConsumeBool();
  Builder b{in};
  int conversions = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < conversions; i++) {
    b.Literal();
    if (!b.Conversion(positional)) {
      break;
    }
  }
  b.Literal();

  // Values: integers of every size, a few strings, doubles of every kind.
  std::string strings[3];
  for (std::string &s : strings) {
    s = in.ConsumeRandomLengthString(40);
    if (s.rfind("@&!*@*@(", 0) == 0) {
      s[0] = '#';  // a message id would be stripped from records, by design
    }
  }
  Args a;
  int gp = 0;
  int fp = 0;
  for (Kind k : b.kinds) {
    switch (k) {
      case Kind::kDouble:
        a.fp[fp++] = in.ConsumeFloatingPoint<double>();
        break;
      case Kind::kString:
        a.gp[gp++] = reinterpret_cast<uintptr_t>(strings[in.ConsumeIntegralInRange(0, 2)].c_str());
        break;
      case Kind::kPointer:
        a.gp[gp++] = in.ConsumeIntegralInRange<uint64_t>(1, UINT64_MAX);
        break;
      case Kind::kInt:
        a.gp[gp++] = in.ConsumeIntegral<uint64_t>();
        break;
      case Kind::kStar:
        // Widths and precisions from arguments stay small, negative ones included.
        a.gp[gp++] = static_cast<uint64_t>(static_cast<int64_t>(in.ConsumeIntegralInRange(-300, 300)));
        break;
    }
  }
  const char *f = b.format.c_str();
  std::string ours = Ours(f, a);
  bool ascii = true;
  for (const std::string &s : strings) {
    for (char c : s) {
      ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
  }
  if (b.comparable && (ascii || !b.cutStrings)) {
    std::string platform = Platform(f, a);
    Check(ours == platform, ("the platform's printf gives [" + platform + "], ours [" + ours + "]").c_str(),
          b.format);
  }

  // A cut output is a prefix of the whole (ended at a whole character).
  size_t bufSize = in.ConsumeIntegralInRange<size_t>(1, ours.size() + 2);
  std::vector<char> buf(bufSize);
  int n = Cut(buf.data(), bufSize, f, a);
  Check(n < 0 ? ours.size() >= bufSize : static_cast<size_t>(n) == ours.size(), "cut length",
        b.format);
  size_t kept = n >= 0 ? static_cast<size_t>(n) : strnlen(buf.data(), bufSize);
  Check(ours.compare(0, kept, buf.data(), kept) == 0, "a cut output is a prefix", b.format);

  // Captured and formatted again from the records, the text is the same.
  MsgFmt_Arg *records = nullptr;
  int count = 0;
  char *error = nullptr;
  bool scanned = Scanned(f, a, &records, &count, &error);
  Check(scanned || b.stars || error != nullptr, "a failed scan says why", b.format);
  if (scanned) {
    size_t againLength = 0;
    char *again = MsgFmt_Asprintf(&againLength, f, records, count);
    // A precision cut keeps whole UTF-8 sequences by looking at the last one
    // only; on bytes that are not UTF-8 the capture's cut and the
    // formatter's second cut of it may drop a few more trailing bytes.
    bool exact = !b.cutStrings || Valid(strings);
    Check(again != nullptr && (!exact || ours == std::string(again, againLength)),
          ("formatting from records gives [" + std::string(again ? again : "<null>") + "], directly [" +
           ours + "]").c_str(),
          b.format);
    free(again);
    MsgFmt_Arg *copy = MsgFmt_CopyArgs(records, count);
    again = MsgFmt_Asprintf(&againLength, f, copy, count);
    Check(again != nullptr && (!exact || ours == std::string(again, againLength)),
          "formatting from copied records", b.format);
    free(again);
    MsgFmt_FreeArgs(copy, count);
  } else {
    // Only what the scanner refuses by design: arguments taken by '*'.
    Check(b.stars, (std::string("scan failed: ") + error).c_str(), b.format);
  }
  MsgFmt_FreeArgs(records, count);
  free(error);
  return 0;
}
