/*
 * SRV_ClientPaths: the files that clients name (list-mode files, spectrum
 * files, the configuration database, run files), kept inside the server's
 * folders.
 *
 * A path is judged where it leads when a client names it
 * (SRV_CheckClientPath), and again when the file is opened: the folder that
 * holds the file is reached from the allowed folder it lies in, one folder at
 * a time, following no symbolic link, and the file is opened in that folder
 * without following one either. A folder swapped for a link between the two
 * is refused, whatever the link points at.
 *
 * The server's own folders ("Run" and the board's data folder) are fixed at
 * the start (SRV_FixServerFolders): where the operator linked one elsewhere
 * before the start, where it led then is one more allowed folder. A link
 * put in their place or below them while the server runs is refused like
 * any other. A file with other hard links is
 * never emptied or written in place: it is re-created in its folder, and the
 * other names keep what they held.
 *
 * SQLite opens its files by name. A database is given the name of its file
 * inside the opened folder ("/proc/self/fd/<folder>/<name>"), and the opens
 * that SQLite makes of such names (the database, its journal) go through the
 * folder by the same rules; the folder stays open until the database is
 * closed.
 */
#ifndef SRV_CLIENT_PATHS_H
#define SRV_CLIENT_PATHS_H

#include <stdbool.h>

#include "SRV_Status.h"
#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The variable that lists, separated by ':', the folders besides the working
 * folder where a client may name list-mode and spectrum files. */
#define SRV_DATA_FOLDERS_VARIABLE "ZARN_DATA_DIRS"

/* Fixes the server's own folders, given relative to the working folder (the
 * current folder), where their links lead now: 0, or -1 after a line in the
 * log when one can't be resolved. Called once at the start, after the
 * folders were made. */
SRVStatus_t SRV_FixServerFolders(const char* runFolder, const char* dataFolder);

/* Checks a path a client named for a file of the server (list-mode file,
 * spectrum file, configuration database). A relative path is taken in the
 * working folder (the current folder); the path must lead into the working
 * folder or one of the server's own folders as fixed at the start, or, with
 * dataFolders, into one of the folders of
 * SRV_DATA_FOLDERS_VARIABLE, once its existing folders are resolved with
 * their links. An empty path names nothing and passes. 0, or -30 after
 * "<what> '<path>' leads outside the server's folders: refused." in the
 * module's log. */
SRVStatus_t SRV_CheckClientPath(const c_LogModule_t* module, const char* what, const char* path, bool dataFolders);

/* The longest name of a file in a folder, and the longest SQLite name of a
 * client file, terminators included. */
#define SRV_CLIENT_NAME_SIZE          256
#define SRV_CLIENT_DATABASE_NAME_SIZE (SRV_CLIENT_NAME_SIZE + 32)

/* A file a client named, found inside the server's folders: the folder that
 * holds it, opened, and the file's name in it. */
typedef struct SRVClientFile_t {
    int folder; /* descriptor of the folder, -1 when none */
    char name[SRV_CLIENT_NAME_SIZE];
} SRVClientFile_t;

/* Opens the folder of the file a client named, as SRV_CheckClientPath judges
 * the path now, by a walk from the allowed folder that holds it that follows
 * no link; with makeFolders the folders missing on the way are made. 0; -30
 * after the log line of SRV_CheckClientPath when the path leads outside, or
 * when a folder on the way is a link; otherwise, with errno set and nothing
 * logged, -1 when makeFolders could not make or enter a folder, -36 when a
 * folder is missing or is none, or when the path names no file. The folder
 * is closed with SRV_CloseClientFolder, on every path. */
SRVStatus_t SRV_OpenClientFolder(const c_LogModule_t* module, const char* what, const char* path, bool dataFolders,
                                 bool makeFolders, SRVClientFile_t* file);
void SRV_CloseClientFolder(SRVClientFile_t* file);

/* Opens one of the server's own folders (path as given to
 * SRV_FixServerFolders) where it led at the start, by a walk that follows no
 * link: 0 with its descriptor in *folder; -30 after "<what> '<path>' leads
 * elsewhere than at the start (a link put in its place): refused." in the
 * module's log when it leads elsewhere now (a folder the start did not fix:
 * when it is a link);
 * -36 with errno set and nothing logged when it can't be opened. */
SRVStatus_t SRV_OpenServerFolder(const c_LogModule_t* module, const char* what, const char* path, int* folder);

/* Opens the file in its folder for reading (flags O_RDONLY): the descriptor,
 * or -1 with errno set (ELOOP for a link in the file's place, EINVAL for
 * anything but a regular file). */
int SRV_OpenClientFile(const SRVClientFile_t* file);

/* Opens the file for reading and writing from its start, creating it: a
 * regular file with no other link is emptied; one with other links is
 * replaced by a new, empty file (its name removed from the folder first);
 * a link in its place and anything but a regular file are refused. The
 * descriptor, or -1 with errno set. */
int SRV_CreateClientFile(const SRVClientFile_t* file);

/* Makes the database of a path a client named ready for SQLite: opens its
 * folder (SRV_OpenClientFolder, no folder made) and gives the name under
 * which SQLite opens it there. When writes and the file exists with other
 * links, it is first re-created as a copy of its own (the other names keep
 * their file; a warning is logged). 0; -30 as SRV_OpenClientFolder gives it;
 * -36 with errno set when the folder can't be reached or the copy can't be
 * made. The folder is closed with SRV_CloseClientFolder after the database. */
SRVStatus_t SRV_OpenClientDatabase(const c_LogModule_t* module, const char* what, const char* path, bool dataFolders,
                                   bool writes, SRVClientFile_t* file, char name[SRV_CLIENT_DATABASE_NAME_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* SRV_CLIENT_PATHS_H */
