#include "emulated_scsi_disk.h"

#include <algorithm>
#include <cstring>

namespace larkin::platform {

namespace {

constexpr uint8_t kNoSense = 0x00, kNotReady = 0x02, kMediumError = 0x03, kIllegalRequest = 0x05,
                  kDataProtect = 0x07;

std::vector<uint8_t> FixedSense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = key;
    sense[7] = 10;  // additional length
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

void PutText(std::byte* out, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i)
        out[i] = static_cast<std::byte>(i < text.size() ? text[i] : ' ');
}

uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

void PutBe32(std::byte* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>(value >> (24 - 8 * i));
}

class Command {
  public:
    Command(const ScsiDisk& disk, std::span<const uint8_t> cdb, DataDirection direction,
            std::span<std::byte> data)
        : disk_(disk), cdb_(cdb), direction_(direction), data_(data) {}

    ScsiOutcome Run() {
        if (cdb_.empty()) return Check(kIllegalRequest, 0x20, 0);
        switch (cdb_[0]) {
            case 0x00:
                return TestUnitReady();
            case 0x03:
                return RequestSense();
            case 0x12:
                return Inquiry();
            case 0x25:
                return ReadCapacity();
            case 0x5A:
                return ModeSense10();
            case 0x28:
                return ReadWrite10(false);
            case 0x2A:
                return ReadWrite10(true);
            case 0x1E:
                return Good();  // PREVENT/ALLOW MEDIUM REMOVAL
            default:
                return Check(kIllegalRequest, 0x20, 0);  // invalid command operation code
        }
    }

  private:
    ScsiOutcome Good(uint32_t transferred = 0) {
        if (disk_.pendingSense) disk_.pendingSense->clear();
        ScsiOutcome outcome;
        outcome.transferred = transferred;
        return outcome;
    }

    ScsiOutcome Check(uint8_t key, uint8_t asc, uint8_t ascq) {
        ScsiOutcome outcome;
        outcome.status = SCSISTAT_CHECK_CONDITION;
        outcome.sense = FixedSense(key, asc, ascq);
        if (disk_.pendingSense) *disk_.pendingSense = outcome.sense;
        return outcome;
    }

    // Copies a response into the data-in buffer, cut to the allocation length.
    ScsiOutcome Respond(const std::vector<std::byte>& response, size_t allocation) {
        if (direction_ != DataDirection::In && allocation > 0 && !response.empty())
            return Check(kIllegalRequest, 0x24, 0);
        size_t length = std::min({response.size(), allocation, data_.size()});
        std::copy_n(response.begin(), length, data_.begin());
        return Good(static_cast<uint32_t>(length));
    }

    ScsiOutcome TestUnitReady() {
        if (!disk_.media) return Check(kNotReady, 0x3A, 0);  // medium not present
        return Good();
    }

    ScsiOutcome RequestSense() {
        std::vector<uint8_t> sense = disk_.pendingSense && !disk_.pendingSense->empty()
                                         ? *disk_.pendingSense
                                         : FixedSense(kNoSense, 0, 0);
        if (!disk_.media && (!disk_.pendingSense || disk_.pendingSense->empty()))
            sense = FixedSense(kNotReady, 0x3A, 0);
        std::vector<std::byte> response(sense.size());
        std::memcpy(response.data(), sense.data(), sense.size());
        ScsiOutcome outcome = Respond(response, cdb_.size() > 4 ? cdb_[4] : 0);
        if (disk_.pendingSense) disk_.pendingSense->clear();
        return outcome;
    }

    ScsiOutcome Inquiry() {
        if (cdb_.size() < 6) return Check(kIllegalRequest, 0x24, 0);
        if (cdb_[1] & 0x01) return Check(kIllegalRequest, 0x24, 0);  // no vital product data
        std::vector<std::byte> response(96, std::byte{0});
        response[0] = std::byte{0x00};  // direct-access block device
        response[1] = std::byte{static_cast<uint8_t>(disk_.removable ? 0x80 : 0x00)};
        response[2] = std::byte{0x05};
        response[3] = std::byte{0x02};
        response[4] = std::byte{static_cast<uint8_t>(response.size() - 5)};
        PutText(&response[8], disk_.vendor, 8);
        PutText(&response[16], disk_.product, 16);
        PutText(&response[32], disk_.revision, 4);
        PutText(&response[36], disk_.serial, 20);
        return Respond(response, (cdb_[3] << 8) | cdb_[4]);
    }

    // Blocks are the disk's own sectors: a 4096-byte stick counts in 4096.
    uint32_t BlockSize() const {
        return disk_.geometry.bytesPerSector ? disk_.geometry.bytesPerSector : 512;
    }

