/*
 * What the file handles, the file operations and the type registry share
 * inside files/: the native path of a name in a folder.
 *
 * Used by: files/sysfile.cpp, files/fileops.cpp, files/fileformat.cpp.
 */
#ifndef KIVO_FILES_SYSFILE_INTERNAL_H
#define KIVO_FILES_SYSFILE_INTERNAL_H

#include <string>

#include "kivo/path.h"

/* The native absolute path of name in the folder path (the entry need not
   exist; an empty name gives the folder). False when the folder is
   unknown or the result would not fit KIVO_PATH_MAX bytes. */
bool files_nativepath(short path, const char *name, std::string &out);

/* The native path of the file behind a platform-file handle (the target
   for a file being written through a temporary file); false for memory. */
bool sysfile_native(t_filehandle fh, std::string &out);
/* A record standing for a collective volume: no file, fork number forkref. */
t_filehandle sysfile_nofile(short forkref);
/* The native path of the remembered file being replaced ("" forgets). */
void sysfile_setexisting_native(const char *native);

#endif
