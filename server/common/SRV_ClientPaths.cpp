// The files that clients name: where a path leads, the walk that opens the
// folder of a file from the allowed folder down following no link, the opens
// of list-mode and run files in that folder, and the databases that SQLite
// opens through it.
#include "SRV_ClientPaths.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

static const c_LogModule_t LOG_MODULE = {"SRV_CommonLog.txt", "SRV_Common"};

// ------------------------------------------------------- where a path leads

// The folder with every link resolved; empty when it can't be resolved.
static std::string realFolder(const std::string& path) {
    char* real = realpath(path.c_str(), NULL);
    if (real == NULL)
        return std::string();
    std::string result(real);
    std::free(real);
    return result;
}

// Where a path leads, absolute: each folder on the way that exists is
// resolved with its links (as the kernel would follow them), a missing one is
// taken as written (a folder made for it is no link), and so is the last
// name, which the server's opens do not follow. Empty when a folder on the
// way exists but can't be resolved.
static std::string pathDestination(const std::string& base, const std::string& path, bool followLast = false) {
    std::string full = path[0] == '/' ? path : base + "/" + path;
    std::vector<std::string> names;
    for (size_t start = 0; start <= full.size();) {
        size_t slash = full.find('/', start);
        if (slash == std::string::npos)
            slash = full.size();
        std::string name = full.substr(start, slash - start);
        if (!name.empty() && name != ".")
            names.push_back(name);
        start = slash + 1;
    }
    std::string at; // "" is the root
    for (size_t i = 0; i < names.size(); i++) {
        if (names[i] == "..") {
            size_t slash = at.rfind('/');
            at.erase(slash == std::string::npos ? 0 : slash);
            continue;
        }
        std::string next = at + "/" + names[i];
        struct stat info;
        bool last = i + 1 == names.size() && !followLast;
        if (!last && lstat(next.c_str(), &info) == 0) {
            at = realFolder(next);
            if (at.empty())
                return std::string();
            if (at == "/")
                at.clear();
            continue;
        }
        at = next;
    }
    return at.empty() ? std::string("/") : at;
}

static bool isWithin(const std::string& path, const std::string& folder) {
    if (folder.empty())
        return false;
    if (folder == "/")
        return true;
    return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

// ------------------------------------------------ the server's own folders

namespace {

// A folder of the server ("Run", the board's data folder) as the name it is
// given in the working folder, and where its links led at the start.
struct ServerFolder {
    std::string name;
    std::string resolved;
};

std::mutex serverFoldersLock;
std::string serverFoldersBase; // the working folder they were fixed in
std::vector<ServerFolder> serverFolders;

// The folders fixed in the working folder given (resolved); none when they
// were fixed in another.
std::vector<ServerFolder> fixedServerFolders(const std::string& workingFolder) {
    std::lock_guard<std::mutex> guard(serverFoldersLock);
    return workingFolder == serverFoldersBase ? serverFolders : std::vector<ServerFolder>();
}

} // namespace

SRVStatus_t SRV_FixServerFolders(const char* runFolder, const char* dataFolder) {
    try {
        std::vector<ServerFolder> fixed;
        for (const char* name : {runFolder, dataFolder}) {
            std::string resolved = realFolder(name);
            if (resolved.empty()) {
                c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't resolve folder '%s' (%s).", name,
                          std::strerror(errno));
                return SRV_ERR_GENERIC;
            }
            fixed.push_back({name, resolved});
        }
        std::string base = realFolder(".");
        std::lock_guard<std::mutex> guard(serverFoldersLock);
        serverFoldersBase = base;
        serverFolders = fixed;
    } catch (...) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't keep the server's folders.");
        return SRV_ERR_GENERIC;
    }
    return SRV_SUCCESS;
}

// The working folder, the server's own folders where their links led at the
// start and, when asked, the folders of the data variable, each with its
// links resolved (empty when it can't be). The working folder comes first: a
// path that leads into it is walked from it.
static std::vector<std::string> allowedFolders(bool dataFolders) {
    std::vector<std::string> folders{realFolder(".")};
    for (const ServerFolder& folder : fixedServerFolders(folders[0]))
        folders.push_back(folder.resolved);
    const char* list = dataFolders ? std::getenv(SRV_DATA_FOLDERS_VARIABLE) : NULL;
    for (const char* at = list; at != NULL && *at != '\0';) {
        const char* colon = std::strchr(at, ':');
        std::string entry = colon != NULL ? std::string(at, colon) : std::string(at);
        if (!entry.empty())
            folders.push_back(realFolder(entry));
        at = colon != NULL ? colon + 1 : NULL;
    }
    return folders;
}

