// Filling the device tables through Corvid or Verran, and reading them.
#ifndef TESSEL_DEVICES_ENUMERATION_H
#define TESSEL_DEVICES_ENUMERATION_H

#include "devices/device_table.h"
#include "exports/tessel.h"
#include "win32/base.h"

namespace tessel {

// Scans through Corvid into CurrentTable, completing missing drive letters
// from the volumes; returns Corvid's count (at most ten).
int GetUSBDevCount();
// Row index of CurrentTable as "mountInfo friendlyName" into text (164
// bytes); 6 for a bad index or a null text, which is then left alone.
int GetUSBDevInfo(int index, char* text);
// The row's friendly name (property "FRIENDLYNAME") or its letters
// ("MOUNT_INFO"), named by the text in the caller's buffer; null otherwise.
char* GetUSBDevInfoW(int index, char* text);
// Opens CurrentTable row index's drive path; 0 when opened, else 6.
int OpenDevice(int index, HANDLE* handleOut);
int EnumUSBDevices();
int EnumUSBDevicesCVD();

// Fills table through Verran; returns the rows written (at most ten). Rows at
// and beyond it keep their content; the table's count is not changed.
int ScanWithVerran(DeviceTable& table);
// Fills table and its count through Corvid; returns Corvid's count (at most
// ten).
int ScanWithCorvid(DeviceTable& table);
// True when no BaselineTable row equals row in all three texts (any case).
bool IsNewDevice(const DeviceEntry& row);

}  // namespace tessel

#endif
