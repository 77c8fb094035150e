// Failures during the walk: which end Initialize with the platform's code and
// which leave something out; out of memory, answered VERRAN_INTERNAL_FAULT.
#include <string>

#include "allocation_faults.h"
#include "verran_test_support.h"
#include "larkin/test_controls.h"

namespace verran::test {
namespace {

using larkin::controls::Fault;

class VerranWalkFaults : public VerranTest {};

TEST_F(VerranWalkFaults, EndInitializeOrLeaveOutOnlyWhatFailed) {
    const std::string usb = "USB:\nUSB: Blank#2=\n", twin = "USB: Twin#1=E:;F:\n";
    const std::string pair = "USB: Alpha#3= Beta#4=\n", alpha = "USB: Alpha#3=\n";
    const std::string scsi = "SCSI: Cheetah#5=G:\n";
    const struct {
        const char* filter;
        Fault fault;
        INT status;
        std::string snapshot;
    } cases[] = {
        // A class set that cannot be made ends the walk; earlier classes stay.
        {"ATA USB", {"SetupDiGetClassDevsA", "{36fc9e60", 0, 0, 1, 5}, 5, "ATA: System#0=C:\n"},
        // So does a failing adapter; the hub before it stays.
        {"USB", {"SetupDiEnumDeviceInfo", "ADAPTERTWO", 0, 0, 1, 31}, 31, "USB:\n"},
        {"USB", {"CM_Get_Device_IDA", "ADAPTERTWO", 0, 0, 1, CR_OUT_OF_MEMORY}, 2, "USB:\n"},
        {"USB", {"SetupDiGetClassDevsA", "ADAPTERTWO", 0, 0, 1, 21}, 21, "USB:\n"},
        {"USB", {"SetupDiEnumDeviceInterfaces", "ADAPTERTWO", 0, 0, 1, 1117}, 1117, "USB:\n"},
        {"USB", {"SetupDiGetDeviceInterfaceDetailA", "adaptertwo#", 0, 0, 1, 5}, 5, "USB:\n"},
        // A failing child walk skips the rest of that adapter only.
        {"USB", {"CM_Get_Child", "ADAPTERTHREE", 0, 0, 1, CR_FAILURE}, 0, usb + "USB:\n" + twin},
        {"USB", {"CM_Get_Sibling", "PAIRALPHA", 0, 0, 1, CR_FAILURE}, 0, usb + alpha + twin},
        {"USB", {"CM_Get_Device_IDA", "PAIRBETA", 0, 0, 1, CR_FAILURE}, 0, usb + alpha + twin},
        {"USB", {"SetupDiGetClassDevsA", "PAIRALPHA", 0, 0, 1, 21}, 0, usb + "USB:\n" + twin},
        {"USB",
         {"SetupDiEnumDeviceInterfaces", "PAIRALPHA", 0, 0, 1, 31},
         0,
         usb + "USB:\n" + twin},
        {"USB",
         {"SetupDiGetDeviceInterfaceDetailA", "prod_beta", 0, 0, 1, 31},
         0,
         usb + alpha + twin},
        // A disk that cannot be asked is kept without number and letters.
        {"USB", {"CreateFileA", "ven_twin", 0, 0, 1, 32}, 0, usb + pair + "USB: Twin#=\n"},
        {"USB",
         {"DeviceIoControl", "ven_twin", IOCTL_STORAGE_GET_DEVICE_NUMBER, 0, 1, 21},
         0,
         usb + pair + "USB: Twin#=\n"},
        // A property that cannot be read is left out.
        {"USB",
         {"SetupDiGetDeviceRegistryPropertyA", "PAIRALPHA", SPDRP_FRIENDLYNAME, 0, 0, 13},
         0,
         usb + "USB: #3= Beta#4=\n" + twin},
        // A volume that cannot be opened loses only its letter; unreadable
        // extents end the letter scan.
        {"USB SCSI",
         {"CreateFileA", "\\\\.\\E:", 0, 0, 1, 5},
         0,
         usb + pair + "USB: Twin#1=F:\n" + scsi},
        {"ATA SCSI",
         {"DeviceIoControl", "\\\\.\\E:", IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, 0, 1, 21},
         0,
         "ATA: System#0=C:\nSCSI: Cheetah#5=\n"},
        // A failed bus rescan is ignored.
        {"SCSI", {"CreateFileA", "scsizero#{2accfe60", 0, 0, 1, 5}, 0, scsi},
        {"SCSI", {"DeviceIoControl", "scsizero", IOCTL_SCSI_RESCAN_BUS, 0, 1, 1117}, 0, scsi},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.call + " on " + c.fault.device);
        larkin::controls::ClearFaults();
        larkin::controls::InjectFault(c.fault);
        EXPECT_EQ(Initialize(c.filter), c.status);
        EXPECT_EQ(Snapshot(), c.snapshot);
    }
}

class VerranEmptySlot : public VerranTest {
  protected:
    VerranEmptySlot() : VerranTest("verran-empty-card-slot") {}
};

TEST_F(VerranEmptySlot, EndsTheLetterScan) {
    ASSERT_EQ(Initialize("USB"), 0);
    EXPECT_EQ(Snapshot(), "USB: Slot#0=\nUSB: Stick#1=\n");
}

namespace allocation = larkin::test::allocation;

class VerranMemoryFault : public VerranTest {
  protected:
    void SetUp() override {
        if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    }
    void TearDown() override {
        allocation::Failed();
        VerranTest::TearDown();
    }
};

TEST_F(VerranMemoryFault, InInitializeGivesInternalFault) {
    allocation::FailAfter(0);
    EXPECT_EQ(Initialize("USB"), VERRAN_INTERNAL_FAULT);
    EXPECT_TRUE(allocation::Failed());
    EXPECT_EQ(GetAdapterCount(), 0u);

    int faults = 0, failures = 0;
    long point = 0;
    for (;; point = allocation::NextPoint(point)) {
        allocation::FailAfter(point);
        INT status = Initialize("*");
        if (!allocation::Failed()) {
            EXPECT_EQ(status, 0);
            break;
        }
        // Out of memory inside the library is its internal fault; inside a
        // platform call it is that call's failure (ERROR_NOT_ENOUGH_MEMORY),
        // which the volume scan may pass over, leaving every adapter listed.
        EXPECT_TRUE(status == VERRAN_INTERNAL_FAULT || status == ERROR_NOT_ENOUGH_MEMORY ||
                    (status == 0 && GetAdapterCount() == 7u))
            << "allocation " << point << " gave " << status;
        faults += status == VERRAN_INTERNAL_FAULT;
        failures += status != 0;
        Snapshot();  // whatever was gathered stays readable
    }
    EXPECT_GE(faults, 3) << "over " << point << " allocations";
    EXPECT_GE(failures, 5) << "over " << point << " allocations";
    ASSERT_EQ(Initialize("*"), 0);
    EXPECT_EQ(GetAdapterCount(), 7u);
}

TEST_F(VerranMemoryFault, InEjectDiskGivesInternalFault) {
    ASSERT_EQ(Initialize("USB"), 0);
    auto twin = FindDrive("Twin");
    ASSERT_TRUE(twin);
    std::string path = GetDriveName(twin->first, twin->second);
    Destroy();

    int faults = 0;
    // Every allocation in turn: most of them are the platform's now, and the
    // library's own few must not be stepped over.
    for (long point = 0;; ++point) {
        allocation::FailAfter(point);
        INT status = EjectDisk(path.c_str());
        if (!allocation::Failed()) {
            EXPECT_EQ(status, 0);
            break;
        }
        // A platform call that runs out of memory fails as such; when it was
        // the lookup of one disk's path, that disk is passed over, and with
        // it the match (87).
        EXPECT_TRUE(status == VERRAN_INTERNAL_FAULT || status == ERROR_NOT_ENOUGH_MEMORY ||
                    status == ERROR_INVALID_PARAMETER || status == 0)
            << "allocation " << point << " gave " << status;
        faults += status == VERRAN_INTERNAL_FAULT;
        if (status == 0) {
            ASSERT_TRUE(larkin::sim::Plug("twin", true));
        }
    }
    EXPECT_GT(faults, 0);
}

}  // namespace
}  // namespace verran::test
