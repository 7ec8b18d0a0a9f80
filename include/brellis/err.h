/*
 * Texts for errno values. A text is cached for the life of the process the
 * first time it is asked for, so the pointers returned stay valid, need not
 * be freed, and are the same for every call with the same number.
 */
#ifndef BRELLIS_ERR_H
#define BRELLIS_ERR_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The system's text for errorNumber, never ending in a partial UTF-8
 * sequence. Keeps errno unchanged. Safe from any thread.
 */
const char *Err_Errno2String(int errorNumber);

/* The text for the current errno. Keeps errno unchanged. */
const char *Err_ErrString(void);

/*
 * The number whose cached text is string itself (the same address, as
 * returned by Err_Errno2String), or -1 for any other pointer, however equal
 * its text. Keeps errno unchanged.
 */
int Err_String2Errno(const char *string);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_ERR_H */
