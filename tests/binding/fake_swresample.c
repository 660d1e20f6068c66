/* A stand-in for libswresample used by the loader tests: every export of the
 * list, each returning the version number FAKE_VERSION. Built once with a
 * foreign major version, and once with one export renamed away. */
#include "FunctionLists.h"

#ifdef FAKE_MISSING
#define swr_convert swr_convert_is_missing
#endif

#define FAKE_EXPORT(name) unsigned name(void) { return FAKE_VERSION; }
VIDLOMAT_SWRESAMPLE_FUNCTIONS(FAKE_EXPORT)
