// Why this header exists: memory exhaustion must end the process through
// Panic also when the standard library allocates inside a module, so no
// std::bad_alloc reaches a C caller. The allocation wrappers own that rule;
// the start-up calls of other modules (the log's, the configuration's)
// install it too, so that it holds from a program's start-up on. Programs
// do not call this. Internal to the library; not installed.
#ifndef BRELLIS_INTERNAL_NEWHANDLER_H
#define BRELLIS_INTERNAL_NEWHANDLER_H

// Installs, once per process, a new-handler that panics with
// "MEM_ALLOC file:line", unless the program has installed one of its own.
// Cheap after the first call; safe from any thread.
void UtilInstallNewHandler();

#endif
