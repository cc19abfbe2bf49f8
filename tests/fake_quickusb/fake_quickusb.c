/* The recording fake QuickUSB library. */
#include "fake_quickusb.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vendor_quickusb.h"

#define EXPORT __attribute__((visibility("default")))

static char *logText;
static size_t logLen, logCap;
static int modules = 1, openOk = 1, failReadSetting, readDataOk = 1, failPortRead;
static long portERead = 0x08, portARead = 0, deliver = -1;
static long portABits = -1; /* TDO of successive port A reads, bit 0 first; -1: portARead */
static unsigned portAReads;
static unsigned char ports[8], dirs[8];
static unsigned short settings[8];
static long success = 1;        /* what every successful call returns */
static signed short handle = 1; /* what QuickUsbOpen gives out */
static long badHandles;         /* calls that were passed another handle */

static void checkHandle(signed short device) {
  if (device != handle) ++badHandles;
}

static void logLine(const char *fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if ((size_t)n >= sizeof line) n = sizeof line - 1;
  if (logLen + (size_t)n + 2 > logCap) {
    size_t cap = logCap ? logCap * 2 : 4096;
    while (cap < logLen + (size_t)n + 2) cap *= 2;
    char *p = realloc(logText, cap);
    if (!p) return;
    logText = p;
    logCap = cap;
  }
  memcpy(logText + logLen, line, (size_t)n);
  logLen += (size_t)n;
  logText[logLen++] = '\n';
  logText[logLen] = '\0';
}

EXPORT void FakeQuickUsbClearLog(void) {
  logLen = 0;
  if (logText) logText[0] = '\0';
}

EXPORT void FakeQuickUsbReset(void) {
  FakeQuickUsbClearLog();
  modules = 1, openOk = 1, failReadSetting = 0, readDataOk = 1, failPortRead = 0;
  portERead = 0x08, portARead = 0, deliver = -1;
  portABits = -1, portAReads = 0;
  success = 1, handle = 1, badHandles = 0;
  memset(ports, 0, sizeof ports);
  memset(dirs, 0, sizeof dirs);
  memset(settings, 0, sizeof settings);
  settings[4] = 0x1234;
  settings[5] = 0x5678;
}

EXPORT void FakeQuickUsbSet(const char *key, long value) {
  if (!strcmp(key, "modules"))
    modules = (int)value;
  else if (!strcmp(key, "open"))
    openOk = (int)value;
  else if (!strcmp(key, "failReadSetting"))
    failReadSetting = (int)value;
  else if (!strcmp(key, "portE"))
    portERead = value;
  else if (!strcmp(key, "portA"))
    portARead = value;
  else if (!strcmp(key, "portABits"))
    portABits = value, portAReads = 0;
  else if (!strcmp(key, "readData"))
    readDataOk = (int)value;
  else if (!strcmp(key, "deliver"))
    deliver = value;
  else if (!strcmp(key, "failPortRead"))
    failPortRead = (int)value;
  else if (!strcmp(key, "result"))
    success = value;
  else if (!strcmp(key, "handle"))
    handle = (signed short)value;
}

EXPORT long FakeQuickUsbGet(const char *key) {
  if (!strcmp(key, "badHandles")) return badHandles;
  return -1;
}

EXPORT const char *FakeQuickUsbLog(void) { return logText ? logText : ""; }

EXPORT long QuickUsbFindModules(char *nameList, unsigned long length) {
  logLine("FindModules %lu", length);
  if (!modules) return 0;
  /* The list takes the whole buffer it is given: the first name, then zeros. */
  static const char name[] = "QUSB-0";
  if (length < sizeof name) return 0;
  memcpy(nameList, name, sizeof name);
  memset(nameList + sizeof name, 0, length - sizeof name);
  return success;
}

EXPORT long QuickUsbOpen(signed short *device, char *name) {
  logLine("Open %s", name);
  if (!openOk) return 0;
  *device = handle; /* two bytes, nothing beside them */
  return success;
}

