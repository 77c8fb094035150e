#include <array>
#include <cstdlib>

#include "allocation_faults.h"
#include "core_test_support.h"
#include "corvid/corvid.h"

namespace larkin::test {
namespace {

struct CorvidApi {
    int unit(int global) const { return command(global, std::array<BYTE, 16>{}.data(), 0); }
    int loadAndCount() const { return loadCores(), deviceCount(0, "USB"); }

    larkin::Library library{LoadLibraryA("Corvid")};
    LARKIN_BIND(CORVID_LOAD_CORES, loadCores, "LoadCores");
    LARKIN_BIND(CORVID_UNLOAD, unload, "UnLoad");
    LARKIN_BIND(CORVID_DEVICE_COUNT, deviceCount, "DeviceCount");
    LARKIN_BIND(CORVID_COMMAND, command, "Command");
    LARKIN_BIND(CORVID_SET_WATCHDOG, setWatchdog, "SetWatchdog");
    LARKIN_BIND(CORVID_RELEASE_ADAPTER, releaseAdapter, "ReleaseAdapter");
    LARKIN_BIND(CORVID_BUFFER_SIZE, bufferSize, "BufferSize");
    LARKIN_BIND(CORVID_DATA_PATTERN, dataPattern, "DataPattern");
    LARKIN_BIND(CORVID_WRITE_DATA_BUFFER, writeDataBuffer, "WriteDataBuffer");
    LARKIN_BIND(CORVID_READ_DATA_BUFFER, readDataBuffer, "ReadDataBuffer");
    LARKIN_BIND(CORVID_SENSE, sense, "Sense");
    LARKIN_BIND(CORVID_GET_DRIVE_INFORMATION, getDriveInformation, "GetDriveInformation");
    LARKIN_BIND(CORVID_SET_CORE_OPTIONS, setCoreOptions, "SetCoreOptions");
    LARKIN_BIND(CORVID_SET_DEVICE_OPTIONS, setDeviceOptions, "SetDeviceOptions");
};

using Module = std::tuple<std::string, int, int>;  // name, adapters, targets

// The stand-ins not named have no adapters. Corvid is released before them.
struct Session : CoreSession<CorvidApi> {
    explicit Session(const std::vector<Module>& modules = {}, const char* cores = LARKIN_TEST_CORES)
        : CoreSession("corvid-ata-two-disks") {
        faults.WithoutVerran();
        for (const char* name : {"FENNIC", "TAMSEL", "ORMAND"}) Set({name, 0, 0});
        for (const Module& module : modules) Set(module);
        cores ? setenv("LARKIN_LIBRARY_PATH", cores, 1) : unsetenv("LARKIN_LIBRARY_PATH");
    }
    void Set(const Module& module) {
        const auto& [name, adapters, targets] = module;
        setenv(("LARKIN_TEST_" + name + "_ADAPTERS").c_str(), std::to_string(adapters).c_str(), 1);
        setenv(("LARKIN_TEST_" + name + "_TARGETS").c_str(), std::to_string(targets).c_str(), 1);
    }
    ~Session() { api.reset(); }
    // The calls the stand-in received since it was last asked.
    std::string Calls(const char* module) {
        modules.emplace_back(LoadLibraryA(module));
        return Bind<const char* (*)()>(modules.back(), "TestCoreCalls")();
    }

    std::vector<larkin::Library> modules;
};

// Each call reaches the owner with its own number; every count renumbers,
// UnLoad keeps everything, LoadCores empties the map, and a number without
// an owner gives each export's fixed result.
TEST(CorvidNumbering, ModulesFollowEachOtherAndEveryCountRenumbers) {
    Session session({{"ORMAND", 1, 3}});
    CorvidApi& corvid = session.Load();
    // corvid.def, which a Windows build exports by, names the functions this
    // platform's loader finds under the same ordinals, and no more.
    std::ifstream def(std::string(LARKIN_SOURCE_DIR) + "/corvid/corvid.def");
    HMODULE library = corvid.library.get();
    int entries = 0;
    for (std::string name, word; def >> word; name = word) {
        if (!word.starts_with('@')) continue;
        FARPROC byName = GetProcAddress(library, name.c_str());
        EXPECT_TRUE(byName &&
                    byName == GetProcAddress(library, MAKEINTRESOURCEA(std::stoi(word.substr(1)))))
            << name;
        ++entries;
    }
    EXPECT_EQ(entries, 15);
    EXPECT_EQ(GetProcAddress(library, MAKEINTRESOURCEA(16)), nullptr);
    EXPECT_EQ(corvid.loadCores(), 3);  // 2 from Pellom, 1 from Ormand
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 5);
    BYTE sense[32] = {0xAA};
    const std::vector<int> results{corvid.unit(2), corvid.setWatchdog(3, 5), corvid.bufferSize(4),
                                   corvid.sense(3, sense)};
    EXPECT_EQ(results, (std::vector<int>{3000, 3051, 3002, 3001}));
    corvid.releaseAdapter(3);
    corvid.dataPattern(3, "w", sense, 2, 9);
    EXPECT_EQ(session.Calls("Ormand"),
              "Count 2;Scsi 0;Watchdog 1 5;Size 2;Sense 1;Release 1;Pattern w 1 2 9 @170;");

