/* The basic suite handed to the plug-in's entry: the one way to reach every
 * other suite, by published name and version. */
#ifndef HOSTSDK_BASIC_SUITE_H
#define HOSTSDK_BASIC_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef A_long SPErr; /* 0 success; any other value is a failure */

typedef struct SPBasicSuite {
  /* Finds the suite published under `name` at exactly `version` and stores a
   * pointer to its function table in *suite. Returns 0 on success; a missing
   * suite returns non-zero and leaves *suite null. Each successful acquire
   * must be matched by one ReleaseSuite with the same name and version. */
  SPErr (*AcquireSuite)(const char* name, A_long version, const void** suite);
  /* Gives back one acquisition. Returns non-zero when nothing of that name
   * and version is held. Never frees the table while others hold it. */
  SPErr (*ReleaseSuite)(const char* name, A_long version);
} SPBasicSuite;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_BASIC_SUITE_H */
