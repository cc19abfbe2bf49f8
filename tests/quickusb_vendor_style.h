/* The twelve QuickUSB entry points written the way the vendor's Linux header writes them: the
 * types are preprocessor macros (QHANDLE, QLONG, QULONG, QRESULT, QRETURN), not typedefs, and
 * the entry points are declared through them. Written for the header check's test from the
 * types the binding declares (64-bit Linux: results long, handle signed short, discovery and
 * bulk-read lengths unsigned long); tests/scripts/quickusb_header.sh changes one type at a time
 * in a copy of it. */
#ifndef QUICKUSB_VENDOR_STYLE_H
#define QUICKUSB_VENDOR_STYLE_H

#define QHANDLE signed short
#define QLONG long
#define QULONG unsigned long
#define QRESULT long
#define QRETURN QRESULT
#define QWORD unsigned short
#define QBYTE unsigned char
#define PQBYTE unsigned char *
#define PQWORD unsigned short *

#ifdef __cplusplus
extern "C" {
#endif

QRETURN QuickUsbFindModules(char *nameList, QULONG length);
QRETURN QuickUsbOpen(QHANDLE *hDevice, char *devName);
QRETURN QuickUsbClose(QHANDLE hDevice);
QRETURN QuickUsbReadSetting(QHANDLE hDevice, QWORD address, PQWORD value);
QRETURN QuickUsbWriteSetting(QHANDLE hDevice, QWORD address, QWORD value);
QRETURN QuickUsbReadSpi(QHANDLE hDevice, QBYTE portNum, PQBYTE data, PQWORD length);
QRETURN QuickUsbWriteSpi(QHANDLE hDevice, QBYTE portNum, PQBYTE data, QWORD length);
QRETURN QuickUsbReadPortDir(QHANDLE hDevice, QWORD address, PQBYTE data);
QRETURN QuickUsbWritePortDir(QHANDLE hDevice, QWORD address, QBYTE data);
QRETURN QuickUsbReadPort(QHANDLE hDevice, QWORD address, PQBYTE data, PQWORD length);
QRETURN QuickUsbWritePort(QHANDLE hDevice, QWORD address, PQBYTE data, QWORD length);
QRETURN QuickUsbReadData(QHANDLE hDevice, PQBYTE data, QULONG *length);

#ifdef __cplusplus
}
#endif

#endif
