/* The recording fake QuickUSB library. */
#include "fake_quickusb.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hw/quickusb_api.h"

#define EXPORT __attribute__((visibility("default")))

static char *logText;
static size_t logLen, logCap;
static int modules = 1, openOk = 1, failReadSetting, readDataOk = 1, failPortRead;
static long portERead = 0x08, portARead = 0, deliver = -1;
static long portABits = -1; /* TDO of successive port A reads, bit 0 first; -1: portARead */
static unsigned portAReads;
static unsigned char ports[8], dirs[8];
static unsigned short settings[8];
static int handleToken;

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
}

EXPORT const char *FakeQuickUsbLog(void) { return logText ? logText : ""; }

EXPORT int QuickUsbFindModules(char *nameList, uint32_t length) {
  logLine("FindModules %u", (unsigned)length);
  if (!modules) return 0;
  if (length > 0) snprintf(nameList, length < 512 ? length : 512, "%s", "QUSB-0");
  return 1;
}

EXPORT int QuickUsbOpen(QHANDLE *device, char *name) {
  logLine("Open %s", name);
  if (!openOk) return 0;
  *device = &handleToken;
  return 1;
}

EXPORT int QuickUsbClose(QHANDLE device) {
  logLine("Close %s", device == &handleToken ? "ok" : "bad");
  return 1;
}

EXPORT int QuickUsbReadSetting(QHANDLE device, uint16_t address, uint16_t *value) {
  (void)device;
  logLine("ReadSetting %u", (unsigned)address);
  if (failReadSetting == address) return 0;
  *value = address < 8 ? settings[address] : 0;
  return 1;
}

EXPORT int QuickUsbWriteSetting(QHANDLE device, uint16_t address, uint16_t value) {
  (void)device;
  logLine("WriteSetting %u 0x%X", (unsigned)address, (unsigned)value);
  if (address < 8 && address != 4 && address != 5) settings[address] = value;
  return 1;
}

EXPORT int QuickUsbReadSpi(QHANDLE device, uint8_t portNum, uint8_t *data, uint16_t *length) {
  (void)device;
  logLine("ReadSpi %u %u", (unsigned)portNum, (unsigned)*length);
  for (unsigned i = 0; i < *length; ++i) data[i] = 0x5A;
  return 1;
}

EXPORT int QuickUsbWriteSpi(QHANDLE device, uint8_t portNum, uint8_t *data, uint16_t length) {
  (void)device;
  logLine("WriteSpi %u 0x%02X %u", (unsigned)portNum, length ? data[0] : 0, (unsigned)length);
  return 1;
}

EXPORT int QuickUsbReadPortDir(QHANDLE device, uint16_t address, uint8_t *dir) {
  (void)device;
  logLine("ReadPortDir %u", (unsigned)address);
  *dir = address < 8 ? dirs[address] : 0;
  return 1;
}

EXPORT int QuickUsbWritePortDir(QHANDLE device, uint16_t address, uint8_t dir) {
  (void)device;
  logLine("WritePortDir %u 0x%02X", (unsigned)address, (unsigned)dir);
  if (address < 8) dirs[address] = dir;
  return 1;
}

EXPORT int QuickUsbReadPort(QHANDLE device, uint16_t address, uint8_t *data, uint16_t *length) {
  (void)device;
  logLine("ReadPort %u %u", (unsigned)address, (unsigned)*length);
  if (failPortRead) return 0;
  long scripted = address == 4 ? portERead : address == 0 ? portARead : -1;
  if (address == 0 && portABits >= 0)
    scripted = (portABits >> (portAReads++ % 32)) & 1 ? 0x08 : 0x00;
  *data = scripted >= 0 ? (uint8_t)scripted : (address < 8 ? ports[address] : 0);
  return 1;
}

EXPORT int QuickUsbWritePort(QHANDLE device, uint16_t address, uint8_t *data, uint16_t length) {
  (void)device;
  logLine("WritePort %u 0x%02X %u", (unsigned)address, length ? data[0] : 0, (unsigned)length);
  if (address < 8 && length) ports[address] = data[0];
  return 1;
}

#ifndef FAKE_OMIT_READ_DATA
EXPORT int QuickUsbReadData(QHANDLE device, uint8_t *data, uint32_t *length) {
  (void)device;
  logLine("ReadData %u", (unsigned)*length);
  if (!readDataOk) return 0;
  uint32_t n = deliver >= 0 && (uint32_t)deliver < *length ? (uint32_t)deliver : *length;
  for (uint32_t i = 0; i < n; ++i) data[i] = (uint8_t)i;
  *length = n;
  return 1;
}
#endif

__attribute__((constructor)) static void init(void) { FakeQuickUsbReset(); }
__attribute__((destructor)) static void fini(void) {
  free(logText);
  logText = NULL;
  logLen = logCap = 0;
}
