/*
 * SRV_ClientPaths: the check of a path a client names for a file of the
 * server, and the open that follows no link.
 */
#ifndef SRV_CLIENT_PATHS_H
#define SRV_CLIENT_PATHS_H

#include <stdbool.h>
#include <stdio.h>

#include "ZarnUtility.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The variable that lists, separated by ':', the folders besides the working
 * folder where a client may name list-mode and spectrum files. */
#define SRV_DATA_FOLDERS_VARIABLE "ZARN_DATA_DIRS"

/* Checks a path a client named for a file of the server (list-mode file,
 * spectrum file, configuration database). A relative path is taken in the
 * working folder (the current folder); the path must lead into the working
 * folder, or, with dataFolders, into one of the folders of
 * SRV_DATA_FOLDERS_VARIABLE, once its existing folders are resolved with
 * their links. An empty path names nothing and passes. 0, or -30 after
 * "<what> '<path>' leads outside the server's folders: refused." in the
 * module's log. */
SRVStatus_t SRV_CheckClientPath(const c_LogModule_t* module, const char* what, const char* path, bool dataFolders);

/* Opens a file for reading and writing from its start, as fopen's "w+"
 * does, but without following a symbolic link in its last name and without
 * emptying anything but a regular file. NULL with errno set otherwise. */
FILE* SRV_CreateFile(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* SRV_CLIENT_PATHS_H */
