/* Fixed-width integer types used by the NPAPI declarations. */
#ifndef nptypes_h_
#define nptypes_h_

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#endif
