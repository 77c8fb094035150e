// The machine a conformance case runs on: the simulated machine, or this
// computer with loop devices standing in for USB sticks.
#ifndef LARKIN_TESTS_CONFORMANCE_BACKEND_UNDER_TEST_H
#define LARKIN_TESTS_CONFORMANCE_BACKEND_UNDER_TEST_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace larkin::test {

enum class BackendKind { Simulated, LoopDevices };

// A USB stick to plug in.
struct StickLayout {
    uint64_t size = 32ull << 20;
    uint32_t sectorSize = 512;
    bool partitioned = true;  // an MBR with one FAT32 (LBA) partition from the second MiB
    bool readOnly = false;    // its write-protect switch set
    bool media = true;        // false: a card reader's slot without a card
};

class BackendUnderTest {
  public:
    virtual ~BackendUnderTest() = default;

    // Plugs in sticks of these layouts and starts the platform on them:
    // "" when started, else why not. *skip is set (and the reason given)
    // where this backend cannot make such a stick here.
    virtual std::string Start(const std::vector<StickLayout>& sticks, bool* skip) = 0;
    // The stick's disk number, as \\.\PhysicalDriveN and the device numbers give it.
    virtual uint32_t DiskNumber(size_t stick) const = 0;
    // The stick's name in the write journal.
    virtual std::string JournalKey(size_t stick) const = 0;
    // What the stick stores, read past the platform.
    virtual std::vector<std::byte> Stored(size_t stick, uint64_t offset, size_t length) const = 0;
    // The file that holds the stick's bytes (an image, a loop device's backing file).
    virtual std::string BackingFile(size_t stick) const = 0;
    // Pulls the stick out while handles on it stay open.
    virtual void PullOut(size_t stick) = 0;
};

std::unique_ptr<BackendUnderTest> MakeBackend(BackendKind kind);

}  // namespace larkin::test

#endif
