/*
 * Texts for errno values. The texts are cached for the life of the process,
 * so the pointers returned stay valid and need not be freed.
 */
#ifndef BRELLIS_ERR_H
#define BRELLIS_ERR_H

#ifdef __cplusplus
extern "C" {
#endif

/* The system's text for errorNumber. Keeps errno unchanged. */
const char *Err_Errno2String(int errorNumber);

/* The text for the current errno. Keeps errno unchanged. */
const char *Err_ErrString(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_ERR_H */
