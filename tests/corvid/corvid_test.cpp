// Corvid: module loading, the global numbering, dispatch and its results for
// empty entries, buffer codes, options, trace lines and the notification
// window. Pellom runs on small machines made here (through the physical-
// drive probe, Verran kept away); Fennic, Tamsel and Ormand are the test
// stand-ins from the folders named by LARKIN_TEST_CORES*.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "corvid/corvid.h"
#include "corvid_api.h"
#include "test_core.h"

namespace larkin::test {
namespace {

// A machine with `disks` disks on one ATA adapter, numbered 0 .. disks-1.
std::string DisksMachine(int disks) {
    std::string toml = "[machine]\ntime_scale = 0\n[[adapter]]\nid = \"ide0\"\nclass = \"ATA\"\n";
    for (int i = 0; i < disks; ++i)
        toml += "[[adapter.disk]]\nid = \"d" + std::to_string(i) +
                "\"\nsize = \"4MiB\"\nvendor = \"ACME\"\nproduct = \"Disk " + std::to_string(i) +
                "\"\nrevision = \"1.00\"\nserial = \"SN00000" + std::to_string(i) + "\"\n";
    return toml;
}

// One test's world: its machine, its working folder, recorded boxes, Verran
// kept away, the stand-in modules' settings, and Corvid loaded last (so it
// is released first).
class Session {
  public:
    explicit Session(int pellomDisks, const char* cores = LARKIN_TEST_CORES)
        : machine_(DisksMachine(pellomDisks)) {
        faults_.WithoutVerran();
        if (cores) Set("LARKIN_LIBRARY_PATH", cores);
    }
    ~Session() {
        corvid_.reset();
        modules_.clear();
        // Newest first, so a variable set twice gets its original back.
        while (!env_.empty()) env_.pop_back();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // LARKIN_TEST_<MODULE>_<WHAT>, read by the stand-in module at its calls.
    void Set(const std::string& name, const std::string& value) {
        env_.push_back(std::make_unique<ScopedEnv>(name, value));
    }
    void Module(const std::string& upperName, int adapters, int targets) {
        Set("LARKIN_TEST_" + upperName + "_ADAPTERS", std::to_string(adapters));
        Set("LARKIN_TEST_" + upperName + "_TARGETS", std::to_string(targets));
    }
    CorvidApi& Load() {
        corvid_.emplace();
        EXPECT_TRUE(corvid_->library);
        return *corvid_;
    }
    void Unload() { corvid_.reset(); }
    // The record of a stand-in module (loading it again if Corvid dropped it).
    TestCoreRecord& Record(const char* module) {
        modules_.emplace_back(LoadLibraryA(module));
        auto calls = corvid::Export<TEST_CORE_RECORD>(modules_.back(), "TestCoreCalls");
        EXPECT_NE(calls, nullptr) << module;
        static TestCoreRecord none{};
        return calls ? *calls() : none;
    }
    MessageBoxes& boxes() { return boxes_; }

  private:
    TestMachine machine_;
    WorkingFolder folder_;
    MessageBoxes boxes_;
    Faults faults_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
    std::vector<corvid::Library> modules_;
    std::optional<CorvidApi> corvid_;
};

const std::array<BYTE, 16> kTestUnitReady{};

TEST(CorvidNumbering, PellomAloneNumbersItsTargetsAndEmptyEntriesGiveFixedResults) {
    Session session(3, nullptr);
    CorvidApi& corvid = session.Load();
    EXPECT_EQ(corvid.loadCores(), 2);  // Pellom on pass-through
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 3);
    for (int g = 0; g < 3; ++g) {
        EXPECT_EQ(corvid.info(g, "Adapter"), "PhysicalDrive " + std::to_string(g));
        EXPECT_EQ(corvid.command(g, kTestUnitReady.data(), 0), 0);
    }

