// Runs code that ends the process in a forked child whose log goes to a
// file, and hands back how the child ended, its standard error and its log.
#ifndef TESTS_LOCK_CHILDPROCESS_H
#define TESTS_LOCK_CHILDPROCESS_H

#include <brellis/log.h>

#include <support/childProcess.h>

#include <functional>

namespace locktest {

using testsupport::ChildResult;

inline ChildResult RunInChild(const std::function<void()> &body) {
  return testsupport::RunInChild([&](const std::string &logPath) {
    Log_InitWithFile(logPath.c_str(), "lockTest");
    body();
    return 0;
  });
}

}  // namespace locktest

#endif
