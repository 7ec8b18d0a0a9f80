// Encoding lookups shared inside the library.
#ifndef LIB_UNICODE_UNICODEINT_H
#define LIB_UNICODE_UNICODEINT_H

// The encoding number for an encoding name, or STRING_ENCODING_UNKNOWN
// (logged) when no supported row carries the name.
int UnicodeIANALookup(const char *encodingName);

#endif
