/*
 * Installs and removes the stand-in QMD5820 driver under Wine: the driver and the DLL
 * hosting the simulated board are copied into the system directories, a demand-start
 * kernel service is created, and each board is a root-enumerated device of that service.
 */
#ifndef QMD5820_STANDIN_INSTALL_H
#define QMD5820_STANDIN_INSTALL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Copies `sys_path` and `host_dll_path` into place, creates `boards` devices and starts
 * the service; waits (up to `timeout_ms`) until that many device interfaces of the board's
 * class are present. 0 on success; otherwise -1 and a message in `error` (size bytes). */
int standin_install(const char* sys_path, const char* host_dll_path, unsigned boards,
                    unsigned timeout_ms, char* error, unsigned size);

/* Removes every device of the stand-in and its service; waits (up to `timeout_ms`) until
 * no device interface of the board's class is present. 0 on success, -1 otherwise. */
int standin_remove(unsigned timeout_ms, char* error, unsigned size);

/* Present device interfaces of the board's class, or -1 when they cannot be enumerated. */
int standin_present_interfaces(void);

/* Path of present device interface `index` into `path`; 0 on success, -1 otherwise. */
int standin_interface_path(unsigned index, char* path, unsigned size);

#ifdef __cplusplus
}
#endif

#endif /* QMD5820_STANDIN_INSTALL_H */
