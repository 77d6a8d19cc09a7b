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
#define UNLHA32_ERROR_COMMAND 0x8001   /* command not understood, or no folder to extract into */
#define UNLHA32_ERROR_NOT_FOUND 0x8002 /* the archive named does not exist */
#define UNLHA32_ERROR_ARCHIVE 0x8003   /* unreadable, damaged, cut short or CRC error */
#define UNLHA32_ERROR_UNSAFE 0x8004    /* member refused: path, type, name, or size */
#define UNLHA32_ERROR_WRITE 0x8005     /* the file system refused a folder or file */
#define UNLHA32_ERROR_INTERNAL 0x8006  /* out of memory or another unexpected failure */

/*
 * Extracts every member of an archive.
 *
 * commandLine has one of the forms
 *   " e -x1 NAME *.* -p2 -y1"
 *   " e -x1 "NAME" *.* -p2 -y1"
 *   " e -x1 "ARCHIVE" "DEST/" *.* -p2 -y1"
 * Words that begin with "-" before the names and after the " *.*" are
 * switches. A word in double quotes holds its bytes as they are (blanks,
 * newlines, "-", "\", " *.*"), except that a double quote inside it is
 * written twice: the file a"b.lzh is "a""b.lzh". Its closing quote is
 * followed by a blank or the end of the text; anything else is not
 * understood. An unquoted NAME runs from the first word that is not a
 * switch up to the last " *.*", blanks and all, so a name that begins with
 * "-" or a double quote must be quoted; quoting every path always reads it
 * back exactly.
 *
 * NAME is the archive's path, or its path without the ".lzh" extension: the
 * archive is NAME when that is an existing file, else NAME.lzh; no other name
 * is tried (in particular no ".LZH"). The members go into the archive's path
 * without its extension (the text before the last "." of its file name, the
 * text after its last "/"): X.lzh and X.LZH both extract into X/. An archive
 * whose file name has no extension has no such folder and needs the third
 * form, whose DEST (a folder path ending with "/") takes the members instead;
 * it is made when missing, but the folder holding it must exist.
 *
 * Afterwards the extraction folder holds exactly the archive's members and
 * nothing else: the members are extracted into a fresh staging folder beside
 * it, ".FOLDER.unlha32-PID-RANDOM", which takes the extraction folder's place
 * in one step (renameat2 RENAME_EXCHANGE) only once every member has been
 * read and checked; then the earlier folder, with whatever it held, is
 * removed. The folder is replaced whole, so a DEST must be a folder of its
 * own: one that holds the archive is refused, as is one that is a link. A
 * failed call removes its staging folder and leaves the earlier extraction
 * folder exactly as it was. A call first removes what killed calls left:
 * staging folders of the same folder whose process has ended, and the
 * ".unlha32-*.tmp" files that earlier versions of this library left inside
 * it. Nothing is written anywhere else.
 *
 * Refused, failing the call with a report naming the member:
 *   - member paths that would leave the folder ("..", absolute, drive
 *     letters), links, devices, FIFOs and sockets;
 *   - two members that land on the same path ("a\b" and "./a/b" are one);
 *   - a member of more than 1 GiB; members that together hold more than
 *     1000 times the archive's size or more than 4 GiB (declared sizes are
 *     checked before anything is written, the data while it is written);
 *   - CRC errors, data shorter or longer than its header says, and archives
 *     cut short, including those cut right after a member: a whole archive
 *     ends with its end mark, a 0 byte after the last member.
 *
 * A short NUL-terminated report is written to output (at most outputSize bytes
 * including the NUL); nothing is written when output is null or outputSize is 0.
 * window is ignored. Returns UNLHA32_OK (0) on success, one of the error codes
 * above otherwise. Several calls may run at once in different threads; calls
 * into the same extraction folder leave it holding one archive whole.
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
