// A floppy image file as the disk in drive A: on this computer: listed,
// read through \\.\A: and by the outside tools, never written, and refused
// with a line naming the file when it is no floppy's image.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

#include "hardware_machine.h"

namespace larkin::test {
namespace {

using ::testing::HasSubstr;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class FloppyImage : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveProgram("mkfs.fat") || !HaveProgram("mcopy") || !HaveProgram("mdir"))
            GTEST_SKIP() << "dosfstools or mtools is missing (scripts/install-deps)";
        LARKIN_START_MACHINE(machine_);
    }
    // A formatted floppy of kib KiB holding one file.
    std::string MakeFloppy(const std::string& name, int kib) {
        std::string path = (folder_.path() / name).string();
        CommandRun made = RunCommand(
            "mkfs.fat -C -n DOSDISK " + Quoted(path) + " " + std::to_string(kib) +
            " && printf 'SHELL=A:\\\\COMMAND.COM\\r\\n' > " + Quoted(path + ".sys") +
            " && mcopy -i " + Quoted(path) + " " + Quoted(path + ".sys") + " ::CONFIG.SYS");
        EXPECT_EQ(made.exitCode, 0) << made.output;
        return path;
    }
    DWORD Use(const std::string& path, std::string* why = nullptr) {
        char text[512] = {};
        DWORD error = LarkinUseFloppyImage(path.c_str(), text, sizeof text);
        if (why) *why = text;
        return error;
    }

    HardwareMachine machine_;
    TempFolder folder_;
};

TEST_F(FloppyImage, EveryFloppySizeIsDriveAReadOnlyWithItsFiles) {
    for (int kib : {160, 180, 320, 360, 720, 1200, 1440, 2880}) {
        SCOPED_TRACE(kib);
        std::string path = MakeFloppy("disk" + std::to_string(kib) + ".img", kib);
        std::string before = Slurp(path);
        ASSERT_EQ(Use(path), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_TRUE(GetLogicalDrives() & 1u);
        EXPECT_EQ(GetDriveTypeA("A:\\"), static_cast<UINT>(DRIVE_REMOVABLE));

        Handle drive = Open("\\\\.\\A:", GENERIC_READ);
        ASSERT_TRUE(drive.Valid()) << GetLastError();
        auto last = ReadAt(drive.Get(), uint64_t(kib) * 1024 - 512, 512);
        ASSERT_TRUE(last);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(last->data()), 512),
                  before.substr(before.size() - 512));
        EXPECT_FALSE(ReadAt(drive.Get(), uint64_t(kib) * 1024, 512));
        EXPECT_FALSE(WriteAt(drive.Get(), 0, std::vector<std::byte>(512)));
        LARKIN_EXPECT_FAILS(Open("\\\\.\\A:", kReadWrite).Valid(), ERROR_WRITE_PROTECT);
        // Nor is it reached as a plain file, where the drive's rules do not hold.
        EXPECT_FALSE(Open(path, kReadWrite).Valid());

        // The outside tools read the volume where the platform says it is,
        // and are never handed it for writing.
        LARKIN_TOOL_VOLUME where{};
        Handle reading(LarkinOpenVolumeForTool("A:", "mdir", FALSE, &where));
        ASSERT_TRUE(reading.Valid());
        CommandRun listing = RunCommand("MTOOLSRC=/dev/null mdir -b -i " + Quoted(where.path) +
                                        "@@" + std::to_string(where.offset) + " ::/");
        EXPECT_THAT(listing.output, HasSubstr("CONFIG.SYS"));
        EXPECT_FALSE(Handle(LarkinOpenVolumeForTool("A:", "mcopy", TRUE, &where)).Valid());
        EXPECT_EQ(Slurp(path), before);
    }
    ASSERT_EQ(Use(""), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(GetLogicalDrives() & 1u);
}

