#include "loop_device.h"

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "run_command.h"

namespace larkin::test {

namespace {

std::string Problem(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The "major:minor" a sysfs folder's dev file gives, or 0.
dev_t DeviceNumber(const std::filesystem::path& folder) {
    std::ifstream in(folder / "dev");
    unsigned major = 0, minor = 0;
    char colon = 0;
    if (!(in >> major >> colon >> minor) || colon != ':') return 0;
    return makedev(major, minor);
}

uint64_t ReadNumber(const std::filesystem::path& path) {
    uint64_t value = 0;
    std::ifstream(path) >> value;
    return value;
}

// Asks the kernel to add or drop a partition of the device.
bool Blkpg(int device, int op, uint32_t number, uint64_t start = 0, uint64_t length = 0) {
    blkpg_partition partition{};
    partition.pno = static_cast<int>(number);
    partition.start = static_cast<long long>(start);
    partition.length = static_cast<long long>(length);
    blkpg_ioctl_arg request{.op = op, .flags = 0, .datalen = sizeof partition, .data = &partition};
    return device >= 0 && ::ioctl(device, BLKPG, &request) == 0;
}

struct FdCloser {
    int fd = -1;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string LoopDevice::Attach(const LoopOptions& options) {
    if (device_ >= 0) return "already attached";
    options_ = options;
    if (::geteuid() != 0) {
        unavailable_ = true;
        return "loop devices need root";
    }
    FdCloser control{::open("/dev/loop-control", O_RDWR | O_CLOEXEC)};
    if (control.fd < 0) {
        unavailable_ = true;
        return Problem("no loop devices (/dev/loop-control)");
    }
    if (folder_.path().empty()) return "no folder for the backing file";
    backing_ = folder_.path() / "backing.img";
    std::ofstream{backing_};
    std::error_code error;
    std::filesystem::resize_file(backing_, options.size, error);
    if (error) return "making " + backing_ + ": " + error.message();
    return Configure(control.fd);
}

// Binds a free device to the backing file; another process may take the
// same free device first, and then the next one is tried.
std::string LoopDevice::Configure(int control) {
    FdCloser file{::open(backing_.c_str(), (options_.readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC)};
    if (file.fd < 0) return Problem("opening " + backing_);
    uint32_t flags = LO_FLAGS_AUTOCLEAR;  // gone with the last close, even after a crash
    if (options_.readOnly) flags |= LO_FLAGS_READ_ONLY;
    if (options_.partitionScan) flags |= LO_FLAGS_PARTSCAN;
    for (int attempt = 0; attempt < 20; ++attempt) {
        int number = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) {
            unavailable_ = true;
            return Problem("no free loop device");
        }
        std::string name = "loop" + std::to_string(number);
        std::string node = NodeOf(name, "/sys/block/" + name);
        if (node.empty()) return Problem("making a node for " + name);
        // The kernel makes a device configured through a read-only open
        // read-only.
        int fd = ::open(node.c_str(), (options_.readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
        if (fd < 0) return Problem("opening " + node);

        loop_config config{};
        config.fd = static_cast<uint32_t>(file.fd);
        config.block_size = options_.sectorSize == 512 ? 0 : options_.sectorSize;
        config.info.lo_flags = flags;
        std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), "larkin-test",
                     LO_NAME_SIZE - 1);
        int result = ::ioctl(fd, LOOP_CONFIGURE, &config);  // Linux 5.8 and later
        if (result == 0) {
            // Held read-only from now on: a writer held open would keep the
            // kernel from mounting the device.
            device_ = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
            std::string why = device_ < 0 ? Problem("opening " + node) : "";
            if (device_ < 0) ::ioctl(fd, LOOP_CLR_FD, 0);
            ::close(fd);
            node_ = node;
            return why;
        }
        int why = errno;
        ::close(fd);
        if (why != EBUSY) {
            errno = why;
            return Problem("attaching " + node);
        }
    }
    return "every free loop device was taken by someone else first";
}

void LoopDevice::Release() {
    if (device_ < 0) return;
    for (const auto& [number, partition] : Partitions())
        if (!Blkpg(device_, BLKPG_DEL_PARTITION, number))
            ADD_FAILURE() << Problem(KernelName() + "p" + std::to_string(number) +
                                     " is left behind");
    // Goes now, or when the last handle a test left open closes.
    ::ioctl(device_, LOOP_CLR_FD, 0);
    ::close(device_);
    device_ = -1;
}

LoopDevice::~LoopDevice() {
    Release();
}

void LoopDevice::Detach() {
    if (device_ < 0) return;
    // The media shrinks to nothing under the open handles, as a pulled
    // stick's does; the device itself goes with the last close.
    ::truncate(backing_.c_str(), 0);
    ::ioctl(device_, LOOP_SET_CAPACITY, 0);
    ::ioctl(device_, LOOP_CLR_FD, 0);
}

bool LoopDevice::Vanish() {
    Release();
    FdCloser control{::open("/dev/loop-control", O_RDWR | O_CLOEXEC)};
    return control.fd >= 0 &&
           ::ioctl(control.fd, LOOP_CTL_REMOVE, std::atoi(KernelName().c_str() + 4)) >= 0;
}

std::string LoopDevice::KernelName() const {
    return std::filesystem::path(node_).filename().string();
}

std::map<uint32_t, LoopPartition> LoopDevice::Partitions() const {
    std::map<uint32_t, LoopPartition> held;
    for (uint32_t number = 1; number < 256; ++number) {  // the kernel's most per disk
        std::filesystem::path folder =
            "/sys/block/" + KernelName() + "/" + KernelName() + "p" + std::to_string(number);
        std::error_code error;
        // sysfs counts 512-byte units.
        if (std::filesystem::exists(folder / "partition", error))
            held[number] = {ReadNumber(folder / "start") * 512, ReadNumber(folder / "size") * 512};
    }
    return held;
}

bool LoopDevice::AddPartition(uint32_t number, uint64_t start, uint64_t length) {
    return Blkpg(device_, BLKPG_ADD_PARTITION, number, start, length);
}

std::string LoopDevice::PartitionNode(uint32_t number) {
    std::string name = KernelName() + "p" + std::to_string(number);
    return NodeOf(name, "/sys/block/" + KernelName() + "/" + name);
}

std::string LoopDevice::NodeOf(const std::string& name, const std::string& sysfsFolder) {
    dev_t device = DeviceNumber(sysfsFolder);
    struct stat status {};
    std::string node = "/dev/" + name;
    if (::stat(node.c_str(), &status) == 0 && S_ISBLK(status.st_mode) && status.st_rdev == device)
        return node;
    // No devtmpfs: made from what sysfs says, over one left from a device
    // numbered the same before.
    node = folder_.path() / name;
    ::unlink(node.c_str());
    if (device == 0 || ::mknod(node.c_str(), S_IFBLK | 0600, device) != 0) return {};
    return node;
}

std::vector<std::byte> LoopDevice::ReadBacking(uint64_t offset, size_t length) const {
    std::vector<std::byte> data(length);
    std::ifstream file(backing_, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    EXPECT_TRUE(
        file.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(length)))
        << "reading " << backing_;
    return data;
}

void LoopDevice::WriteBacking(uint64_t offset, std::span<const std::byte> data) const {
    std::fstream file(backing_, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(offset));
    EXPECT_TRUE(file.write(reinterpret_cast<const char*>(data.data()),
                           static_cast<std::streamsize>(data.size())) &&
                file.flush())
        << "writing " << backing_;
}

std::vector<std::byte> Mbr(std::initializer_list<MbrEntry> entries) {
    std::vector<std::byte> sector(512);
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) sector[at + i] = std::byte(value >> (8 * i));
    };
    for (const auto& entry : entries) {
        size_t at = 446 + 16 * static_cast<size_t>(entry.slot);
        sector[at] = std::byte{entry.status};
        sector[at + 4] = std::byte{entry.type};
        put32(at + 8, entry.first);
        put32(at + 12, entry.sectors);
    }
    sector[510] = std::byte{0x55};
    sector[511] = std::byte{0xAA};
    return sector;
}

std::vector<std::byte> Pattern(size_t length, uint8_t seed) {
    std::vector<std::byte> data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = std::byte(static_cast<uint8_t>(seed + i / 512 * 7 + i % 251));
    return data;
}

bool KernelReadsMbrTables() {
    // The kernel's build options, where it tells them.
    std::string config =
        RunCommand("cat /boot/config-$(uname -r) || gzip -dc /proc/config.gz", ErrorOutput::Dropped)
            .output;
    return config.find("# CONFIG_MSDOS_PARTITION is not set") == std::string::npos;
}

MountPoint::MountPoint(const std::string& parent) {
    if (::mkdir(parent.c_str(), 0755) == 0) madeParent_ = parent;
    std::string path = parent + "/larkin-test-XXXXXX";
    if (::mkdtemp(path.data())) path_ = path;
}

MountPoint::~MountPoint() {
    if (!path_.empty()) {
        // Until nothing is mounted there (umount2 refuses a plain folder).
        while (::umount2(path_.c_str(), MNT_DETACH) == 0) {
        }
        ::rmdir(path_.c_str());
    }
    if (!madeParent_.empty()) ::rmdir(madeParent_.c_str());
}

std::string MountPoint::Mount(const std::string& node, const std::string& fileSystem) {
    if (path_.empty()) return "no folder to mount on";
    if (::mount(node.c_str(), path_.c_str(), fileSystem.c_str(), 0, nullptr) != 0)
        return "mounting " + node + " on " + path_ + ": " + std::strerror(errno);
    return {};
}

bool MountPoint::Mounted() const {
    // A file system mounted on the folder is another device than its parent's.
    struct stat folder {
    }, parent{};
    return !path_.empty() && ::stat(path_.c_str(), &folder) == 0 &&
           ::stat((path_ + "/..").c_str(), &parent) == 0 && folder.st_dev != parent.st_dev;
}

bool KernelOffers(const std::string& fileSystem) {
    std::ifstream filesystems("/proc/filesystems");
    for (std::string line; std::getline(filesystems, line);)
        if (line.substr(line.find_last_of(" \t") + 1) == fileSystem) return true;
    return false;
}

}  // namespace larkin::test