    corvid.unload();
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 5);
    EXPECT_EQ(corvid.unit(4), 3002);
    session.Set({"ORMAND", 1, 1});
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 3);
    EXPECT_EQ(corvid.unit(2), 3000);
    char text[8] = "keep";
    int size = sizeof text;
    for (int empty : {3, 99, -1, 100}) {
        SCOPED_TRACE(empty);
        EXPECT_EQ(corvid.unit(empty) + corvid.sense(empty, sense), -2);
        EXPECT_EQ(corvid.setWatchdog(empty, 20) + corvid.bufferSize(empty), 0);
        EXPECT_EQ(corvid.getDriveInformation(empty, "Adapter", text, &size), 1);
        EXPECT_EQ(corvid.setDeviceOptions(empty, 1), 0xFFFF);
        EXPECT_EQ(corvid.readDataBuffer(empty, "r", 0, 4, sense), 0);
        corvid.releaseAdapter(empty);
        corvid.dataPattern(empty, "w", sense, 1, 1);
    }
    EXPECT_EQ(std::string(text) + std::to_string(size) + std::to_string(sense[0]), "keep8170");
    EXPECT_EQ(session.Calls("Ormand"), "Count 2;Scsi 2;Count 2;Scsi 0;");
    EXPECT_EQ(corvid.loadCores(), 3);
    EXPECT_EQ(corvid.unit(0), -1);
}

TEST(CorvidNumbering, SkipsModulesWithoutAdaptersOrExportsAndStopsAtTheMap) {
    {
        Session session({{"ORMAND", 0, 3}, {"FENNIC", 4, 1}});
        CorvidApi& corvid = session.Load();
        // Counts before and after LoadCores, its adapters, and number 2.
        EXPECT_EQ((std::vector{corvid.deviceCount(0, "USB"), corvid.loadCores(),
                               corvid.deviceCount(0, "USB"), corvid.unit(2)}),
                  (std::vector{0, 6, 3, 1000}));
        EXPECT_EQ(session.Calls("Ormand"), "");  // no adapters: not asked
    }
    {
        Session session({{"TAMSEL", 1, 2}}, LARKIN_TEST_CORES_INCOMPLETE);
        EXPECT_EQ(session.Load().loadAndCount(), 2);  // Pellom's only
    }
    Session session({{"FENNIC", 1, 80}, {"ORMAND", 1, 50}});
    CorvidApi& corvid = session.Load();
    EXPECT_EQ(corvid.loadAndCount(), 100);
    EXPECT_EQ(corvid.unit(81), 1079);
    EXPECT_EQ(session.Calls("Ormand"), "Count 82;");
    EXPECT_EQ(corvid.unit(99), 3017);
}

TEST(CorvidDispatch, BufferNamesAndOptionsReachTheOwners) {
    Session session({{"FENNIC", 1, 3}, {"TAMSEL", 1, 2}, {"ORMAND", 1, 1}});  // 2 .. 4, 5 .. 6, 7
    CorvidApi& corvid = session.Load();
    EXPECT_EQ(corvid.setCoreOptions(0x0010), 0);  // nothing numbered: nobody told
    ASSERT_EQ(corvid.loadAndCount(), 8);
    EXPECT_EQ(corvid.setCoreOptions(0x0020), 0x0010);  // once per number among 0 .. 3
    EXPECT_EQ(session.Calls("Tamsel"), "Count 5;");
    BYTE data[4] = {0xD0};
    std::string codes, reached;
    for (const char* name :
         {"r", "R", "w", "W", "s", "S", "ws", static_cast<const char*>(nullptr)}) {
        codes += std::to_string(corvid.readDataBuffer(3, name, 7, 3, data)) + "/" +
                 std::to_string(corvid.writeDataBuffer(3, name, 7, 3, data)) + " ";
        reached += "Buffer 1 7 3 @208;Buffer 1 7 3 @208;";
    }
    EXPECT_EQ(codes, "0/16 0/16 32/48 32/48 64/80 64/80 0/16 0/16 ");
    EXPECT_EQ(corvid.setDeviceOptions(3, 0x1234), 1001);
    EXPECT_EQ(session.Calls("Fennic"),
              "Count 2;Options 32;Options 32;" + reached + "DeviceOptions 1 4660;");
    EXPECT_EQ(corvid.setDeviceOptions(7, 1), 0xFFFF);  // Ormand has no SetDeviceOptions
    // Pellom owns 0 and 1: its trace bits (on by default) went with the word.
    std::filesystem::remove("Corvid.log");
    EXPECT_EQ(corvid.unit(0), 0);
    EXPECT_EQ(TraceLines("Pellom:SptiCommon:Device 0").size(), 0u);
}