// The allowed folder that holds where the path leads (its index in folders),
// and what is left of the way below it; false when the path leads outside.
static bool findAllowedFolder(const std::vector<std::string>& folders, const std::string& destination, size_t* index,
                              std::string* below) {
    for (size_t i = 0; i < folders.size() && !destination.empty(); i++) {
        if (isWithin(destination, folders[i])) {
            *index = i;
            *below = folders[i] == "/" ? destination : destination.substr(folders[i].size());
            return true;
        }
    }
    return false;
}

static SRVStatus_t refuseOutside(const c_LogModule_t* module, const char* what, const char* path) {
    c_lprintf(module, C_LOG_ERROR, __LINE__, "%s '%s' leads outside the server's folders: refused.", what, path);
    return SRV_ERR_INVALID_FILE_NAME;
}

SRVStatus_t SRV_CheckClientPath(const c_LogModule_t* module, const char* what, const char* path, bool dataFolders) {
    if (path == NULL || path[0] == '\0')
        return SRV_SUCCESS;
    try {
        size_t index = 0;
        std::string below;
        std::vector<std::string> folders = allowedFolders(dataFolders);
        if (findAllowedFolder(folders, pathDestination(folders[0], path), &index, &below))
            return SRV_SUCCESS;
    } catch (...) {
        // Refused below, as a path that can't be judged.
    }
    return refuseOutside(module, what, path);
}

// ------------------------------------------------------------ the walk

// The names of a way below an allowed folder ("/a/b/c": a, b, c).
static std::vector<std::string> namesOf(const std::string& way) {
    std::vector<std::string> names;
    for (size_t start = 0; start < way.size();) {
        size_t slash = way.find('/', start);
        if (slash == std::string::npos)
            slash = way.size();
        if (slash > start)
            names.push_back(way.substr(start, slash - start));
        start = slash + 1;
    }
    return names;
}

static bool isLinkIn(int folder, const char* name) {
    struct stat info;
    return fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// Closes a descriptor keeping errno.
static void closeKeepingError(int fd) {
    int error = errno;
    close(fd);
    errno = error;
}

// Opens the allowed folder: the working folder is the current one; any other
// is opened by the path its links resolve to (the operator's links, followed
// once, where the path was judged or at the start), following no link in its
// own place.
static int openAllowedFolder(const std::vector<std::string>& folders, size_t index) {
    const char* name = index == 0 ? "." : folders[index].c_str();
    return open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Walks from an allowed folder down through the first count names, following
// no link; with makeFolders the folders missing on the way are made. The last
// folder reached, or -1 with errno set and *link telling whether a link stood
// on the way (a folder swapped for one since the path was judged).
static int walkDown(const std::vector<std::string>& folders, size_t index, const std::vector<std::string>& names,
                    size_t count, bool makeFolders, bool* link) {
    *link = false;
    int folder = openAllowedFolder(folders, index);
    if (folder < 0) {
        int error = errno;
        *link = index != 0 && isLinkIn(AT_FDCWD, folders[index].c_str());
        errno = error;
        return -1;
    }
    for (size_t i = 0; i < count; i++) {
        const char* name = names[i].c_str();
        int next = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && makeFolders && (mkdirat(folder, name, 0777) == 0 || errno == EEXIST))
            next = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            *link = isLinkIn(folder, name);
            closeKeepingError(folder);
            return -1;
        }
        close(folder);
        folder = next;
    }
    return folder;
}

SRVStatus_t SRV_OpenClientFolder(const c_LogModule_t* module, const char* what, const char* path, bool dataFolders,
                                 bool makeFolders, SRVClientFile_t* file) {
    file->folder = -1;
    file->name[0] = '\0';
    const SRVStatus_t failed = makeFolders ? SRV_ERR_GENERIC : SRV_ERR_FILE_OPEN;
    if (path == NULL || path[0] == '\0') {
        errno = ENOENT;
        return SRV_ERR_FILE_OPEN;
    }
    std::vector<std::string> folders;
    std::vector<std::string> names;
    size_t index = 0;
    try {
        folders = allowedFolders(dataFolders);
        std::string below;
        if (!findAllowedFolder(folders, pathDestination(folders[0], path), &index, &below))
            return refuseOutside(module, what, path);
        names = namesOf(below);
    } catch (...) {
        return refuseOutside(module, what, path);
    }
    // Where the path leads is a folder (the allowed folder itself).
    if (names.empty()) {
        errno = EISDIR;
        return SRV_ERR_FILE_OPEN;
    }
    if (names.back().size() >= SRV_CLIENT_NAME_SIZE) {
        errno = ENAMETOOLONG;
        return SRV_ERR_FILE_OPEN;
    }
    bool link = false;
    int folder = walkDown(folders, index, names, names.size() - 1, makeFolders, &link);
    if (folder < 0)
        return link ? refuseOutside(module, what, path) : failed;
    file->folder = folder;
    std::snprintf(file->name, sizeof file->name, "%s", names.back().c_str());
    return SRV_SUCCESS;
}

