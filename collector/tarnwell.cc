// Start-up: options, the checks in their fixed order, and preparation of the
// process before the serving loop runs.

#include "tarnwell.h"

#include "operatorSettings.h"

#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/fileIO.h>
#include <brellis/log.h>
#include <brellis/preference.h>
#include <brellis/str.h>
#include <brellis/vthreadBase.h>

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
char tarnwellCoreDir[TARNWELL_PATH_MAX];
char tarnwellLogFile[TARNWELL_PATH_MAX];
uint8_t tarnwellIpAddr[4];
int32_t tarnwellPort = 6500;
int32_t _verbose;
int32_t numClients = 1024;
bool daemonize;
char postProcessScript[TARNWELL_PATH_MAX];
bool postProcessScriptGiven;
int32_t tarnwellMaxScripts = 16;
bool logOnStderr;
volatile sig_atomic_t stopTarnwell;
volatile sig_atomic_t stopSignalsSeen;
const char pathsep[] = "/";
}

namespace {

bool ipAddrValid = true;
const char *scriptArgument;
bool badOption;
bool coreDirGiven;
bool coreDirTooLong;
bool logFileTooLong;

constexpr char kUsage[] =
    "Usage: %s <options>\n\tFollowing options are valid:\n\tRequired:\n\t\t<-d DIRECTORY> : "
    "Specify base directory to store the dumps.\n\n\tOptional:\n\t\t[-c NUM_CLIENTS] : Specify "
    "# of concurrent clients that can be handled.\n\t\t[-i IP]        : Specify IP address to "
    "be used for tarnwell server.\n\t\t[-l LOG FILE]  : Specify the log file to write "
    "logs.\n\t\t[-n]           : Daemonize tarnwell.\n\t\t[-o PORT]      : Specify the port to "
    "be used for tarnwell server.\n\t\t[-s SCRIPT]    : Specify any script to run after "
    "collecting dump.\n\t\t[-v]           : For verbose logs.\n";

// A decimal number as the 32-bit platform read it: leading digits, none
// giving 0, and values beyond 32 bits clamped rather than wrapped.
int32_t ParseNumber(const char *text) {
  errno = 0;
  long long value = strtoll(text, nullptr, 10);
  if (errno == EINVAL) {
    return -1;
  }
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<int32_t>(value);
}

void ParseIp(const char *text) {
  unsigned int a, b, c, d;
  if (sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) == 4 && a <= 255 && b <= 255 && c <= 255 &&
      d <= 255) {
    tarnwellIpAddr[0] = static_cast<uint8_t>(a);
    tarnwellIpAddr[1] = static_cast<uint8_t>(b);
    tarnwellIpAddr[2] = static_cast<uint8_t>(c);
    tarnwellIpAddr[3] = static_cast<uint8_t>(d);
  } else {
    ipAddrValid = false;
  }
}

bool ParseOptions(int argc, char **argv, bool *logFileGiven) {
  static const struct option longOptions[] = {
      {"clients", required_argument, nullptr, 'c'}, {"dir", required_argument, nullptr, 'd'},
      {"ip", required_argument, nullptr, 'i'},      {"logfile", required_argument, nullptr, 'l'},
      {"daemon", no_argument, nullptr, 'n'},        {"port", required_argument, nullptr, 'o'},
      {"panic", required_argument, nullptr, 'p'},   {"script", required_argument, nullptr, 's'},
      {"verbose", no_argument, nullptr, 'v'},       {nullptr, 0, nullptr, 0},
  };
  int opt;
  while ((opt = getopt_long(argc, argv, "c:d:i:l:no:ps:v", longOptions, nullptr)) != -1) {
    switch (opt) {
      case 'c':
        numClients = ParseNumber(optarg);
        break;
      case 'd':
        coreDirGiven = true;
        coreDirTooLong = Str_Snprintf(tarnwellCoreDir, sizeof tarnwellCoreDir, "%s", optarg) < 0;
        break;
      case 'i':
        ParseIp(optarg);
        break;
      case 'l':
        *logFileGiven = true;
        logFileTooLong = Str_Snprintf(tarnwellLogFile, sizeof tarnwellLogFile, "%s", optarg) < 0;
        break;
      case 'n':
        daemonize = true;
        break;
      case 'o':
        tarnwellPort = ParseNumber(optarg);
        break;
      case 's':
        scriptArgument = optarg;
        postProcessScriptGiven = true;
        break;
      case 'v':
        _verbose = 1;
        break;
      default:  // 'p', an unknown option or a missing argument
        badOption = true;
        break;
    }
  }
  return true;
}

void StopOnSignal(int) {
  stopTarnwell = 1;
  if (stopSignalsSeen < 2) {
    stopSignalsSeen = stopSignalsSeen + 1;
  }
  TarnwellWakeServe();
}

// The script as an absolute path, joined to the working directory of the
// start: the shell would search $PATH for a name without a slash, and a
// relative path would depend on where the children run. A name without a
// slash is a file in the working directory, as the access check reads it.
// Only an executable regular file is taken.
bool ResolveScript(const char *script) {
  if (FileIO_Access(script, FILEIO_ACCESS_EXEC) != FILEIO_SUCCESS) {
    return false;
  }
  struct stat st;
  if (stat(script, &st) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  if (script[0] == '/') {
    return Str_Snprintf(postProcessScript, sizeof postProcessScript, "%s", script) >= 0;
  }
  char *cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) {
    return false;
  }
  while (script[0] == '.' && script[1] == '/') {
    script += 2;
    while (*script == '/') {
      script++;
    }
  }
  bool rootDir = strcmp(cwd, "/") == 0;
  int n = Str_Snprintf(postProcessScript, sizeof postProcessScript, "%s%s%s", cwd,
                       rootDir ? "" : "/", script);
  free(cwd);
  return n >= 0;
}

