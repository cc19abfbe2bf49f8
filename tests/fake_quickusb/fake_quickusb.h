/* Control entry points of the recording fake QuickUSB library (tests only). */
#ifndef FAKE_QUICKUSB_H
#define FAKE_QUICKUSB_H

#ifdef __cplusplus
extern "C" {
#endif

/* Back to the defaults: one module "QUSB-0" that opens, settings read back as written (4 and 5:
 * 0x1234 and 0x5678), port E reads 0x08, port A reads 0x00, bulk reads deliver what is asked
 * (bytes 0..255 repeating). Clears the log. */
typedef void (*FakeQuickUsbReset_t)(void);
/* Scripted answers, by key: "modules" (0: none found), "open" (0: open fails),
 * "failReadSetting" (setting number whose read fails, 0 none), "portE" and "portA" (byte read,
 * -1: the last byte written), "portABits" (TDO of the successive port A reads, bit 0 of the
 * value for the first read, bit 31 for the 32nd, then again from bit 0; -1: "portA" applies),
 * "readData" (0: bulk reads fail), "deliver" (count a bulk read reports, -1: as asked; a count
 * above the request is claimed but only the request is written), "failPortRead" (1: port reads
 * fail), "result" (what every successful call returns, default 1), "handle" (the handle
 * QuickUsbOpen writes, default 1). */
typedef void (*FakeQuickUsbSet_t)(const char *key, long value);
/* The calls so far, one per line: "WritePort 4 0x0A 1", "ReadSetting 1", ... */
typedef const char *(*FakeQuickUsbLog_t)(void);
/* Counters, by key: "badHandles" (calls passed another handle than QuickUsbOpen gave). */
typedef long (*FakeQuickUsbGet_t)(const char *key);
typedef void (*FakeQuickUsbClearLog_t)(void);

#ifdef __cplusplus
}
#endif

#endif
