/*
 * libunlha32: extracts LHA (.lzh) archives for Quellmark.
 *
 * The program loads this library at run time and calls Unlha() once per map
 * sheet archive. The call is self-contained and thread-safe: several archives
 * may be extracted in parallel threads.
 */
#ifndef QUELLMARK_UNLHA32_H
#define QUELLMARK_UNLHA32_H

#include <stdint.h>

#if defined(UNLHA32_BUILDING_LIBRARY)
#define UNLHA32_API __attribute__((visibility("default")))
#else
#define UNLHA32_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Value returned by UnlhaGetVersion(): major * 100 + minor. */
#define UNLHA32_VERSION 100

/* Results of Unlha(). Any non-zero value is a failure. */
#define UNLHA32_OK 0
#define UNLHA32_ERROR_COMMAND 0x8001   /* command line not understood */
#define UNLHA32_ERROR_NOT_FOUND 0x8002 /* neither STEM.lzh nor STEM.LZH exists */
#define UNLHA32_ERROR_ARCHIVE 0x8003   /* unreadable, damaged, truncated or CRC error */
#define UNLHA32_ERROR_UNSAFE 0x8004    /* member refused: path, link type or size */
#define UNLHA32_ERROR_WRITE 0x8005     /* the file system refused a folder or file */
#define UNLHA32_ERROR_INTERNAL 0x8006  /* out of memory or another unexpected failure */

/*
 * Extracts every member of an archive.
 *
 * commandLine has the form " e -x1 STEM *.* -p2 -y1": STEM is the archive's
 * path without its extension and may contain blanks. The archive is STEM.lzh,
 * or STEM.LZH when the former does not exist; the members are written into the
 * folder STEM/, which is created when missing. Member paths that would leave
 * that folder, links, devices, oversized members, CRC errors and truncated
 * archives make the call fail; a member is only ever visible under its own name
 * once it has been completely read and checked.
 *
 * A short NUL-terminated report is written to output (at most outputSize bytes
 * including the NUL); nothing is written when output is null or outputSize is 0.
 * window is ignored. Returns UNLHA32_OK (0) on success, one of the error codes
 * above otherwise.
 */
UNLHA32_API int Unlha(void* window, const char* commandLine, char* output, uint32_t outputSize);

/* Returns UNLHA32_VERSION. */
UNLHA32_API int UnlhaGetVersion(void);

/* Function pointer types for callers that load the library with dlopen(). */
typedef int (*UnlhaFunction)(void* window, const char* commandLine, char* output,
                             uint32_t outputSize);
typedef int (*UnlhaGetVersionFunction)(void);

#ifdef __cplusplus
}
#endif

#endif /* QUELLMARK_UNLHA32_H */
