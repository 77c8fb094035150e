// The make-bootable flow: one active FAT16 partition over a listed USB
// drive, formatted by the system's format, the FreeDOS boot sector carrying
// the new volume's parameters, and, on request, the boot files copied from
// a source drive.
#ifndef TESSEL_BOOTMAKER_CREATE_USB_BOOT_H
#define TESSEL_BOOTMAKER_CREATE_USB_BOOT_H

namespace tessel {

// The line written when the drive opened for destination is no longer the
// drive its CurrentTable row describes (the table is older than a change of
// drives); followed by 6 before anything is written.
inline constexpr const char* kDriveChangedLine =
    "\n Drive has changed since the USB drives were listed; list them again";

// destination: drive letter and colon of a CurrentTable row (any case);
// source: the drive whose files are copied when copyFiles is not 0. 0 when
// the drive was made bootable (and the files copied), else 6 after a line.
int CreateUSBBoot(const char* destination, const char* source, int copyFiles);

}  // namespace tessel

#endif
