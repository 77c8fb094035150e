// DeviceIoControl: the disk, volume, storage and SCSI requests, with the
// buffer sizing and error codes of the Windows drivers.
#include <algorithm>
#include <array>
#include <cstring>

#include "runtime/objects.h"
#include "runtime/exported_call.h"
#include "machine/partition_table.h"
#include "machine/write_guard.h"

namespace larkin::platform {

namespace {

// The outcome of one request: the error (ERROR_SUCCESS) and the bytes
// returned.
struct Reply {
    DWORD error = ERROR_SUCCESS;
    DWORD returned = 0;
};

Reply Error(DWORD error) {
    return {error, 0};
}

// Every control code carries the access its caller's handle must have been
// opened with (bits 14 and 15: read, write), checked before any driver sees it.
bool Permits(DWORD handleAccess, DWORD code) {
    DWORD required = (code >> 14) & 3;
    if ((required & FILE_READ_ACCESS) && !HasReadAccess(handleAccess)) return false;
    if ((required & FILE_WRITE_ACCESS) && !HasWriteAccess(handleAccess)) return false;
    return true;
}

struct Request {
    DWORD code;
    void* in;
    DWORD inSize;
    void* out;
    DWORD outSize;
};

// The table's sector numbers count the disk's own sectors, 512 bytes or more.
uint64_t SectorBytes(const DiskInfo& disk) {
    return disk.geometry.bytesPerSector ? disk.geometry.bytesPerSector : 512;
}

PartitionTable ReadTable(MediaAccess& access, const DiskInfo& disk, DWORD* error) {
    *error = ERROR_SUCCESS;
    const uint64_t sectorBytes = SectorBytes(disk);
    return ReadPartitionTable(
        [&](uint64_t sector, std::span<uint8_t, 512> data) {
            if (sector > UINT64_MAX / sectorBytes) return false;
            DWORD failed = access.Read(sector * sectorBytes, std::as_writable_bytes(data));
            if (failed != ERROR_SUCCESS && sector == 0) *error = failed;
            return failed == ERROR_SUCCESS;
        },
        disk.size / sectorBytes);
}

Reply Geometry(MediaAccess& access, const DiskInfo& disk, const Request& r) {
    constexpr DWORD header = offsetof(DISK_GEOMETRY_EX, Data);
    if (r.outSize < header) return Error(ERROR_INSUFFICIENT_BUFFER);
    DISK_GEOMETRY_EX result{};
    DISK_GEOMETRY& geometry = result.Geometry;
    geometry.Cylinders.QuadPart = static_cast<LONGLONG>(disk.geometry.cylinders);
    geometry.MediaType = disk.removable ? RemovableMedia : FixedMedia;
    geometry.TracksPerCylinder = disk.geometry.heads;
    geometry.SectorsPerTrack = disk.geometry.sectorsPerTrack;
    geometry.BytesPerSector = disk.geometry.bytesPerSector;
    result.DiskSize.QuadPart = static_cast<LONGLONG>(disk.size);
    std::memcpy(r.out, &result, header);
    DWORD returned = header;
    // The partition information that follows, when it fits: size, style and
    // the MBR signature.
    DWORD error = ERROR_SUCCESS;
    PartitionTable table = ReadTable(access, disk, &error);
    std::array<DWORD, 6> partitionInfo{24, table.hasSignature ? 0u : 2u, table.diskSignature, 0, 0,
                                       0};
    if (r.outSize >= returned + sizeof partitionInfo) {
        std::memcpy(static_cast<BYTE*>(r.out) + returned, partitionInfo.data(),
                    sizeof partitionInfo);
        returned += sizeof partitionInfo;
    }
    return {ERROR_SUCCESS, returned};
}

Reply LengthInfo(uint64_t bytes, const Request& r) {
    if (r.outSize < sizeof(GET_LENGTH_INFORMATION)) return Error(ERROR_INSUFFICIENT_BUFFER);
    GET_LENGTH_INFORMATION length{};
    length.Length.QuadPart = static_cast<LONGLONG>(bytes);
    std::memcpy(r.out, &length, sizeof length);
    return {ERROR_SUCCESS, sizeof length};
}

void FillEntry(PARTITION_INFORMATION_EX& entry, const PartitionRecord& record, uint32_t number,
               uint64_t relativeTo, uint64_t sectorBytes) {
    entry.PartitionStyle = PARTITION_STYLE_MBR;
    if (record.type == 0) return;
    entry.StartingOffset.QuadPart = static_cast<LONGLONG>(record.firstSector * sectorBytes);
    entry.PartitionLength.QuadPart = static_cast<LONGLONG>(record.sectors * sectorBytes);
    entry.PartitionNumber = number;
    entry.Mbr.PartitionType = record.type;
    entry.Mbr.BootIndicator = record.status == 0x80;
    entry.Mbr.RecognizedPartition = IsRecognizedType(record.type);
    entry.Mbr.HiddenSectors = static_cast<DWORD>(record.firstSector - relativeTo);
}

Reply GetLayout(MediaAccess& access, const DiskInfo& disk, const Request& r) {
    DWORD error = ERROR_SUCCESS;
    PartitionTable table = ReadTable(access, disk, &error);
    if (error != ERROR_SUCCESS) return Error(error);
    std::vector<PARTITION_INFORMATION_EX> entries;
    const uint64_t sectorBytes = SectorBytes(disk);
    uint32_t number = 0;
    auto numberFor = [&](const PartitionRecord& record) {
        return IsNumbered(record) ? ++number : 0u;
    };
    if (table.hasSignature) {
        for (const auto& record : table.primary) {
            PARTITION_INFORMATION_EX entry{};
            FillEntry(entry, record, numberFor(record), 0, sectorBytes);
            entries.push_back(entry);
        }
        // Each extended boot record adds four entries: its logical
        // partition, its link and two empty ones.
        for (const auto& ebr : table.extended) {
            std::array<PARTITION_INFORMATION_EX, 4> four{};
            FillEntry(four[0], ebr.logical, numberFor(ebr.logical), ebr.sector, sectorBytes);
            FillEntry(four[1], ebr.link, 0, ebr.sector, sectorBytes);
            for (auto& unused : {&four[2], &four[3]}) unused->PartitionStyle = PARTITION_STYLE_MBR;
            entries.insert(entries.end(), four.begin(), four.end());
        }
    }
    DWORD needed = static_cast<DWORD>(DRIVE_LAYOUT_HEADER_SIZE +
                                      entries.size() * sizeof(PARTITION_INFORMATION_EX));
    if (r.outSize < needed) return Error(ERROR_INSUFFICIENT_BUFFER);
    auto* layout = static_cast<DRIVE_LAYOUT_INFORMATION_EX*>(r.out);
    std::memset(layout, 0, DRIVE_LAYOUT_HEADER_SIZE);
    layout->PartitionStyle = table.hasSignature ? PARTITION_STYLE_MBR : PARTITION_STYLE_RAW;
    layout->PartitionCount = static_cast<DWORD>(entries.size());
    layout->Mbr.Signature = table.diskSignature;
    if (!entries.empty())
        std::memcpy(layout->PartitionEntry, entries.data(),
                    entries.size() * sizeof(PARTITION_INFORMATION_EX));
    return {ERROR_SUCCESS, needed};
}

Reply SetLayout(MediaObject& object, const DiskInfo& disk, const Request& r) {
    if (!object.CanWrite()) return Error(ERROR_ACCESS_DENIED);
    if (r.inSize < DRIVE_LAYOUT_HEADER_SIZE) return Error(ERROR_INSUFFICIENT_BUFFER);
    const auto* layout = static_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(r.in);
    if (layout->PartitionStyle != PARTITION_STYLE_MBR) return Error(ERROR_NOT_SUPPORTED);
    uint64_t needed = DRIVE_LAYOUT_HEADER_SIZE +
                      uint64_t{layout->PartitionCount} * sizeof(PARTITION_INFORMATION_EX);
    if (r.inSize < needed) return Error(ERROR_INSUFFICIENT_BUFFER);
    if (layout->PartitionCount % 4 != 0) return Error(ERROR_INVALID_PARAMETER);

    std::array<uint8_t, 512> sector{};
    if (DWORD error = object.access->Read(0, std::as_writable_bytes(std::span(sector)));
        error != ERROR_SUCCESS)
        return Error(error);
    const uint64_t sectorBytes = SectorBytes(disk);
    std::memcpy(&sector[440], &layout->Mbr.Signature, 4);
    // Only the primary table is rewritten; extended boot records on the
    // disk stay as they are.
    for (DWORD i = 0; i < 4 && i < layout->PartitionCount; ++i) {
        const PARTITION_INFORMATION_EX& entry = layout->PartitionEntry[i];
        PartitionRecord record;
        record.type = entry.Mbr.PartitionType;
        record.status = entry.Mbr.BootIndicator ? 0x80 : 0x00;
        if (record.type != 0) {
            if (entry.StartingOffset.QuadPart < 0 || entry.PartitionLength.QuadPart < 0 ||
                static_cast<uint64_t>(entry.StartingOffset.QuadPart) % sectorBytes != 0 ||
                static_cast<uint64_t>(entry.PartitionLength.QuadPart) % sectorBytes != 0)
                return Error(ERROR_INVALID_PARAMETER);
            record.firstSector = static_cast<uint64_t>(entry.StartingOffset.QuadPart) / sectorBytes;
            record.sectors = static_cast<uint64_t>(entry.PartitionLength.QuadPart) / sectorBytes;
            if ((record.firstSector + record.sectors) * sectorBytes > disk.size ||
                record.firstSector + record.sectors > 0xFFFFFFFFull)
                return Error(ERROR_INVALID_PARAMETER);
        }
        EncodeEntry(std::span<uint8_t, 16>(&sector[446 + 16 * i], 16), record, disk.geometry);
    }
    sector[510] = 0x55;
    sector[511] = 0xAA;
    TableCommit commit =
        CommitPartitionTable(disk.number, object.share, std::as_bytes(std::span(sector)));
    return Error(commit.error);
}

Reply DeviceNumber(uint32_t disk, uint32_t partition, const Request& r) {
    if (r.outSize < sizeof(STORAGE_DEVICE_NUMBER)) return Error(ERROR_INSUFFICIENT_BUFFER);
    STORAGE_DEVICE_NUMBER number{FILE_DEVICE_DISK, disk, partition};
    std::memcpy(r.out, &number, sizeof number);
    return {ERROR_SUCCESS, sizeof number};
}

// The device descriptor and its texts; a buffer too small for all of it
// gets what fits, its Size saying how much there is.
Reply DeviceDescriptor(const DiskInfo& disk, const Request& r) {
    if (r.inSize < offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) || r.in == nullptr)
        return Error(ERROR_INVALID_PARAMETER);
    const auto* query = static_cast<const STORAGE_PROPERTY_QUERY*>(r.in);
    if (query->PropertyId != StorageDeviceProperty || query->QueryType != PropertyStandardQuery)
        return Error(ERROR_NOT_SUPPORTED);
    constexpr DWORD header = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
    if (r.outSize < 2 * sizeof(DWORD)) return Error(ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> bytes(header);
    STORAGE_DEVICE_DESCRIPTOR descriptor{};
    auto text = [&](const std::string& value) -> DWORD {
        if (value.empty()) return 0;
        auto offset = static_cast<DWORD>(bytes.size());
        bytes.insert(bytes.end(), value.begin(), value.end());
        bytes.push_back(0);
        return offset;
    };
    descriptor.Version = header;
    descriptor.RemovableMedia = disk.removable;
    descriptor.VendorIdOffset = text(disk.vendor);
    descriptor.ProductIdOffset = text(disk.product);
    descriptor.ProductRevisionOffset = text(disk.revision);
    descriptor.SerialNumberOffset = text(disk.serial);
    descriptor.BusType = disk.bus == Bus::Usb   ? BusTypeUsb
                         : disk.bus == Bus::Ata ? BusTypeAta
                                                : BusTypeScsi;
    descriptor.Size = static_cast<DWORD>(bytes.size());
    std::memcpy(bytes.data(), &descriptor, header);
    auto returned = static_cast<DWORD>(std::min<size_t>(bytes.size(), r.outSize));
    std::memcpy(r.out, bytes.data(), returned);
    return {ERROR_SUCCESS, returned};
}

Reply PassThrough(const ScsiAddress& address, const Request& r) {
    if (r.inSize < sizeof(SCSI_PASS_THROUGH_DIRECT) ||
        r.outSize < sizeof(SCSI_PASS_THROUGH_DIRECT) || r.in == nullptr || r.out == nullptr)
        return Error(ERROR_INVALID_PARAMETER);
    auto* request = static_cast<SCSI_PASS_THROUGH_DIRECT*>(r.in);
    if (request->Length != sizeof(SCSI_PASS_THROUGH_DIRECT) || request->CdbLength == 0 ||
        request->CdbLength > 16 || request->DataIn > SCSI_IOCTL_DATA_UNSPECIFIED)
        return Error(ERROR_INVALID_PARAMETER);
    if (request->SenseInfoLength > 0 &&
        (request->SenseInfoOffset < sizeof(SCSI_PASS_THROUGH_DIRECT) ||
         uint64_t{request->SenseInfoOffset} + request->SenseInfoLength > r.outSize))
        return Error(ERROR_INVALID_PARAMETER);
    if (request->DataTransferLength > 0 && request->DataBuffer == nullptr)
        return Error(ERROR_INVALID_PARAMETER);
    DataDirection direction = request->DataTransferLength == 0         ? DataDirection::None
                              : request->DataIn == SCSI_IOCTL_DATA_IN  ? DataDirection::In
                              : request->DataIn == SCSI_IOCTL_DATA_OUT ? DataDirection::Out
                                                                       : DataDirection::None;
    std::span<std::byte> data(static_cast<std::byte*>(request->DataBuffer),
                              direction == DataDirection::None ? 0 : request->DataTransferLength);
    ScsiOutcome outcome =
        ExecuteScsi(address, std::span<const uint8_t>(request->Cdb, request->CdbLength), direction,
                    data, request->TimeOutValue);
    if (outcome.error != ERROR_SUCCESS) return Error(outcome.error);
    auto* reply = static_cast<SCSI_PASS_THROUGH_DIRECT*>(r.out);
    if (reply != request) std::memcpy(reply, request, sizeof *request);
    reply->ScsiStatus = outcome.status;
    reply->DataTransferLength = outcome.transferred;
    if (outcome.status == SCSISTAT_CHECK_CONDITION && reply->SenseInfoLength > 0) {
        size_t length = std::min<size_t>(reply->SenseInfoLength, outcome.sense.size());
        std::memcpy(static_cast<BYTE*>(r.out) + reply->SenseInfoOffset, outcome.sense.data(),
                    length);
        reply->SenseInfoLength = static_cast<UCHAR>(length);
    } else {
        reply->SenseInfoLength = 0;
    }
    return {ERROR_SUCCESS, sizeof(SCSI_PASS_THROUGH_DIRECT)};
}

Reply OnDisk(MediaObject& object, const DiskInfo& disk, const Request& r) {
    switch (r.code) {
        case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
            return Geometry(*object.access, disk, r);
        case IOCTL_DISK_GET_LENGTH_INFO:
            return LengthInfo(disk.size, r);
        case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
            return GetLayout(*object.access, disk, r);
        case IOCTL_DISK_SET_DRIVE_LAYOUT_EX:
            return SetLayout(object, disk, r);
        case IOCTL_DISK_UPDATE_PROPERTIES:
            return Error(WhileWaiting([&] { return Machine().RereadPartitions(disk.number); }));
        case IOCTL_STORAGE_GET_DEVICE_NUMBER:
            return DeviceNumber(disk.number, 0, r);
        case IOCTL_STORAGE_FIND_NEW_DEVICES:
            WhileWaiting([] { Machine().Rescan(); });
            return {};
        case IOCTL_STORAGE_QUERY_PROPERTY:
            return DeviceDescriptor(disk, r);
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            if (!disk.scsiPort) return Error(ERROR_INVALID_FUNCTION);
            return PassThrough({*disk.scsiPort, disk.scsiTarget, 0}, r);
        case FSCTL_LOCK_VOLUME:
        case FSCTL_UNLOCK_VOLUME:
            return {};
        default:
            return Error(ERROR_INVALID_FUNCTION);
    }
}

Reply OnVolume(MediaObject& object, const Request& r) {
    auto volume = CurrentVolume(object);
    if (!volume) return Error(ERROR_DEVICE_NOT_CONNECTED);
    switch (r.code) {
        case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: {
            if (!volume->disk) return Error(ERROR_INVALID_FUNCTION);
            if (!volume->extentsReadable) return Error(ERROR_NOT_READY);
            if (r.outSize < sizeof(VOLUME_DISK_EXTENTS)) return Error(ERROR_INSUFFICIENT_BUFFER);
            VOLUME_DISK_EXTENTS extents{};
            extents.NumberOfDiskExtents = 1;
            extents.Extents[0].DiskNumber = *volume->disk;
            extents.Extents[0].StartingOffset.QuadPart = static_cast<LONGLONG>(volume->offset);
            extents.Extents[0].ExtentLength.QuadPart = static_cast<LONGLONG>(volume->length);
            std::memcpy(r.out, &extents, sizeof extents);
            return {ERROR_SUCCESS, sizeof extents};
        }
        case IOCTL_STORAGE_GET_DEVICE_NUMBER:
            if (!volume->disk) return Error(ERROR_INVALID_FUNCTION);
            if (!volume->extentsReadable) return Error(ERROR_NOT_READY);
            return DeviceNumber(*volume->disk, volume->partitionNumber, r);
        case FSCTL_LOCK_VOLUME:
            return Error(LockVolume(object));
        case FSCTL_UNLOCK_VOLUME:
            return Error(UnlockVolume(object));
        case IOCTL_DISK_GET_LENGTH_INFO:
            return LengthInfo(volume->length, r);
        case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
        case IOCTL_DISK_UPDATE_PROPERTIES: {
            // The volume passes these down to its disk.
            if (!volume->disk) return Error(ERROR_INVALID_FUNCTION);
            auto view = View();
            const DiskInfo* disk = view->Disk(*volume->disk);
            if (!disk) return Error(ERROR_DEVICE_NOT_CONNECTED);
            DiskInfo copy = *disk;  // the request may change the machine
            return OnDisk(object, copy, r);
        }
        default:
            return Error(ERROR_INVALID_FUNCTION);
    }
}

Reply OnPort(const PortObject& port, const Request& r) {
    switch (r.code) {
        case IOCTL_SCSI_RESCAN_BUS:
        case IOCTL_STORAGE_FIND_NEW_DEVICES:
            WhileWaiting([] { Machine().Rescan(); });
            return {};
        case IOCTL_SCSI_PASS_THROUGH_DIRECT: {
            if (r.inSize < sizeof(SCSI_PASS_THROUGH_DIRECT) || r.in == nullptr)
                return Error(ERROR_INVALID_PARAMETER);
            const auto* request = static_cast<const SCSI_PASS_THROUGH_DIRECT*>(r.in);
            return PassThrough({port.port, request->TargetId, request->Lun}, r);
        }
        default:
            return Error(ERROR_INVALID_FUNCTION);
    }
}

}  // namespace

}  // namespace larkin::platform

