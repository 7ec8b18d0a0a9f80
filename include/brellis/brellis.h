/*
 * brellis: the portable support library. Includes every public module.
 */
#ifndef BRELLIS_BRELLIS_H
#define BRELLIS_BRELLIS_H

#include <brellis/codeset.h>
#include <brellis/dictionary.h>
#include <brellis/dictll.h>
#include <brellis/dynbuf.h>
#include <brellis/err.h>
#include <brellis/escape.h>
#include <brellis/file.h>
#include <brellis/fileIO.h>
#include <brellis/fileLock.h>
#include <brellis/hashTable.h>
#include <brellis/hostinfo.h>
#include <brellis/id.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/msgfmt.h>
#include <brellis/panic.h>
#include <brellis/posix.h>
#include <brellis/preference.h>
#include <brellis/random.h>
#include <brellis/sig.h>
#include <brellis/str.h>
#include <brellis/timeutil.h>
#include <brellis/unicode.h>
#include <brellis/userlock.h>
#include <brellis/util.h>
#include <brellis/vthreadBase.h>

#endif /* BRELLIS_BRELLIS_H */
