// Reading the snapshot: counts, properties by name and descriptions. Every
// text result is library-owned and never null.
#ifndef VERRAN_QUERIES_H
#define VERRAN_QUERIES_H

#include "win32/base.h"

namespace verran {

DWORD AdapterCount();
DWORD DriveCount(DWORD adapterIndex);

// "" for an index out of range or an absent name; the property-name list
// for a null name.
const char* AdapterInfo(DWORD adapterIndex, const char* propertyName);
const char* DriveInfo(DWORD adapterIndex, DWORD driveIndex, const char* propertyName);

// The first non-empty value along the fallback list, else "<Unknown>".
const char* AdapterDescription(DWORD adapterIndex);
const char* DriveDescription(DWORD adapterIndex, DWORD driveIndex);

inline constexpr const char* kEmptyText = "";

}  // namespace verran

#endif
