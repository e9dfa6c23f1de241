// The check of the paths clients name for the server's files, and the open
// that follows no link.
#include "SRV_ClientPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
// resolved with its links (as the kernel will follow them), a missing one is
// taken as written (a folder made for it is no link), and so is the last
// name, which the server's opens do not follow. Empty when a folder on the
// way exists but can't be resolved.
static std::string pathDestination(const std::string& base, const std::string& path) {
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
        bool last = i + 1 == names.size();
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

// The working folder and, when asked, the folders of the data variable.
static std::vector<std::string> allowedFolders(bool dataFolders) {
    std::vector<std::string> folders{realFolder(".")};
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

SRVStatus_t SRV_CheckClientPath(const c_LogModule_t* module, const char* what, const char* path, bool dataFolders) {
    if (path == NULL || path[0] == '\0')
        return SRV_SUCCESS;
    try {
        std::vector<std::string> folders = allowedFolders(dataFolders);
        std::string destination = pathDestination(folders[0], path);
        for (const std::string& folder : folders)
            if (!destination.empty() && isWithin(destination, folder))
                return SRV_SUCCESS;
    } catch (...) {
        // Refused below, as a path that can't be judged.
    }
    c_lprintf(module, C_LOG_ERROR, __LINE__, "%s '%s' leads outside the server's folders: refused.", what, path);
    return SRV_ERR_INVALID_FILE_NAME;
}

FILE* SRV_CreateFile(const char* path) {
    // Non-blocking, so that a FIFO in the way can't hold the open.
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return NULL;
    struct stat info;
    int error = 0;
    if (fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = EINVAL;
    else if (ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    FILE* file = error == 0 ? fdopen(fd, "w+") : NULL;
    if (file == NULL) {
        if (error == 0)
            error = errno;
        close(fd);
        errno = error;
    }
    return file;
}
