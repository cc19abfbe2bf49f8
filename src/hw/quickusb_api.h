/* The QuickUSB C interface as Tessock calls it: twelve entry points, each returning nonzero on
 * success and 0 on failure. The vendor library and the simulated bench (sim/) both export these
 * names; Tessock binds them at run time with dlopen/dlsym. */
#ifndef TESSOCK_QUICKUSB_API_H
#define TESSOCK_QUICKUSB_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void *QHANDLE;

typedef int (*QuickUsbFindModules_t)(char *nameList, uint32_t length);
typedef int (*QuickUsbOpen_t)(QHANDLE *device, char *name);
typedef int (*QuickUsbClose_t)(QHANDLE device);
typedef int (*QuickUsbReadSetting_t)(QHANDLE device, uint16_t address, uint16_t *value);
typedef int (*QuickUsbWriteSetting_t)(QHANDLE device, uint16_t address, uint16_t value);
typedef int (*QuickUsbReadSpi_t)(QHANDLE device, uint8_t portNum, uint8_t *data, uint16_t *length);
typedef int (*QuickUsbWriteSpi_t)(QHANDLE device, uint8_t portNum, uint8_t *data, uint16_t length);
typedef int (*QuickUsbReadPortDir_t)(QHANDLE device, uint16_t address, uint8_t *dir);
typedef int (*QuickUsbWritePortDir_t)(QHANDLE device, uint16_t address, uint8_t dir);
typedef int (*QuickUsbReadPort_t)(QHANDLE device, uint16_t address, uint8_t *data,
                                  uint16_t *length);
typedef int (*QuickUsbWritePort_t)(QHANDLE device, uint16_t address, uint8_t *data,
                                   uint16_t length);
typedef int (*QuickUsbReadData_t)(QHANDLE device, uint8_t *data, uint32_t *length);

/* Optional entry points of the simulated bench (a vendor library has neither). */
/* Attaches the host's clock: now(ctx) gives seconds, advance(ctx, s) charges I/O time. */
typedef double (*QuickUsbSimNow_t)(void *ctx);
typedef void (*QuickUsbSimAdvance_t)(void *ctx, double seconds);
typedef void (*QuickUsbSimAttachClock_t)(QuickUsbSimNow_t now, QuickUsbSimAdvance_t advance,
                                         void *ctx);
/* Loads a board configuration file; nonzero on success. On failure the message is available
 * from QuickUsbSimLastError and the bench keeps its previous configuration. */
typedef int (*QuickUsbSimConfigure_t)(const char *path);
typedef const char *(*QuickUsbSimLastError_t)(void);

#ifdef __cplusplus
}
#endif

#endif