SRVStatus_t SRV_OpenServerFolder(const c_LogModule_t* module, const char* what, const char* path, int* folder) {
    *folder = -1;
    std::vector<std::string> folders;
    std::vector<std::string> names;
    size_t index = 0;
    bool moved = false;
    struct stat info;
    if (lstat(path, &info) != 0)
        return SRV_ERR_FILE_OPEN;
    try {
        folders = allowedFolders(false);
        // Where the folder led at the start; a folder the start did not fix
        // is taken where it stands, its own name not followed.
        std::string expected = pathDestination(folders[0], path);
        for (const ServerFolder& fixed : fixedServerFolders(folders[0]))
            if (fixed.name == path)
                expected = fixed.resolved;
        moved = pathDestination(folders[0], path, true) != expected;
        std::string below;
        if (!moved && !findAllowedFolder(folders, expected, &index, &below))
            return refuseOutside(module, what, path);
        names = namesOf(below);
    } catch (...) {
        return refuseOutside(module, what, path);
    }
    bool link = moved;
    if (!moved)
        *folder = walkDown(folders, index, names, names.size(), false, &link);
    if (link) {
        c_lprintf(module, C_LOG_ERROR, __LINE__,
                  "%s '%s' leads elsewhere than at the start (a link put in its place): refused.", what, path);
        return SRV_ERR_INVALID_FILE_NAME;
    }
    return *folder >= 0 ? SRV_SUCCESS : SRV_ERR_FILE_OPEN;
}

void SRV_CloseClientFolder(SRVClientFile_t* file) {
    if (file != NULL && file->folder >= 0) {
        close(file->folder);
        file->folder = -1;
    }
}

// --------------------------------------------------------- opening a file

