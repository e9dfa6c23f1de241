// Path macros and folders. A path macro "$(NAME)" stands for the value of the
// environment variable NAME (empty when unset); a "$(" without its ")" is
// kept as it stands.
#include "ZarnUtility.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

struct c_dir_t {
    DIR* dir;
};

extern "C" char* c_getExpandedString(const char* text) {
    if (text == NULL)
        return NULL;
    try {
        std::string expanded;
        const char* cursor = text;
        while (*cursor != '\0') {
            const char* open = strstr(cursor, "$(");
            const char* close = open != NULL ? strchr(open + 2, ')') : NULL;
            if (close == NULL) {
                expanded += cursor;
                break;
            }
            expanded.append(cursor, open - cursor);
            std::string name(open + 2, close - open - 2);
            const char* value = getenv(name.c_str());
            if (value != NULL)
                expanded += value;
            cursor = close + 1;
        }
        return c_strdup(expanded.c_str());
    } catch (...) {
        return NULL;
    }
}

static int makeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0)
        return 0;
    int error = errno;
    struct stat status;
    if (error == EEXIST && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        return 0;
    return error == EEXIST ? ENOTDIR : error;
}

extern "C" int c_mkdirp(const char* path) {
    if (path == NULL || *path == '\0')
        return EINVAL;
    try {
        std::string full(path);
        // Every prefix ending before a '/' is a parent folder; the leading
        // '/' of an absolute path names no folder to create.
        for (size_t slash = full.find('/', 1); slash != std::string::npos; slash = full.find('/', slash + 1)) {
            if (full[slash - 1] == '/')
                continue;
            int error = makeFolder(full.substr(0, slash));
            if (error != 0)
                return error;
        }
        if (full.back() == '/')
            return 0;
        return makeFolder(full);
    } catch (...) {
        return ENOMEM;
    }
}

extern "C" int c_chdir(const char* path) {
    if (path == NULL)
        return EINVAL;
    return chdir(path) == 0 ? 0 : errno;
}

extern "C" int c_dirname(const char* path, char* folder, size_t size) {
    if (path == NULL || folder == NULL || size == 0)
        return EINVAL;
    size_t end = strlen(path);
    while (end > 1 && path[end - 1] == '/')
        end--; // trailing separators
    while (end > 0 && path[end - 1] != '/')
        end--; // the last name
    while (end > 1 && path[end - 1] == '/')
        end--; // separators before it
    const char* result = path;
    if (end == 0) {
        result = path[0] == '/' ? "/" : ".";
        end = 1;
    }
    if (end >= size)
        return ENAMETOOLONG;
    memcpy(folder, result, end);
    folder[end] = '\0';
    return 0;
}

extern "C" c_dir_t* c_opendir(const char* path) {
    if (path == NULL)
        return NULL;
    DIR* dir = opendir(path);
    if (dir == NULL)
        return NULL;
    c_dir_t* handle = static_cast<c_dir_t*>(c_malloc(sizeof *handle));
    if (handle == NULL) {
        closedir(dir);
        return NULL;
    }
    handle->dir = dir;
    return handle;
}

extern "C" const char* c_readdir(c_dir_t* dir) {
    if (dir == NULL)
        return NULL;
    while (struct dirent* entry = readdir(dir->dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            return entry->d_name;
    }
    return NULL;
}

extern "C" void c_closedir(c_dir_t* dir) {
    if (dir == NULL)
        return;
    closedir(dir->dir);
    c_free(dir);
}