    ScsiOutcome ReadCapacity() {
        if (!disk_.media) return Check(kNotReady, 0x3A, 0);
        std::vector<std::byte> response(8);
        uint64_t blocks = disk_.size / BlockSize();
        PutBe32(&response[0], static_cast<uint32_t>(std::min<uint64_t>(blocks - 1, 0xFFFFFFFF)));
        PutBe32(&response[4], BlockSize());
        return Respond(response, response.size());
    }

    ScsiOutcome ModeSense10() {
        if (cdb_.size() < 10) return Check(kIllegalRequest, 0x24, 0);
        uint8_t page = cdb_[2] & 0x3F;
        size_t allocation = (cdb_[7] << 8) | cdb_[8];
        std::vector<std::byte> response(8, std::byte{0});
        auto addPage5 = [&] {
            std::vector<std::byte> page5(32, std::byte{0});
            page5[0] = std::byte{0x05};
            page5[1] = std::byte{30};
            page5[4] = std::byte{static_cast<uint8_t>(disk_.geometry.heads)};
            page5[5] = std::byte{static_cast<uint8_t>(disk_.geometry.sectorsPerTrack)};
            page5[6] = std::byte{static_cast<uint8_t>(BlockSize() >> 8)};
            page5[7] = std::byte{static_cast<uint8_t>(BlockSize())};
            uint64_t cylinders = std::min<uint64_t>(disk_.geometry.cylinders, 0xFFFF);
            page5[8] = std::byte{static_cast<uint8_t>(cylinders >> 8)};
            page5[9] = std::byte{static_cast<uint8_t>(cylinders)};
            response.insert(response.end(), page5.begin(), page5.end());
        };
        if (page == 0x05 || page == 0x3F) {
            if (!disk_.modePage5) {
                if (page == 0x05) return Check(kIllegalRequest, 0x24, 0);  // invalid field in CDB
            } else {
                addPage5();
            }
        } else {
            return Check(kIllegalRequest, 0x24, 0);
        }
        size_t dataLength = response.size() - 2;
        response[0] = std::byte{static_cast<uint8_t>(dataLength >> 8)};
        response[1] = std::byte{static_cast<uint8_t>(dataLength)};
        return Respond(response, allocation);
    }

    ScsiOutcome ReadWrite10(bool write) {
        if (cdb_.size() < 10) return Check(kIllegalRequest, 0x24, 0);
        if (!disk_.media) return Check(kNotReady, 0x3A, 0);
        uint64_t lba = Be32(&cdb_[2]);
        uint64_t blocks = (cdb_[7] << 8) | cdb_[8];
        if ((lba + blocks) * BlockSize() > disk_.size) return Check(kIllegalRequest, 0x21, 0);
        uint64_t bytes = blocks * BlockSize();
        DataDirection wanted = write ? DataDirection::Out : DataDirection::In;
        if (blocks > 0 && (direction_ != wanted || data_.size() < bytes))
            return Check(kIllegalRequest, 0x24, 0);
        auto span = data_.first(bytes);
        DWORD error =
            write ? disk_.write(lba * BlockSize(), span) : disk_.read(lba * BlockSize(), span);
        // As a stick says it: write-protected, pulled out, or failing.
        if (error == ERROR_WRITE_PROTECT) return Check(kDataProtect, 0x27, 0);
        if (error == ERROR_NOT_READY) return Check(kNotReady, 0x3A, 0);
        if (error != ERROR_SUCCESS)
            return write ? Check(kMediumError, 0x0C, 0) : Check(kMediumError, 0x11, 0);
        return Good(static_cast<uint32_t>(bytes));
    }

    const ScsiDisk& disk_;
    std::span<const uint8_t> cdb_;
    DataDirection direction_;
    std::span<std::byte> data_;
};

}  // namespace

ScsiDisk EmulatedTarget(const DiskFacts& facts) {
    ScsiDisk disk;
    disk.vendor = facts.vendor;
    disk.product = facts.product;
    disk.revision = facts.revision;
    disk.serial = facts.serial;
    disk.size = facts.size;
    uint64_t perCylinder = uint64_t{facts.heads} * facts.sectorsPerTrack;
    disk.geometry = {perCylinder ? facts.size / facts.sectorSize / perCylinder : 0, facts.heads,
                     facts.sectorsPerTrack, facts.sectorSize};
    disk.removable = facts.removable;
    disk.media = facts.mediaPresent;
    return disk;
}

ScsiOutcome ExecuteOnDisk(const ScsiDisk& disk, std::span<const uint8_t> cdb,
                          DataDirection direction, std::span<std::byte> data) {
    return Command(disk, cdb, direction, data).Run();
}

}  // namespace larkin::platform