// Opens a name in a folder without following a link and without blocking on
// a FIFO, and keeps it only when it is a regular file (blocking again);
// writing, only when it has no other link. -1 with errno set otherwise.
static int openRegularIn(int folder, const char* name, int flags, mode_t mode, bool refuseLinked) {
    int fd = openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    struct stat info;
    int error = 0;
    if (fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    else if (refuseLinked && info.st_nlink > 1)
        error = EMLINK;
    else if ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int SRV_OpenClientFile(const SRVClientFile_t* file) {
    if (file == NULL || file->folder < 0) {
        errno = EBADF;
        return -1;
    }
    return openRegularIn(file->folder, file->name, O_RDONLY, 0, false);
}

int SRV_CreateClientFile(const SRVClientFile_t* file) {
    if (file == NULL || file->folder < 0) {
        errno = EBADF;
        return -1;
    }
    int fd = openRegularIn(file->folder, file->name, O_RDWR | O_CREAT, 0666, true);
    if (fd < 0 && errno == EMLINK) {
        // Emptying it would empty every other name of the file: the name is
        // given a file of its own instead. A name that appears again between
        // the two steps fails the creation.
        if (unlinkat(file->folder, file->name, 0) != 0 && errno != ENOENT)
            return -1;
        return openRegularIn(file->folder, file->name, O_RDWR | O_CREAT | O_EXCL, 0666, true);
    }
    if (fd >= 0 && ftruncate(fd, 0) != 0) {
        closeKeepingError(fd);
        return -1;
    }
    return fd;
}

// ------------------------------------------------------------ databases

namespace {

const char DATABASE_PREFIX[] = "/proc/self/fd/";

// The folder and the name of an SQLite name made by SRV_OpenClientDatabase;
// false for any other name.
bool parseDatabaseName(const char* path, int* folder, const char** name) {
    const size_t prefix = sizeof DATABASE_PREFIX - 1;
    if (path == NULL || std::strncmp(path, DATABASE_PREFIX, prefix) != 0)
        return false;
    const char* digits = path + prefix;
    char* end = NULL;
    long value = std::strtol(digits, &end, 10);
    if (end == digits || *end != '/' || value < 0 || value > INT32_MAX || end[1] == '\0' ||
        std::strchr(end + 1, '/') != NULL)
        return false;
    *folder = static_cast<int>(value);
    *name = end + 1;
    return true;
}

typedef int (*OpenCall)(const char*, int, int);
typedef int (*LstatCall)(const char*, struct stat*);
std::atomic<OpenCall> sqliteOpen{nullptr};
std::atomic<LstatCall> sqliteLstat{nullptr};

// SQLite's open of a file. A name of a client database (its journal
// included) is opened in its folder by the rules of every client file: no
// link followed, regular files only, written only with no other link.
int confinedOpen(const char* path, int flags, int mode) {
    int folder = -1;
    const char* name = NULL;
    if (parseDatabaseName(path, &folder, &name)) {
        bool writes = (flags & O_ACCMODE) != O_RDONLY;
        return openRegularIn(folder, name, flags, static_cast<mode_t>(mode), writes);
    }
    return sqliteOpen.load()(path, flags, mode);
}

// SQLite resolves the links of every name it opens, by name. The folders of
// a client database's name are opened folders, not names: they are reported
// as what they are, so that SQLite keeps the name as it was given.
int confinedLstat(const char* path, struct stat* info) {
    if (path != NULL && (std::strcmp(path, "/proc/self") == 0 || std::strncmp(path, "/proc/self/", 11) == 0))
        return stat(path, info);
    return sqliteLstat.load()(path, info);
}

// Routes SQLite's opens through the two calls above, once: true when they
// are in place.
bool confineSqliteOpens() {
    static std::once_flag once;
    static bool installed = false;
    std::call_once(once, [] {
        sqlite3_vfs* vfs = sqlite3_vfs_find(NULL);
        if (vfs == NULL || vfs->iVersion < 3 || vfs->xGetSystemCall == NULL || vfs->xSetSystemCall == NULL)
            return;
        OpenCall open = reinterpret_cast<OpenCall>(vfs->xGetSystemCall(vfs, "open"));
        LstatCall lstat = reinterpret_cast<LstatCall>(vfs->xGetSystemCall(vfs, "lstat"));
        if (open == NULL || lstat == NULL)
            return;
        sqliteOpen.store(open);
        sqliteLstat.store(lstat);
        installed =
            vfs->xSetSystemCall(vfs, "lstat", reinterpret_cast<sqlite3_syscall_ptr>(confinedLstat)) == SQLITE_OK &&
            vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(confinedOpen)) == SQLITE_OK;
    });
    return installed;
}

// Copies a file's content into a new one: false with errno set.
bool copyContent(int from, int to) {
    char buffer[65536];
    for (;;) {
        ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return fsync(to) == 0;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = write(to, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                return false;
            done += put;
        }
    }
}

// Gives a database with other links a file of its own under its name: a copy
// made beside it, then moved over the name. True when nothing needed it or
// the copy is in place; false with errno set (the name is left as it was).
bool ownDatabaseFile(const c_LogModule_t* module, const char* what, const char* path, const SRVClientFile_t* file) {
    int current = openat(file->folder, file->name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (current < 0)
        return true; // nothing there to share, or nothing SQLite will open
    struct stat info;
    if (fstat(current, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink <= 1) {
        close(current);
        return true;
    }
    static std::atomic<unsigned> serial{0};
    char copyName[64];
    int copy = -1;
    for (int attempt = 0; attempt < 16 && copy < 0; attempt++) {
        std::snprintf(copyName, sizeof copyName, ".srv-copy-%ld-%u", static_cast<long>(getpid()), serial++);
        copy = openat(file->folder, copyName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, info.st_mode & 0777);
        if (copy < 0 && errno != EEXIST)
            break;
    }
    bool done = copy >= 0 && fcntl(current, F_SETFL, fcntl(current, F_GETFL) & ~O_NONBLOCK) == 0 &&
                copyContent(current, copy) && renameat(file->folder, copyName, file->folder, file->name) == 0;
    int error = errno;
    if (copy >= 0) {
        close(copy);
        if (!done)
            unlinkat(file->folder, copyName, 0);
    }
    close(current);
    if (!done) {
        errno = error;
        return false;
    }
    c_lprintf(module, C_LOG_WARNING, __LINE__,
              "%s '%s' had other links: it is written as a file of its own, the other names keep theirs.", what, path);
    return true;
}

} // namespace

SRVStatus_t SRV_OpenClientDatabase(const c_LogModule_t* module, const char* what, const char* path, bool dataFolders,
                                   bool writes, SRVClientFile_t* file, char name[SRV_CLIENT_DATABASE_NAME_SIZE]) {
    name[0] = '\0';
    SRVStatus_t status = SRV_OpenClientFolder(module, what, path, dataFolders, false, file);
    if (status != SRV_SUCCESS)
        return status;
    if (!confineSqliteOpens()) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "SQLite's opens can't be confined: %s '%s' not opened.", what,
                  path);
        SRV_CloseClientFolder(file);
        errno = ENOSYS;
        return SRV_ERR_FILE_OPEN;
    }
    if (writes && !ownDatabaseFile(module, what, path, file)) {
        closeKeepingError(file->folder);
        file->folder = -1;
        return SRV_ERR_FILE_OPEN;
    }
    std::snprintf(name, SRV_CLIENT_DATABASE_NAME_SIZE, "%s%d/%s", DATABASE_PREFIX, file->folder, file->name);
    return SRV_SUCCESS;
}