using namespace larkin::platform;

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (returned) *returned = 0;
        auto object = Runtime::Get().handles.Find(device);
        if (!object) return Failed(ERROR_INVALID_HANDLE);
        std::lock_guard guard(Runtime::Get().lock);
        Request request{code, in, inSize, out, outSize};
        if (outSize > 0 && out == nullptr) return Failed(ERROR_INVALID_PARAMETER);
        Reply reply;
        if (auto media = std::dynamic_pointer_cast<MediaObject>(object)) {
            if (FaultFires("DeviceIoControl", media->name, code)) return FALSE;
            if (!Permits(media->accessRights, code)) {
                reply = Error(ERROR_ACCESS_DENIED);
            } else if (media->IsVolume()) {
                reply = OnVolume(*media, request);
            } else if (!media->media.disk) {
                reply = Error(ERROR_INVALID_FUNCTION);
            } else if (const DiskInfo* disk = View()->Disk(*media->media.disk)) {
                DiskInfo copy = *disk;  // the request may change the machine
                reply = OnDisk(*media, copy, request);
            } else {
                reply = Error(ERROR_DEVICE_NOT_CONNECTED);
            }
        } else if (auto port = std::dynamic_pointer_cast<PortObject>(object)) {
            if (FaultFires("DeviceIoControl", port->name, code)) return FALSE;
            reply =
                Permits(port->access, code) ? OnPort(*port, request) : Error(ERROR_ACCESS_DENIED);
        } else {
            reply = Error(ERROR_INVALID_FUNCTION);
        }
        if (returned) *returned = reply.returned;
        if (reply.error != ERROR_SUCCESS) return Failed(reply.error);
        return TRUE;
    });
}