    BYTE sense[32] = {0xAA};
    char text[8] = "keep";
    int size = sizeof text;
    for (int empty : {3, 99, -1, 100}) {
        SCOPED_TRACE(empty);
        EXPECT_EQ(corvid.command(empty, kTestUnitReady.data(), 0), -1);
        EXPECT_EQ(corvid.sense(empty, sense), -1);
        EXPECT_EQ(corvid.setWatchdog(empty, 20), 0);
        EXPECT_EQ(corvid.bufferSize(empty), 0);
        EXPECT_EQ(corvid.getDriveInformation(empty, "Adapter", text, &size), 1);
        EXPECT_EQ(corvid.setDeviceOptions(empty, 1), 0xFFFF);
        EXPECT_EQ(corvid.readDataBuffer(empty, "r", 0, 4, sense), 0);
        corvid.releaseAdapter(empty);
        corvid.dataPattern(empty, "w", sense, 1, 1);
    }
    EXPECT_EQ(sense[0], 0xAA);
    EXPECT_STREQ(text, "keep");
    EXPECT_EQ(size, static_cast<int>(sizeof text));
    // Pellom does not export SetDeviceOptions; Corvid answers for it.
    EXPECT_EQ(corvid.setDeviceOptions(0, 1), 0xFFFF);
    EXPECT_EQ(corvid.bufferSize(0), 1048576);
}

TEST(CorvidNumbering, ModulesFollowEachOtherAndEveryCountRenumbers) {
    Session session(2);
    session.Module("ORMAND", 1, 3);
    CorvidApi& corvid = session.Load();
    EXPECT_EQ(corvid.loadCores(), 3);  // 2 from Pellom, 1 from Ormand
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 5);
    TestCoreRecord& ormand = session.Record("Ormand");
    EXPECT_EQ(ormand.lastFirstGlobal, 2);
    EXPECT_STREQ(ormand.lastFilter, "USB");

    EXPECT_EQ(corvid.command(1, kTestUnitReady.data(), 0), 0);  // Pellom's own
    EXPECT_EQ(corvid.command(2, kTestUnitReady.data(), -7), 3000);
    EXPECT_EQ(ormand.lastCdb, kTestUnitReady.data());
    EXPECT_EQ(ormand.lastCount, -7);
    EXPECT_EQ(corvid.command(4, kTestUnitReady.data(), 0), 3002);
    EXPECT_EQ(corvid.setWatchdog(3, 5), 3005);
    EXPECT_EQ(ormand.lastLocal, 1);
    EXPECT_EQ(corvid.bufferSize(4), 3002);
    BYTE sense[32] = {};
    EXPECT_EQ(corvid.sense(3, sense), 3001);
    EXPECT_EQ(corvid.info(4, "FRIENDLYNAME"), "LARKIN_TEST_ORMAND:2:FRIENDLYNAME");
    corvid.releaseAdapter(2);
    EXPECT_EQ(ormand.releaseCalls, 1);
    const BYTE pattern[] = {1, 2};
    corvid.dataPattern(3, "w", pattern, 2, 9);
    EXPECT_EQ(ormand.lastLocal, 1);
    EXPECT_STREQ(ormand.lastBufferName, "w");
    EXPECT_EQ(ormand.lastData, pattern);
    EXPECT_EQ(ormand.lastLength, 2);
    EXPECT_EQ(ormand.lastOffset, 9);  // the period

    // UnLoad keeps everything; a second count starts from 0 again.
    corvid.unload();
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 5);
    EXPECT_EQ(ormand.lastFirstGlobal, 2);
    EXPECT_EQ(corvid.command(4, kTestUnitReady.data(), 0), 3002);
    session.Module("ORMAND", 1, 1);
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 3);
    EXPECT_EQ(corvid.command(2, kTestUnitReady.data(), 0), 3000);
    EXPECT_EQ(corvid.command(3, kTestUnitReady.data(), 0), -1);
    // LoadCores empties the map too.
    EXPECT_EQ(corvid.loadCores(), 3);
    EXPECT_EQ(corvid.command(0, kTestUnitReady.data(), 0), -1);
}

TEST(CorvidNumbering, ModuleWithoutAdaptersIsNotAskedForTargets) {
    Session session(2);
    session.Module("ORMAND", 0, 3);
    session.Module("FENNIC", 4, 1);
    CorvidApi& corvid = session.Load();
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 0);  // before LoadCores: nothing numbered
    EXPECT_EQ(corvid.loadCores(), 6);
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 3);
    EXPECT_EQ(session.Record("Ormand").loadCalls, 1);
    EXPECT_EQ(session.Record("Ormand").countCalls, 0);
    EXPECT_EQ(session.Record("Fennic").lastFirstGlobal, 2);
    EXPECT_EQ(corvid.command(2, kTestUnitReady.data(), 0), 1000);
}