void CatchStopSignal(int signo) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = StopOnSignal;
  sigemptyset(&sa.sa_mask);
  if (sigaction(signo, &sa, nullptr) != 0) {
    TarnwellFatal("Error while setting the handler of signal %d: %s\n", signo,
                  Err_Errno2String(errno));
  }
}

[[noreturn]] void CoreDirFatal() {
  TarnwellFatal("Error setting the tarnwell core directory. permissions were not correct.\n");
}

}  // namespace

extern "C" {

void TarnwellFatal(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *message = Str_Vasprintf(nullptr, format, ap);
  va_end(ap);
  if (message != nullptr) {
    if (!logOnStderr) {
      fputs(message, stderr);
    }
    Log_Info("%s\n", message);
    free(message);
  }
  exit(1);
}

void TarnwellUsage(const char *progName) {
  TarnwellFatal(kUsage, progName);
}

void TarnwellInitLog(void) {
  // The event-poll layer needs no initialisation: nothing here polls. The
  // thread is named first so that the lines the preference layers log
  // before the log is open carry the collector's name too.
  VThreadBase_SetName("tarnwell");
  if (!Preference_Init()) {
    TarnwellFatal("Failed to read the configuration files.\n");
  }
  bool ok;
  if (tarnwellLogFile[0] != '\0' && !logFileTooLong) {
    ok = Log_InitWithFile(tarnwellLogFile, "tarnwell");
  } else if (logFileTooLong) {
    ok = false;
  } else {
    LogInitParams params;
    Log_GetInitDefaults(&params);
    params.useTimeStamps = false;
    params.systemLoggerUse = 2;
    LogGetDestination("tarnwell", &params);
    ok = Log_InitWithParams(&params);
  }
  if (!ok) {
    TarnwellFatal("Failed to initialze log (%s). Please check the permissions.\n", tarnwellLogFile);
  }
}

int TarnwellMain(int argc, char **argv) {
  bool logFileGiven = false;
  ParseOptions(argc, argv, &logFileGiven);

  if (!coreDirGiven) {
    TarnwellUsage(argv[0]);
  }
  if (!logFileGiven) {
    // The log goes inside the base directory, so it must exist first.
    if (coreDirTooLong || !File_EnsureDirectory(tarnwellCoreDir)) {
      CoreDirFatal();
    }
    logFileTooLong = Str_Snprintf(tarnwellLogFile, sizeof tarnwellLogFile, "%s/%s", tarnwellCoreDir,
                                  "tarnwell.log") < 0;
  }
  TarnwellInitLog();
  if (badOption) {
    TarnwellUsage(argv[0]);
  }
  if (numClients <= 0) {
    TarnwellFatal("Error setting the total # of slots/clients supported\n");
  }
  Log_Info("Configured to handle %d clients in parallel.\n", numClients);
  if (coreDirTooLong || !File_EnsureDirectory(tarnwellCoreDir)) {
    CoreDirFatal();
  }
  Log_Info("Configuring %s as the directory to store the cores\n", tarnwellCoreDir);
  if (!ipAddrValid) {
    TarnwellFatal("Error setting the tarnwell IP, invalid IP address.\n");
  }
  if (tarnwellPort < 1 || tarnwellPort > 65535) {
    TarnwellFatal("Error setting the port to be used\n");
  }
  if (tarnwellPort < 1024) {
    TarnwellFatal("Tarnwell must use a port outside reserved range 1-1023.\n");
  }
  Log_Info("Configured to use %u.%u.%u.%u:%d as the IP address:port\n", tarnwellIpAddr[0],
           tarnwellIpAddr[1], tarnwellIpAddr[2], tarnwellIpAddr[3], tarnwellPort);
  Log_Info("Using %s as the logfile.\n", tarnwellLogFile);
  if (daemonize) {
    Log_Info("Configure to daemonize tarnwell\n");
  }
  if (postProcessScriptGiven) {
    if (!ResolveScript(scriptArgument)) {
      TarnwellFatal("Error setting post-processing script to %s. Is the script executable?\n",
                    scriptArgument);
    }
    Log_Info("Configured to execute %s for post processing\n", postProcessScript);
    tarnwellMaxScripts = Config_GetLong(16, "tarnwell.maxScripts");
    if (tarnwellMaxScripts < 1) {
      TarnwellFatal("Error setting tarnwell.maxScripts to %d: at least one script must run.\n",
                    tarnwellMaxScripts);
    }
    Log_Info("Running at most %d post-processing scripts at once (tarnwell.maxScripts)\n",
             tarnwellMaxScripts);
  } else {
    Log_Info("Nothing to post process\n");
  }
  if (_verbose == 1) {
    Log_Info("Configured to use verbose mode\n");
  }
  TarnwellReadOperatorSettings();
  if (signal(SIGCHLD, SIG_IGN) == SIG_ERR) {
    TarnwellFatal("Error while setting sginal SIGCHLD to SIG_IGN.\n");
  }
  if (daemonize) {
    if (daemon(1, 0) != 0) {
      TarnwellFatal("Couldn't daemonize\n");
    }
    // The process lives on in the child daemon() forked.
    Log_TakeOverAfterFork();
  }

  // SIGTERM and SIGINT ask the loop to stop: the handler wakes the loop's
  // wait, and without SA_RESTART an interrupted call returns at once.
  CatchStopSignal(SIGTERM);
  CatchStopSignal(SIGINT);

  return TarnwellServe();
}

}  // extern "C"