EXPORT long QuickUsbClose(signed short device) {
  logLine("Close %s", device == handle ? "ok" : "bad");
  return success;
}

EXPORT long QuickUsbReadSetting(signed short device, unsigned short address,
                                unsigned short *value) {
  checkHandle(device);
  logLine("ReadSetting %u", (unsigned)address);
  if (failReadSetting == address) return 0;
  *value = address < 8 ? settings[address] : 0;
  return success;
}

EXPORT long QuickUsbWriteSetting(signed short device, unsigned short address,
                                 unsigned short value) {
  checkHandle(device);
  logLine("WriteSetting %u 0x%X", (unsigned)address, (unsigned)value);
  if (address < 8 && address != 4 && address != 5) settings[address] = value;
  return success;
}

EXPORT long QuickUsbReadSpi(signed short device, unsigned char portNum, unsigned char *data,
                            unsigned short *length) {
  checkHandle(device);
  logLine("ReadSpi %u %u", (unsigned)portNum, (unsigned)*length);
  for (unsigned i = 0; i < *length; ++i) data[i] = 0x5A;
  return success;
}

EXPORT long QuickUsbWriteSpi(signed short device, unsigned char portNum, unsigned char *data,
                             unsigned short length) {
  checkHandle(device);
  logLine("WriteSpi %u 0x%02X %u", (unsigned)portNum, length ? data[0] : 0, (unsigned)length);
  return success;
}

EXPORT long QuickUsbReadPortDir(signed short device, unsigned short address, unsigned char *dir) {
  checkHandle(device);
  logLine("ReadPortDir %u", (unsigned)address);
  *dir = address < 8 ? dirs[address] : 0;
  return success;
}

EXPORT long QuickUsbWritePortDir(signed short device, unsigned short address, unsigned char dir) {
  checkHandle(device);
  logLine("WritePortDir %u 0x%02X", (unsigned)address, (unsigned)dir);
  if (address < 8) dirs[address] = dir;
  return success;
}

EXPORT long QuickUsbReadPort(signed short device, unsigned short address, unsigned char *data,
                             unsigned short *length) {
  checkHandle(device);
  logLine("ReadPort %u %u", (unsigned)address, (unsigned)*length);
  if (failPortRead) return 0;
  long scripted = address == 4 ? portERead : address == 0 ? portARead : -1;
  if (address == 0 && portABits >= 0)
    scripted = (portABits >> (portAReads++ % 32)) & 1 ? 0x08 : 0x00;
  *data = scripted >= 0 ? (unsigned char)scripted : (address < 8 ? ports[address] : 0);
  return success;
}

EXPORT long QuickUsbWritePort(signed short device, unsigned short address, unsigned char *data,
                              unsigned short length) {
  checkHandle(device);
  logLine("WritePort %u 0x%02X %u", (unsigned)address, length ? data[0] : 0, (unsigned)length);
  if (address < 8 && length) ports[address] = data[0];
  return success;
}

#ifndef FAKE_OMIT_READ_DATA
/* Larger bulk requests are refused without touching the buffer. */
static const unsigned long readLimit = 1ul << 20;

/* The length is read and written whole, all eight bytes of it. */
EXPORT long QuickUsbReadData(signed short device, unsigned char *data, unsigned long *length) {
  checkHandle(device);
  const unsigned long want = *length;
  logLine("ReadData %lu", want);
  if (!readDataOk || want > readLimit) return 0;
  /* "deliver" may claim more than was asked for; no more than the request is ever written. */
  const unsigned long claimed = deliver >= 0 ? (unsigned long)deliver : want;
  const unsigned long n = claimed < want ? claimed : want;
  for (unsigned long i = 0; i < n; ++i) data[i] = (unsigned char)i;
  *length = claimed;
  return success;
}
#endif

__attribute__((constructor)) static void init(void) { FakeQuickUsbReset(); }
__attribute__((destructor)) static void fini(void) {
  free(logText);
  logText = NULL;
  logLen = logCap = 0;
}
