/* The twelve QuickUSB entry points as the vendor's Linux library (release 2.15) declares them,
 * written here independently of src/hw/quickusb_api.h: the fake library is compiled from these,
 * so a binding whose own declarations drift from the vendor's (a 32-bit length, an int result)
 * disagrees with the fake at run time and its tests fail. */
#ifndef VENDOR_QUICKUSB_H
#define VENDOR_QUICKUSB_H

#ifdef __cplusplus
extern "C" {
#endif

long QuickUsbFindModules(char *nameList, unsigned long length);
long QuickUsbOpen(signed short *device, char *name);
long QuickUsbClose(signed short device);
long QuickUsbReadSetting(signed short device, unsigned short address, unsigned short *value);
long QuickUsbWriteSetting(signed short device, unsigned short address, unsigned short value);
long QuickUsbReadSpi(signed short device, unsigned char portNum, unsigned char *data,
                     unsigned short *length);
long QuickUsbWriteSpi(signed short device, unsigned char portNum, unsigned char *data,
                      unsigned short length);
long QuickUsbReadPortDir(signed short device, unsigned short address, unsigned char *dir);
long QuickUsbWritePortDir(signed short device, unsigned short address, unsigned char dir);
long QuickUsbReadPort(signed short device, unsigned short address, unsigned char *data,
                      unsigned short *length);
long QuickUsbWritePort(signed short device, unsigned short address, unsigned char *data,
                       unsigned short length);
long QuickUsbReadData(signed short device, unsigned char *data, unsigned long *length);

#ifdef __cplusplus
}
#endif

#endif
