// larkin-writer as a hostile host meets it, on a copy of the demo machine,
// and a host's side when the helper, or polkit, does not get to the end.
#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "run_command.h"
#include "test_machine.h"
#include "writer_client.h"

namespace {

using namespace larkin::test;
using namespace larkin::writer;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kHeader[] = "larkin-writer 1\nmake-bootable\n";
constexpr char kStick[] = "name SanDisk Cruzer Blade USB Device\n";

TEST(LarkinWriter, EveryBadRequestIsRefusedBeforeAnythingIsWritten) {
    TempFolder folder;
    std::filesystem::copy_file(LARKIN_SOURCE_DIR "/machines/demo.toml",
                               folder.path() / "demo.toml");
    const std::string header = kHeader, stick = kStick, e = header + "destination E:\n" + stick;
    struct Case {
        std::string request;
        const char* said;
        std::string environment = "";
    } cases[] = {
        {"make-bootable\n", "no known header"},
        {e + "image LarkinDemo\n", "cut short"},
        {e + "image LarkinDemo\nend", "cut short"},
        {e + "image LarkinDemo\nend\n" + std::string(5000, 'x'), "larger than 4096"},
        {e + "image ..\nend\n", "not a folder of the image"},
        {e + "image /etc\nend\n", "not a folder of the image"},
        {header + "destination A:\n" + stick + "floppy\nend\n", "not a drive letter C: to Z:"},
        {header + "destination E:\ndestination F:\n" + stick + "floppy\nend\n", "twice"},
        {e + "image LarkinDemo\nfloppy\nend\n", "twice"},
        {header + "destination E:\nname Bad\x01Name\nfloppy\nend\n", "not text"},
        {header + "destination E:\nname Another Stick\nimage LarkinDemo\nend\n",
         "not the drive chosen"},
        {e + "path \\\\?\\usbstor#other\nimage LarkinDemo\nend\n", "not the drive chosen"},
        {header + "destination Q:\n" + stick + "image LarkinDemo\nend\n", "no USB drive Q:"},
        {e + "image Nowhere\nend\n", "Nowhere"},
        // Through pkexec no setting of the user's is honoured.
        {e + "image LarkinDemo\nend\n", "is not honoured when writing with privileges",
         "PKEXEC_UID=1000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        std::ofstream(folder.path() / "request", std::ios::binary) << c.request;
        CommandRun run =
            RunCommand("cd " + Quoted(folder.path().string()) + " && env " + c.environment +
                       " LARKIN_MACHINE=demo.toml LARKIN_TIME_SCALE=0 " +
                       Quoted(LARKIN_BIN "/larkin-writer") + " < request");
        EXPECT_EQ(run.exitCode, 6) << run.output;
        EXPECT_THAT(run.output, HasSubstr("refused\t")) << run.output;
        EXPECT_THAT(run.output, HasSubstr(c.said)) << run.output;
        EXPECT_THAT(run.output, HasSubstr("\nend\t6\t")) << run.output;
        EXPECT_THAT(run.output, Not(HasSubstr("writing\n"))) << run.output;
    }
    CommandRun journal = RunCommand("cd " + Quoted(folder.path().string()) + " && " +
                                    Quoted(LARKIN_BIN "/simctl") + " --machine demo.toml journal");
    EXPECT_THAT(journal.output, Not(HasSubstr("stick"))) << journal.output;
}

// A helper that ends without its end, and pkexec's refusals, as stand-in
// programs give them.
TEST(LarkinWriter, TheHostSaysHowTheHelperEnded) {
    TempFolder folder;
    auto script = [&](const std::string& name, const std::string& body) {
        std::filesystem::path path = folder.path() / name;
        std::ofstream(path) << "#!/bin/sh\ncat >/dev/null\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path.string();
    };
    std::string killed = script("killed", "printf 'step\\tpartitioning\\nwriting\\n'; kill -9 $$");
    std::string gone = script("gone", "printf 'step\\tchecking\\n'; exit 3");
    Request request{"E:", "SanDisk Cruzer Blade USB Device", "", "LarkinDemo", false};

    for (const auto& [helper, writing, reason] :
         {std::tuple{killed, true, "signal 9"}, {gone, false, "exit code 3"}}) {
        Outcome outcome = RunWriter(helper, false, request, {});
        EXPECT_TRUE(outcome.kind == OutcomeKind::Died && outcome.writing == writing) << reason;
        EXPECT_THAT(outcome.reason, HasSubstr(reason));
    }

    // pkexec that says no (127) or whose dialogue was closed (126).
    std::string path = std::getenv("PATH");
    ::setenv("PATH", (folder.path().string() + ":" + path).c_str(), 1);
    for (int code : {126, 127}) {
        script("pkexec",
               "echo 'Error executing command as another user: Not authorized' >&2; "
               "exit " +
                   std::to_string(code));
        std::string said;
        Outcome outcome =
            RunWriter(gone, true, request, {[&](std::string_view line) { said += line; }, {}, {}});
        EXPECT_EQ(outcome.kind, OutcomeKind::NotAuthorised) << code;
        EXPECT_THAT(outcome.reason, HasSubstr("not authorised (Error executing command"));
        EXPECT_THAT(said, HasSubstr("Not authorized"));
    }
    ::setenv("PATH", path.c_str(), 1);
}

}  // namespace