TEST(CorvidNumbering, ModuleMissingARequiredExportIsSkipped) {
    Session session(2, LARKIN_TEST_CORES_INCOMPLETE);
    session.Module("TAMSEL", 1, 2);
    CorvidApi& corvid = session.Load();
    EXPECT_EQ(corvid.loadCores(), 2);  // Pellom only
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 2);
    EXPECT_EQ(corvid.command(2, kTestUnitReady.data(), 0), -1);
}

TEST(CorvidNumbering, MoreThanOneHundredTargetsStopAtTheMap) {
    Session session(2);
    session.Module("FENNIC", 1, 80);
    session.Module("ORMAND", 1, 50);
    CorvidApi& corvid = session.Load();
    corvid.loadCores();
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 100);
    EXPECT_EQ(session.Record("Ormand").lastFirstGlobal, 82);
    EXPECT_EQ(corvid.command(81, kTestUnitReady.data(), 0), 1079);
    EXPECT_EQ(corvid.command(99, kTestUnitReady.data(), 0), 3017);
}

TEST(CorvidDispatch, BufferNamesBecomeCodesInEitherCase) {
    Session session(0);
    session.Module("FENNIC", 1, 2);
    CorvidApi& corvid = session.Load();
    corvid.loadCores();
    ASSERT_EQ(corvid.deviceCount(0, "USB"), 2);
    TestCoreRecord& fennic = session.Record("Fennic");
    BYTE data[4] = {};
    struct Case {
        const char* name;
        int read;
        int write;
    };
    for (const Case& c : {Case{"r", 0, 16}, Case{"R", 0, 16}, Case{"w", 32, 48}, Case{"W", 32, 48},
                          Case{"s", 64, 80}, Case{"S", 64, 80}, Case{"ws", 0, 16}, Case{"", 0, 16},
                          Case{nullptr, 0, 16}}) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        EXPECT_EQ(corvid.readDataBuffer(1, c.name, 7, 3, data), c.read);
        EXPECT_EQ(corvid.writeDataBuffer(1, c.name, 7, 3, data), c.write);
    }
    EXPECT_EQ(fennic.lastLocal, 1);
    EXPECT_EQ(fennic.lastOffset, 7);
    EXPECT_EQ(fennic.lastLength, 3);
    EXPECT_EQ(fennic.lastData, data);
}

TEST(CorvidDispatch, OptionsReachTheOwnersOfTheFirstFourNumbers) {
    Session session(2);
    session.Module("FENNIC", 1, 3);  // globals 2, 3, 4
    session.Module("TAMSEL", 1, 2);  // globals 5, 6
    CorvidApi& corvid = session.Load();
    TestCoreRecord& fennic = session.Record("Fennic");
    TestCoreRecord& tamsel = session.Record("Tamsel");
    EXPECT_EQ(corvid.setCoreOptions(0x0010), 0);  // nothing numbered: nobody told
    EXPECT_EQ(fennic.optionsCalls, 0);
    corvid.loadCores();
    ASSERT_EQ(corvid.deviceCount(0, "USB"), 7);
    EXPECT_EQ(corvid.setCoreOptions(0x0020), 0x0010);
    EXPECT_EQ(fennic.optionsCalls, 2);  // once per number it owns among 0 .. 3
    EXPECT_EQ(fennic.lastOptions, 0x0020);
    EXPECT_EQ(tamsel.optionsCalls, 0);

    // Optional per-device options: Fennic exports them, Ormand does not.
    EXPECT_EQ(corvid.setDeviceOptions(3, 0x1234), 1001);
    EXPECT_EQ(fennic.lastOptions, 0x1234);
    session.Module("ORMAND", 1, 1);
    corvid.loadCores();
    ASSERT_EQ(corvid.deviceCount(0, "USB"), 8);
    EXPECT_EQ(corvid.setDeviceOptions(7, 1), 0xFFFF);

    // Pellom owns 0 and 1: its trace bits (on by default) went with the word.
    std::filesystem::remove("Corvid.log");
    EXPECT_EQ(corvid.command(0, kTestUnitReady.data(), 0), 0);
    EXPECT_EQ(CountPrefix(TraceLines(), "Pellom:SptiCommon:Device 0"), 0u);
}