TEST(CorvidTrace, LinesAreWrittenOnlyWithTheTraceBitToAFreshLogPerLoad) {
    Session session({{"FENNIC", 0, 5}, {"TAMSEL", 2, 1}, {"ORMAND", 1, 3}});
    std::ofstream("Corvid.log") << "line of an earlier run\n";
    CorvidApi& corvid = session.Load();
    corvid.loadAndCount();
    // Pellom's own lines (on by default) start the new log; Corvid's are off.
    EXPECT_EQ(TraceLines().at(0), "Pellom:SptiCommon:LoadSPTI() 1 Adapters");
    EXPECT_EQ(TraceLines("CoreLibrary:").size(), 0u);

    std::filesystem::remove("Corvid.log");
    corvid.setCoreOptions(CORVID_TRACE);
    corvid.loadAndCount();
    EXPECT_EQ(
        TraceText("CoreLibrary:"),
        "Checking Pellom ..|  Aspi/SPTI Adapter(s) Found|Checking Fennic ..|  No Harlow Boards "
        "Found|Checking Tamsel ..| USB Quenby Board(s) Found|Checking Ormand ..|  ATA "
        "Controller(s) Found|Done Checking Core Modules for Valid Adapters|Checking Pellom For "
        "Targets ..|2 Pellom Targets Found|Checking Tamsel For Targets ..|1 Tamsel Targets "
        "Found|Checking Ormand For Targets ..|3 Ormand Targets Found|");

    // The window carries the setter of the options (the low 16 bits; the
    // modules are not told); a box shows for WM_USER, and for WM_CLOSE
    // before the window goes; an unload unregisters the class.
    HWND window = FindWindowA(CORVID_WINDOW_CLASS, nullptr);
    auto setOptions =
        reinterpret_cast<void (*)(LONG)>(GetWindowLongPtrA(window, CORVID_WINDOW_SET_OPTIONS));
    ASSERT_NE(setOptions, nullptr);
    session.Calls("Tamsel");
    setOptions(0x00010200);
    corvid.loadAndCount();
    EXPECT_EQ(session.Calls("Tamsel"), "Count 2;");               // not told
    EXPECT_EQ(GetWindowLongA(window, CORVID_WINDOW_OPTIONS), 0);  // the value at creation
    EXPECT_EQ(corvid.setCoreOptions(0), 0x0200);
    session.boxes.watched = window;
    session.boxes.shown.clear();
    EXPECT_EQ(SendMessageA(window, WM_USER, 0, 0) + SendMessageA(window, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(session.boxes.Texts(), "We Got IT|CoreLibrary|0\nWindow Closeing|CoreLibrary|0\n");
    EXPECT_TRUE(session.boxes.shown.at(1).windowAlive);  // the box came first

    session.api.reset();
    EXPECT_EQ(FindWindowA(CORVID_WINDOW_CLASS, nullptr), nullptr);
    EXPECT_EQ(session.Load().setCoreOptions(0), 0);
    EXPECT_EQ(TraceLines("CoreLibrary:").size(), 0u);
}

// Whatever else fails (Pellom's load, the window) Corvid works on without.
// Only the libraries' own allocations fail: out of memory inside the
// loader's search for a library ends the process.
TEST(CorvidMemoryFault, ASetUpThatRunsOutOfMemoryFailsTheLoad) {
    if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    Session session({}, nullptr);
    int setUpFailures = 0;
    for (long point = 0;; ++point) {
        allocation::FailAfter(point, {"libCorvid", "libPellom"});
        larkin::Library library(LoadLibraryA("Corvid"));
        DWORD error = GetLastError();
        bool failed = allocation::Failed();
        if (!library) {
            EXPECT_TRUE(failed && error == ERROR_DLL_INIT_FAILED) << "allocation " << point;
            ++setUpFailures;
            continue;
        }
        int adapters = larkin::Export<CORVID_LOAD_CORES>(library, "LoadCores")();
        int count = larkin::Export<CORVID_DEVICE_COUNT>(library, "DeviceCount")(0, "USB");
        EXPECT_TRUE(adapters == count && (count == 2 || (failed && count == 0))) << point;
        if (!failed) break;
    }
    EXPECT_GT(setUpFailures, 0);
}

}  // namespace
}  // namespace larkin::test
