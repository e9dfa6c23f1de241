/*
 * SRV_Versions: the version texts the server reports.
 */
#ifndef SRV_VERSIONS_H
#define SRV_VERSIONS_H

#ifdef __cplusplus
extern "C" {
#endif

/* The server version "<sysrel>-Build <build>" from "/fw/etc/SysInfo", or the
 * built-in one. A static text. */
const char* SRV_GetServerVersion(void);
/* The library version the server reports. */
#define SRV_LIBRARY_VERSION "0.99.10"
const char* SRV_GetSqliteCompiledVersion(void);
const char* SRV_GetSqliteRuntimeVersion(void);
const char* SRV_GetCompilerVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* SRV_VERSIONS_H */