TEST(CorvidTrace, LinesAreWrittenOnlyWithTheTraceBit) {
    Session session(2);
    std::ofstream("Corvid.log") << "line of an earlier run\n";
    session.Module("FENNIC", 0, 5);
    session.Module("TAMSEL", 2, 1);
    session.Module("ORMAND", 1, 3);
    CorvidApi& corvid = session.Load();
    corvid.loadCores();
    corvid.deviceCount(0, "USB");
    // The old file went at load; Pellom's own lines (on by default) start
    // the new one, and Corvid's stay off.
    std::vector<std::string> lines = TraceLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Pellom:SptiCommon:LoadSPTI() 1 Adapters");
    EXPECT_FALSE(HasLine(lines, "line of an earlier run"));
    EXPECT_EQ(CountPrefix(lines, "CoreLibrary:"), 0u);

    std::filesystem::remove("Corvid.log");
    corvid.setCoreOptions(CORVID_TRACE);
    corvid.loadCores();
    corvid.deviceCount(0, "USB");
    std::vector<std::string> expected = {
        "CoreLibrary:Checking Pellom ..",
        "CoreLibrary:  Aspi/SPTI Adapter(s) Found",
        "CoreLibrary:Checking Fennic ..",
        "CoreLibrary:  No Harlow Boards Found",
        "CoreLibrary:Checking Tamsel ..",
        "CoreLibrary: USB Quenby Board(s) Found",
        "CoreLibrary:Checking Ormand ..",
        "CoreLibrary:  ATA Controller(s) Found",
        "CoreLibrary:Done Checking Core Modules for Valid Adapters",
        "CoreLibrary:Checking Pellom For Targets ..",
        "CoreLibrary:2 Pellom Targets Found",
        "CoreLibrary:Checking Tamsel For Targets ..",
        "CoreLibrary:1 Tamsel Targets Found",
        "CoreLibrary:Checking Ormand For Targets ..",
        "CoreLibrary:3 Ormand Targets Found",
    };
    std::vector<std::string> corvidLines;
    for (const auto& line : TraceLines())
        if (line.rfind("CoreLibrary:", 0) == 0) corvidLines.push_back(line);
    EXPECT_EQ(corvidLines, expected);

    session.Module("ORMAND", 0, 0);
    session.Module("TAMSEL", 0, 0);
    std::filesystem::remove("Corvid.log");
    corvid.loadCores();
    lines = TraceLines();
    EXPECT_TRUE(HasLine(lines, "CoreLibrary:  No USB Quenby Boards Found"));
    EXPECT_TRUE(HasLine(lines, "CoreLibrary:  No ATA Controllers Found"));
}

TEST(CorvidTrace, ReloadStartsAFreshLogWithOptionsCleared) {
    Session session(1);
    CorvidApi& first = session.Load();
    first.setCoreOptions(CORVID_TRACE);
    first.loadCores();
    EXPECT_GT(CountPrefix(TraceLines(), "CoreLibrary:"), 0u);
    session.Unload();
    EXPECT_EQ(GetModuleHandleA("Corvid"), nullptr);

    CorvidApi& second = session.Load();
    EXPECT_EQ(CountPrefix(TraceLines(), "CoreLibrary:"), 0u);
    EXPECT_EQ(second.setCoreOptions(0), 0);
    second.initCorvid();
}

TEST(CorvidExports, OrdinalsNameTheSameFunctions) {
    Session session(0, nullptr);
    CorvidApi& corvid = session.Load();
    const char* names[] = {"LoadCores",      "UnLoad",         "DeviceCount",
                           "Command",        "SetWatchdog",    "ReleaseAdapter",
                           "BufferSize",     "DataPattern",    "WriteDataBuffer",
                           "ReadDataBuffer", "Sense",          "GetDriveInformation",
                           "initCorvid",     "SetCoreOptions", "SetDeviceOptions"};
    for (WORD ordinal = 1; ordinal <= 15; ++ordinal) {
        SCOPED_TRACE(names[ordinal - 1]);
        FARPROC byOrdinal = GetProcAddress(corvid.library.get(), MAKEINTRESOURCEA(ordinal));
        EXPECT_NE(byOrdinal, nullptr);
        EXPECT_EQ(byOrdinal, GetProcAddress(corvid.library.get(), names[ordinal - 1]));
    }
    EXPECT_EQ(GetProcAddress(corvid.library.get(), MAKEINTRESOURCEA(16)), nullptr);
}