TEST_F(FloppyImage, AFileThatIsNoFloppyIsRefusedWithALineNamingIt) {
    std::string good = MakeFloppy("good.img", 1440);
    std::string large = Slurp(MakeFloppy("large.img", 2880));
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::string path = (folder_.path() / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    };
    std::string bytes = Slurp(good);
    // A hard disk's first sector: no boot sector, one partition entry.
    auto mbr = Mbr({{0, 0x06, 1, 0x40}});
    std::string table(reinterpret_cast<const char*>(mbr.data()), mbr.size());
    std::string disk = table + std::string(4 * 1024 * 1024 - 512, '\0');
    struct Case {
        std::string path;
        DWORD error;
        std::string says;
    };
    std::vector<Case> cases = {
        {(folder_.path() / "missing.img").string(), ERROR_FILE_NOT_FOUND, "No such file"},
        {folder_.path().string(), ERROR_ACCESS_DENIED, "is a folder"},
        {write("short.img", bytes.substr(0, 1000 * 1024)), ERROR_UNRECOGNIZED_VOLUME,
         "no floppy has that size"},
        {write("odd.img", bytes + std::string(512, '\0')), ERROR_UNRECOGNIZED_VOLUME,
         "no floppy has that size"},
        {write("disk.img", disk), ERROR_UNRECOGNIZED_VOLUME, "image of a hard disk"},
        {write("table.img", table + bytes.substr(512)), ERROR_UNRECOGNIZED_VOLUME,
         "image of a hard disk"},
        {write("blank.img", std::string(1440 * 1024, '\0')), ERROR_UNRECOGNIZED_VOLUME,
         "no FAT file system"},
        // A 2.88 MB disk cut short at a size floppies have.
        {write("cut.img", large.substr(0, 1440 * 1024)), ERROR_UNRECOGNIZED_VOLUME,
         "cut short or made for another disk"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.path);
        std::string why;
        EXPECT_EQ(Use(test.path, &why), test.error);
        EXPECT_THAT(why, HasSubstr(test.path));
        EXPECT_THAT(why, HasSubstr(test.says));
        EXPECT_FALSE(GetLogicalDrives() & 1u);
    }
}

TEST_F(FloppyImage, AnImageReplacedOrCutShortWhileOpenIsAnotherDisk) {
    std::string path = MakeFloppy("floppy.img", 1440);
    std::string other = MakeFloppy("other.img", 720);
    ASSERT_EQ(Use(path), static_cast<DWORD>(ERROR_SUCCESS));
    Handle drive = Open("\\\\.\\A:", GENERIC_READ);
    ASSERT_TRUE(drive.Valid());
    ASSERT_TRUE(ReadAt(drive.Get(), 0, 512));

    std::filesystem::rename(other, path);
    LARKIN_EXPECT_FAILS(ReadAt(drive.Get(), 0, 512), ERROR_MEDIA_CHANGED);
    // A new open reads the disk now in the drive.
    Handle again = Open("\\\\.\\A:", GENERIC_READ);
    ASSERT_TRUE(again.Valid());
    EXPECT_TRUE(ReadAt(again.Get(), 720 * 1024 - 512, 512));

    // Cut short, the drive is empty: not ready, and said once.
    std::filesystem::resize_file(path, 100 * 1024);
    LARKIN_EXPECT_FAILS(ReadAt(again.Get(), 0, 512), ERROR_MEDIA_CHANGED);
    Handle empty = Open("\\\\.\\A:", GENERIC_READ);
    ASSERT_TRUE(empty.Valid());
    LARKIN_EXPECT_FAILS(ReadAt(empty.Get(), 0, 512), ERROR_NOT_READY);
    std::filesystem::remove(path);
    EXPECT_FALSE(ReadAt(Open("\\\\.\\A:", GENERIC_READ).Get(), 0, 512));
    EXPECT_EQ(GetDriveTypeA("A:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
}

}  // namespace
}  // namespace larkin::test
