/* The QuickUSB C interface as Tessock calls it: twelve entry points, each returning nonzero on
 * success and 0 on failure. The vendor library and the simulated bench (sim/) both export these
 * names; Tessock binds them at run time with dlopen/dlsym. */
#ifndef TESSOCK_QUICKUSB_API_H
#define TESSOCK_QUICKUSB_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The declarations follow the vendor's Linux interface (QuickUSB library 2.15): every result
 * is a long, the device handle a signed short that QuickUsbOpen fills and the others take by
 * value, and the discovery and bulk-read lengths are unsigned long (8 bytes on 64-bit Linux;
 * the bulk-read length is read and written whole). Callers keep their own variables and
 * convert at the call (hw::QuickUsb).
 *
 * Every name here is the binding's own: the vendor's header defines QHANDLE, QLONG, QULONG,
 * QRESULT and QRETURN as macros, so a typedef of any of those names would be rewritten by the
 * preprocessor wherever this header is included after the vendor's. */
typedef signed short QuickUsbHandle_t;

typedef long (*QuickUsbFindModules_t)(char *nameList, unsigned long length);
typedef long (*QuickUsbOpen_t)(QuickUsbHandle_t *device, char *name);
typedef long (*QuickUsbClose_t)(QuickUsbHandle_t device);
typedef long (*QuickUsbReadSetting_t)(QuickUsbHandle_t device, unsigned short address,
                                      unsigned short *value);
typedef long (*QuickUsbWriteSetting_t)(QuickUsbHandle_t device, unsigned short address,
                                       unsigned short value);
typedef long (*QuickUsbReadSpi_t)(QuickUsbHandle_t device, unsigned char portNum,
                                  unsigned char *data, unsigned short *length);
typedef long (*QuickUsbWriteSpi_t)(QuickUsbHandle_t device, unsigned char portNum,
                                   unsigned char *data, unsigned short length);
typedef long (*QuickUsbReadPortDir_t)(QuickUsbHandle_t device, unsigned short address,
                                      unsigned char *dir);
typedef long (*QuickUsbWritePortDir_t)(QuickUsbHandle_t device, unsigned short address,
                                       unsigned char dir);
typedef long (*QuickUsbReadPort_t)(QuickUsbHandle_t device, unsigned short address,
                                   unsigned char *data, unsigned short *length);
typedef long (*QuickUsbWritePort_t)(QuickUsbHandle_t device, unsigned short address,
                                    unsigned char *data, unsigned short length);
typedef long (*QuickUsbReadData_t)(QuickUsbHandle_t device, unsigned char *data,
                                   unsigned long *length);

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
/* The board alone: powered off (its fibres go quiet) or on (at its power-on state), and another
 * board file put in while it is off (NULL or "": the default board). Nonzero on success; a
 * refusal is said by QuickUsbSimLastError. The module stays plugged in and open. */
typedef int (*QuickUsbSimBoardPower_t)(int on);
typedef int (*QuickUsbSimInsertBoard_t)(const char *path);

#ifdef __cplusplus
}
#endif

#endif