TEST(CorvidWindow, CarriesTheOptionsAndTheirSetter) {
    Session session(2);
    session.Module("ORMAND", 1, 2);
    CorvidApi& corvid = session.Load();
    HWND window = FindWindowA(CORVID_WINDOW_CLASS, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetWindowLongA(window, CORVID_WINDOW_OPTIONS), 0);
    auto setOptions =
        reinterpret_cast<void (*)(LONG)>(GetWindowLongPtrA(window, CORVID_WINDOW_SET_OPTIONS));
    ASSERT_NE(setOptions, nullptr);
    corvid.loadCores();
    corvid.deviceCount(0, "USB");
    EXPECT_EQ(CountPrefix(TraceLines(), "CoreLibrary:"), 0u);

    setOptions(0x00010100);  // only the low 16 bits count
    corvid.loadCores();
    EXPECT_TRUE(HasLine(TraceLines(), "CoreLibrary:Checking Ormand .."));
    EXPECT_EQ(GetWindowLongA(window, CORVID_WINDOW_OPTIONS), 0);  // the value at creation
    EXPECT_EQ(session.Record("Ormand").optionsCalls, 0);          // modules are not told
    EXPECT_EQ(corvid.setCoreOptions(0), 0x0100);
}

TEST(CorvidWindow, AnswersUserAndCloseWithMessageBoxes) {
    Session session(0, nullptr);
    session.Load();
    HWND window = FindWindowA(CORVID_WINDOW_CLASS, nullptr);
    ASSERT_NE(window, nullptr);
    session.boxes().watched = window;
    session.boxes().clear();

    EXPECT_EQ(SendMessageA(window, WM_USER, 0, 0), 0);
    ASSERT_EQ(session.boxes().shown().size(), 1u);
    EXPECT_EQ(session.boxes().shown()[0].text, "We Got IT");
    EXPECT_EQ(session.boxes().shown()[0].caption, "CoreLibrary");
    EXPECT_EQ(session.boxes().shown()[0].type, MB_OK);
    EXPECT_EQ(session.boxes().shown()[0].owner, nullptr);
    EXPECT_TRUE(IsWindow(window));

    EXPECT_EQ(SendMessageA(window, WM_CLOSE, 0, 0), 0);
    ASSERT_EQ(session.boxes().shown().size(), 2u);
    EXPECT_EQ(session.boxes().shown()[1].text, "Window Closeing");
    EXPECT_EQ(session.boxes().shown()[1].caption, "CoreLibrary");
    EXPECT_TRUE(session.boxes().shown()[1].windowAlive);  // the box came first
    EXPECT_FALSE(IsWindow(window));

    // Unloading after the window is gone works, and unregisters the class
    // so the next load makes a new window.
    session.Unload();
    EXPECT_EQ(FindWindowA(CORVID_WINDOW_CLASS, nullptr), nullptr);
    session.Load();
    HWND again = FindWindowA(CORVID_WINDOW_CLASS, nullptr);
    EXPECT_NE(again, nullptr);
    EXPECT_NE(again, window);
    session.Unload();
    EXPECT_EQ(FindWindowA(CORVID_WINDOW_CLASS, nullptr), nullptr);
}

TEST(CorvidLoading, NoUsableModuleNumbersNothing) {
    Session session(0, nullptr);
    Faults faults;
    faults.WithoutSpti();
    faults.Fail("LoadLibraryA", "wnaspi32");
    CorvidApi& corvid = session.Load();
    EXPECT_EQ(corvid.loadCores(), 0);
    EXPECT_EQ(corvid.deviceCount(0, "USB"), 0);
    EXPECT_EQ(corvid.command(0, kTestUnitReady.data(), 0), -1);
}

}  // namespace
}  // namespace larkin::test
