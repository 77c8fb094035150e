#include "backends/linux/sysfs_attributes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "test_machine.h"

namespace larkin::platform::linuxhw {
namespace {

TEST(SysfsText, PaddedAndOddBytesBecomePlainText) {
    EXPECT_EQ(CleanText("ATA     \n"), "ATA");
    EXPECT_EQ(CleanText("  SanDisk\n"), "SanDisk");
    EXPECT_EQ(CleanText("Cruzer\tBlade"), "Cruzer Blade");
    EXPECT_EQ(CleanText(std::string("AB\xff\x01"
                                    "C",
                                    5)),
              "AB__C");
    EXPECT_EQ(CleanText(std::string("SERIAL\0\0garbage", 15)), "SERIAL");
    EXPECT_EQ(CleanText(""), "");
}

TEST(SysfsText, NumbersAreWholeOrNothing) {
    EXPECT_EQ(ParseDecimal("30031872\n"), 30031872u);
    EXPECT_EQ(ParseDecimal(" 0 "), 0u);
    for (const char* bad : {"12abc", "-1", "", "99999999999999999999999"})
        EXPECT_FALSE(ParseDecimal(bad)) << bad;
    EXPECT_EQ(ParseUsbId("0781\n"), 0x0781);
    EXPECT_EQ(ParseUsbId("FFFF"), 0xffff);
    for (const char* bad : {"781", "zz12", "07811"}) EXPECT_FALSE(ParseUsbId(bad)) << bad;
    EXPECT_EQ(ParseDeviceNumber("8:17\n"), makedev(8, 17));
    EXPECT_EQ(ParseDeviceNumber("259:0"), makedev(259, 0));
    for (const char* bad : {"8", "8:x", ":1"}) EXPECT_FALSE(ParseDeviceNumber(bad)) << bad;
}

class SysfsFolder : public ::testing::Test {
  protected:
    larkin::test::TempFolder folder_;
    std::string root_ = folder_.path().string();
};

TEST_F(SysfsFolder, AttributesThatCannotBeReadAreNone) {
    std::filesystem::create_directories(root_ + "/dev/queue");
    std::ofstream(root_ + "/dev/size") << "2048\n";
    EXPECT_EQ(ReadAttribute(root_ + "/dev", "size"), "2048\n");
    EXPECT_EQ(TextAttribute(root_ + "/dev", "size"), "2048");
    EXPECT_FALSE(ReadAttribute(root_ + "/dev", "absent"));
    EXPECT_FALSE(ReadAttribute(root_ + "/dev", "queue"));  // a folder
    EXPECT_EQ(TextAttribute(root_ + "/dev", "queue"), "");
    EXPECT_EQ(ReadFileBytes(root_ + "/dev/size", 2), "20");
}

TEST_F(SysfsFolder, LinksResolveToTidyAbsolutePaths) {
    std::filesystem::create_directories(root_ + "/devices/pci/block/sdb");
    std::filesystem::create_directories(root_ + "/dev/block");
    std::filesystem::create_directory_symlink("../../devices/pci/block/sdb",
                                              root_ + "/dev/block/8:16");
    EXPECT_EQ(ResolveLink(root_ + "/dev/block/8:16"), root_ + "/devices/pci/block/sdb");
    EXPECT_EQ(ResolveLink(root_ + "/devices/pci"), "");  // no link
    EXPECT_EQ(ResolveLink(root_ + "/absent"), "");
    EXPECT_EQ(ListFolder(root_ + "/dev/block"), std::vector<std::string>{"8:16"});
    EXPECT_TRUE(ListFolder(root_ + "/absent").empty());
    EXPECT_EQ(BaseName("/sys/block/sdb/"), "sdb");
    EXPECT_EQ(BaseName("sdb"), "sdb");
}

}  // namespace
}  // namespace larkin::platform::linuxhw
