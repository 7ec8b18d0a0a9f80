// Line parsing shared with the dictionary readers.
#ifndef LIB_DICT_DICTLLINT_H
#define LIB_DICT_DICTLLINT_H

// Parses a NUL-terminated line: *name and *value (unescaped, new strings)
// when it is an assignment, both NULL otherwise.
void DictLLParseLine(const char *line, char **name, char **value);

#endif
