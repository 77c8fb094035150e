// larkin-cli: every engine operation from a terminal, for people and for
// scripts. The exit code is the engine's status (0 to 6); 2 also means a
// usage error, which is always said on the standard error stream first.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "console_watch.h"
#include "drive_events.h"
#include "drives.h"
#include "engine_library.h"
#include "image_catalog.h"
#include "image_folder.h"
#include "larkin/ascii_text.h"
#include "larkin/platform.h"
#include "templates/boot_patch.h"
#include "multi_boot.h"
#include "verify.h"
#include "volume_name.h"
#include "volume_tools.h"
#include "writer_client.h"

extern char** environ;

namespace larkin::cli {
namespace {

constexpr int kUsage = 2;
// The writes of boot go through larkin-writer, started through pkexec.
bool elevated = false;

constexpr char kHelp[] =
    "usage: larkin-cli [--machine FILE] COMMAND [OPTIONS]\n"
    "\n"
    "Drives the Larkin engine (Tessel) from a terminal.\n"
    "\n"
    "commands:\n"
    "  list [--json]               the USB drives, numbered from 1: letter, name, size,\n"
    "                              device path\n"
    "  boot DRIVE --image NAME     make DRIVE (E:) bootable and copy the boot image NAME\n"
    "                              of File_Images onto it, after its agreement\n"
    "  boot DRIVE --from-floppy    make DRIVE bootable; the engine copies A:'s files\n"
    "  boot DRIVE --floppy-image FILE\n"
    "                              the same from a floppy image file (.img, .ima: 160 KB\n"
    "                              to 2.88 MB) shown as drive A:; never written\n"
    "  boot DRIVE DRIVE... (--image NAME | --from-floppy | --floppy-image FILE) [--json]\n"
    "                              make several drives at once, each in a process of its\n"
    "                              own, after one question naming them all; a line per\n"
    "                              drive shows its step, and the end its status and reason\n"
    "  zero                        clear the first 4,096 bytes of the drive plugged in next\n"
    "  partition [--via-corvid]    give the drive plugged in next one FAT32 partition\n"
    "                              (zero and partition take only drives whose name begins\n"
    "                              with QM, as the engine does; they work on one drive, the\n"
    "                              one plugged in next, so they take no list of drives)\n"
    "  write-image [DRIVE] [--save FILE] [--image FILE]\n"
    "                              save DRIVE's sector 0 to FILE and write the raw FAT12\n"
    "                              boot image; what is not given is asked on the console\n"
    "  restore-mbr [DRIVE] [--save FILE]\n"
    "                              write a saved sector 0 back onto DRIVE\n"
    "  verify DRIVE                check DRIVE is what boot leaves, check by check\n"
    "\n"
    "DRIVE is a drive letter, with or without its colon (E: or e); verify also takes\n"
    "the number list shows.\n"
    "\n"
    "options:\n"
    "  --machine FILE   the simulated machine (default: LARKIN_MACHINE)\n"
    "  --yes            answer yes to the erase confirmation and accept the image's\n"
    "                   agreement (for scripts)\n"
    "  --images DIR     the File_Images folder (default: beside this program)\n"
    "  --keep-floppy-paths\n"
    "                   boot from a floppy: leave CONFIG.SYS and AUTOEXEC.BAT on the\n"
    "                   drive as the floppy has them (otherwise what names A: is\n"
    "                   pointed at C:, the drive's own letter when it boots, and the\n"
    "                   originals are kept as CONFIG.ORG and AUTOEXEC.ORG)\n"
    "  --timeout SEC    how long zero and partition wait for the new drive (120)\n"
    "  --json           list: the drives as JSON; boot: one JSON object per line and\n"
    "                   event (needs --yes)\n"
    "  --no-elevate     without root on this computer's drives, refuse to write rather\n"
    "                   than write through pkexec (boot through larkin-writer, the\n"
    "                   other writing commands by running larkin-cli itself)\n"
    "  --help           this text\n"
    "\n"
    "exit codes: 0 done; 1 a drive was removed since the baseline; 2 no new drive, or a\n"
    "usage error; 3 the new drive got no letter; 4 the partition table could not be\n"
    "written; 5 the new drive is not a supported model; 6 any other failure, and a\n"
    "question answered no or q. With several drives: 0 when every drive was made, else\n"
    "the highest status of those that failed; 2 when a drive is named twice.\n";

struct Options {
    std::string command;
    std::vector<std::string> positional;
    bool json = false;
    bool yes = false;
    bool fromFloppy = false;
    bool viaCorvid = false;
    bool keepFloppyPaths = false;
    std::optional<std::string> image;
    std::optional<std::string> floppyImage;
    std::optional<std::string> save;
    std::optional<std::string> machine;
    std::optional<std::string> images;
    int timeoutSeconds = 120;
    bool noElevate = false;
    std::vector<std::string> arguments;  // as given, for running again through pkexec
    // A child of the multi-drive boot: where its events go, and the drive
    // (device path) the question named.
    int progressFd = -1;
    std::optional<std::string> drivePath;
};

int Usage(const std::string& problem) {
    std::fprintf(stderr, "larkin-cli: %s\n(larkin-cli --help lists the commands)\n",
                 problem.c_str());
    return kUsage;
}

std::filesystem::path ProgramFolder() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::current_path() : self.parent_path();
}

const char* StatusText(int status) {
    switch (status) {
        case 0:
            return "done";
        case 1:
            return "a USB drive was removed since the baseline";
        case 2:
            return "no new USB drive was found";
        case 3:
            return "the new drive got no drive letter in time";
        case 4:
            return "the partition table could not be written";
        case 5:
            return "the new drive is not a supported model (its name must begin with QM)";
        default:
            return "the operation failed (see the lines above)";
    }
}

// For 6, the console of the engine call when it was watched: the engine
// stops without a word on q, and some operations fail without one.
std::string FailureText(int status, const ConsoleWatch* watch, const char* silentFailure) {
    if (status != 6 || watch == nullptr) return StatusText(status);
    char answer = AsciiLower(watch->SilentAnswer());
    if (answer == 'q' || answer == 'n')
        return std::string("you answered ") + answer + "; nothing was written to the drive";
    if (!watch->Spoke()) return std::string("the operation failed: ") + silentFailure;
    return StatusText(status);
}

int Report(const char* what, int status, const ConsoleWatch* watch = nullptr,
           const char* silentFailure = "the engine gave no reason") {
    if (watch != nullptr && watch->MidLine()) std::printf("\n");
    std::fflush(stdout);
    if (status == 0) {
        std::printf("larkin-cli: %s: done\n", what);
    } else {
        std::fprintf(stderr, "larkin-cli: %s: %s (status %d)\n", what,
                     FailureText(status, watch, silentFailure).c_str(), status);
    }
    std::fflush(stdout);
    return status;
}

int List(const Engine& engine, const Options& options) {
    std::vector<Drive> drives = ListDrives(engine);
    if (options.json) {
        std::printf("{\"drives\": [");
        for (std::size_t i = 0; i < drives.size(); ++i) {
            const Drive& d = drives[i];
            // number: what list shows and verify takes; index: the engine's row.
            std::printf(
                "%s\n  {\"number\": %d, \"index\": %d, \"mount\": %s, "
                "\"friendly_name\": %s, ",
                i == 0 ? "" : ",", d.index + 1, d.index, JsonString(d.mount).c_str(),
                JsonString(d.friendlyName).c_str());
            if (d.sizeKnown) {
                std::printf("\"size_bytes\": %llu, ", static_cast<unsigned long long>(d.sizeBytes));
            } else {
                std::printf("\"size_bytes\": null, ");
            }
            std::string refused = DriveRefusal(d);
            std::printf("\"path\": %s, \"refused\": %s}", JsonString(d.path).c_str(),
                        refused.empty() ? "null" : JsonString(refused).c_str());
        }
        std::printf("%s]}\n", drives.empty() ? "" : "\n");
        return 0;
    }
    if (drives.empty()) {
        std::printf("No USB drives found.\n");
        return 0;
    }
    // Drives the platform will not write say why here, not after a question;
    // a reason every drive shares (no privileges) was said once already.
    char everyDrive[512] = "";
    LarkinDrivesWritable(everyDrive, sizeof everyDrive);
    for (const Drive& d : drives) {
        std::printf("%d  %s\n   %s\n", d.index + 1, DescribeDrive(d).c_str(), d.path.c_str());
        std::string refused = DriveRefusal(d);
        if (!refused.empty() && refused != everyDrive)
            std::printf("   not writable: %s\n", refused.c_str());
    }
    return 0;
}

// The drive named on the line, or an exit code.
std::optional<Drive> NamedDrive(const Engine& engine, const Options& options, int& exitCode) {
    if (options.positional.size() != 1) {
        exitCode = Usage(options.command + " needs one drive letter, for example E:");
        return std::nullopt;
    }
    std::vector<Drive> drives = ListDrives(engine);
    const std::string& wanted = options.positional[0];
    const Drive* drive = FindDrive(drives, wanted);
    // verify also takes the number list shows: a drive whose table is
    // damaged may have lost its letter.
    if (drive == nullptr && options.command == "verify" && !wanted.empty() &&
        wanted.find_first_not_of("0123456789") == std::string::npos && wanted.size() < 4) {
        std::size_t number = std::stoul(wanted);
        if (number >= 1 && number <= drives.size()) drive = &drives[number - 1];
    }
    if (drive == nullptr) {
        // A drive another program is rewriting loses its letter for a while.
        std::string busy;
        for (const Drive& listed : drives)
            if (std::string why = DriveRefusal(listed); why.find("held by") != std::string::npos)
                busy = "; a drive without a letter now is being written: " + why +
                       "\nNothing was changed.";
        std::fprintf(stderr, "larkin-cli: no USB drive %s (larkin-cli list shows them)%s\n",
                     options.positional[0].c_str(), busy.c_str());
        exitCode = 6;
        return std::nullopt;
    }
    return *drive;
}

// Said before anything is asked: a drive the platform will not write.
int RefuseUnwritable(const Drive& drive, ProgressChannel* progress = nullptr) {
    std::string why = DriveRefusal(drive);
    if (why.empty()) return 0;
    if (progress != nullptr) progress->Reason("cannot be written: " + why);
    std::fprintf(stderr, "larkin-cli: %s cannot be written: %s\nNothing was changed.\n",
                 DescribeDrive(drive).c_str(), why.c_str());
    return 6;
}

// The drive held from here to the operation's last byte, or a refusal
// before its first.
int Hold(DriveHold& hold, const Drive& drive, const std::string& operation,
         ProgressChannel* progress = nullptr) {
    std::string why;
    if (hold.Take(drive, operation, why)) return 0;
    if (progress != nullptr) progress->Reason("cannot be held: " + why);
    std::fprintf(stderr, "larkin-cli: %s cannot be held: %s\nNothing was changed.\n",
                 DescribeDrive(drive).c_str(), why.c_str());
    return 6;
}

// A child of the multi-drive boot finds its drive by the device path the
// question named: its letter may have moved to another drive since.
std::optional<Drive> ChildDrive(const Engine& engine, const Options& options,
                                ProgressChannel& progress) {
    std::vector<Drive> drives = ListDrives(engine);
    auto named = std::find_if(drives.begin(), drives.end(),
                              [&](const Drive& d) { return d.path == *options.drivePath; });
    std::string why;
    if (named == drives.end()) {
        why = "the drive is no longer listed (was it pulled out?)";
    } else if (named->mount.empty()) {
        why = "the drive has no drive letter now";
    } else {
        return *named;
    }
    std::fprintf(stderr, "larkin-cli: %s: %s\nNothing was changed.\n",
                 options.positional[0].c_str(), why.c_str());
    progress.Reason(why);
    return std::nullopt;
}

// Why the engine failed, for the multi-drive runner: its last line, and
// whether the drive is still there.
std::string EngineFailure(const Drive& drive, const ConsoleWatch& watch) {
    std::uint64_t bytes = 0;
    bool gone = !drive.path.empty() && !DriveSize(drive.path, bytes);
    std::string said = watch.LastLine();
    if (gone)
        return "the drive went away during the work" + (said.empty() ? "" : " (" + said + ")");
    return said.empty() ? "the engine gave no reason" : said;
}

// The writing part of boot in larkin-writer, through pkexec: it holds the
// drive, checks it is still the one named, and writes; what it says is
// said here as this program says it.
int BootInHelper(const Drive& drive, const std::optional<BootImage>& image,
                 ProgressChannel& progress) {
    writer::Request request;
    request.destination = drive.mount.substr(0, drive.mount.find(';'));
    request.name = drive.friendlyName;
    request.path = drive.path;
    request.volume = writer::VolumeNameAt(request.destination);
    request.fromFloppy = !image;
    if (image) request.image = image->folder.filename().string();
    int copied = 0;
    writer::Callbacks callbacks;
    callbacks.onLine = [](std::string_view line) {
        std::printf("%.*s\n", int(line.size()), line.data());
        std::fflush(stdout);
    };
    callbacks.onStep = [&](std::string_view step) { progress.Step(step); };
    callbacks.onFile = [&](std::string_view name) {
        if (copied++ == 0) std::printf("Copying Files...\n");
        std::printf("  %.*s\n", int(name.size()), name.data());
        std::fflush(stdout);
        progress.Step("copying " + std::string(name));
    };
    writer::Outcome outcome =
        writer::RunWriter(writer::HelperBesideProgram(), true, request, callbacks);
    progress.Reason(outcome.reason);
    switch (outcome.kind) {
        case writer::OutcomeKind::Done:
            if (image) std::printf("%d file(s) copied.\n", copied);
            return Report("boot", 0);
        case writer::OutcomeKind::Refused:
        case writer::OutcomeKind::NotAuthorised:
            std::fprintf(stderr, "larkin-cli: %s cannot be written: %s\nNothing was changed.\n",
                         DescribeDrive(drive).c_str(), outcome.reason.c_str());
            return 6;
        case writer::OutcomeKind::EngineFailed:
            return Report("boot", outcome.status);
        case writer::OutcomeKind::CopyFailed:
            std::fprintf(stderr, "larkin-cli: copying %s onto %s failed: %s\n",
                         image ? image->name.c_str() : "A:", request.destination.c_str(),
                         outcome.reason.c_str());
            return 6;
        case writer::OutcomeKind::Died:
            break;
    }
    std::fprintf(stderr, "larkin-cli: boot: %s; %s\n", outcome.reason.c_str(),
                 outcome.writing ? "the drive may have been erased: make it bootable again"
                                 : "nothing was written to the drive");
    return 6;
}

// A boot floppy's CONFIG.SYS and AUTOEXEC.BAT often name A:, which the
// stick is not when it boots; the stick's copies are pointed at C:.
int PointFloppyPaths(const std::string& letter, ProgressChannel& progress) {
    std::vector<volumetools::PointedFile> pointed;
    volumetools::Outcome outcome = volumetools::PointFloppyPathsAtBootDrive(letter, &pointed);
    for (const auto& file : pointed) {
        if (file.keptExisted) {
            std::printf(
                "%s on %s names drive A:, which the drive is not when it boots, but is left as "
                "it is: %s, where the original would be kept, came with the floppy.\n",
                file.name.c_str(), letter.c_str(), file.kept.c_str());
            continue;
        }
        std::printf(
            "%s on %s named drive A:; pointed at C:, the drive's own letter when it boots (the "
            "original is kept as %s, --keep-floppy-paths leaves it):\n",
            file.name.c_str(), letter.c_str(), file.kept.c_str());
        for (const auto& line : file.lines) std::printf("    %s\n", line.c_str());
    }
    if (outcome.Ok()) return 0;
    std::fprintf(stderr,
                 "larkin-cli: %s is bootable, but its CONFIG.SYS and AUTOEXEC.BAT could not be "
                 "pointed at C:: %s\n",
                 letter.c_str(), outcome.message.c_str());
    progress.Reason("pointing CONFIG.SYS and AUTOEXEC.BAT at C: failed: " + outcome.message);
    return 6;
}

int Boot(const Engine& engine, const Options& options, ProgressChannel& progress) {
    if (options.fromFloppy == options.image.has_value())
        return Usage("boot needs either --image NAME or --from-floppy");
    if (options.positional.empty())
        return Usage("boot needs a drive letter, for example E: (or several: E: F: G:)");
    if (options.positional.size() > 1 || options.json) {
        MultiBootRequest request;
        request.drives = options.positional;
        request.image = options.image;
        if (options.floppyImage)
            request.floppyImage = std::filesystem::absolute(*options.floppyImage).string();
        request.keepFloppyPaths = options.keepFloppyPaths;
        request.imagesFolder =
            std::filesystem::absolute(options.images ? std::filesystem::path(*options.images)
                                                     : ProgramFolder() / "File_Images");
        request.yes = options.yes;
        request.json = options.json;
        request.program = ProgramFolder() / "larkin-cli";
        return BootMany(engine, request);
    }
    int exitCode = 0;
    std::optional<Drive> drive = options.drivePath ? ChildDrive(engine, options, progress)
                                                   : NamedDrive(engine, options, exitCode);
    if (!drive) return options.drivePath ? 6 : exitCode;
    progress.Step("checking the drive");
    if (drive->mount.find(';') != std::string::npos)
        std::printf("Note: %s holds several volumes; the engine works on the whole drive.\n",
                    drive->mount.c_str());

    std::optional<BootImage> image;
    if (options.image) {
        std::filesystem::path folder = options.images ? std::filesystem::path(*options.images)
                                                      : ProgramFolder() / "File_Images";
        std::string why;
        std::vector<std::string> problems;
        image = FindImage(folder, *options.image, why, &problems);
        if (!image) {
            for (const std::string& problem : problems)
                std::fprintf(stderr, "larkin-cli: %s\n", problem.c_str());
            std::fprintf(stderr, "larkin-cli: %s\n", why.c_str());
            progress.Reason(why);
            return 6;
        }
        if (!image->holdsKernel) {
            std::fprintf(stderr,
                         "larkin-cli: the boot image %s in %s has no %s, which the drive needs "
                         "to start; nothing was changed\n",
                         image->name.c_str(), image->folder.string().c_str(),
                         larkin::frontend::kKernelFile);
            progress.Reason("the boot image " + image->name + " has no " +
                            larkin::frontend::kKernelFile);
            return 6;
        }
    }
    // Every check of the source before the drive is touched, and before the
    // user is asked: a drive erased for files that cannot go on it is lost
    // for nothing.
    // A drive another operation holds is said so first: its volume may be
    // locked by that operation, and reading it would only say access denied.
    if (int refused = RefuseUnwritable(*drive, &progress); refused != 0) return refused;
    std::string letter = drive->mount.substr(0, drive->mount.find(';'));
    volumetools::BootVolume volume;
    volumetools::Outcome usable = volumetools::PlanBootVolumeOf(letter, &volume);
    if (!usable.Ok()) {
        // Another operation may have taken the drive since.
        if (int refused = RefuseUnwritable(*drive, &progress); refused != 0) return refused;
        std::fprintf(stderr, "larkin-cli: %s cannot be made bootable: %s\nNothing was changed.\n",
                     letter.c_str(), usable.message.c_str());
        progress.Reason(usable.message);
        return 6;
    }
    usable = volumetools::CheckBootFiles(image ? image->folder.string() : "A:", volume,
                                         options.fromFloppy);
    if (!usable.Ok()) {
        if (image) {
            std::fprintf(stderr, "larkin-cli: the boot image %s cannot make %s bootable: %s\n",
                         image->name.c_str(), letter.c_str(), usable.message.c_str());
        } else {
            std::fprintf(stderr, "larkin-cli: the floppy in A: cannot make %s bootable: %s\n",
                         letter.c_str(), usable.message.c_str());
        }
        std::printf("Nothing was changed.\n");
        progress.Reason(usable.message);
        return 6;
    }
    if (!Confirm("This erases everything on " + DescribeDrive(*drive) + ". Go on?", options.yes)) {
        std::printf("Nothing was changed.\n");
        return 6;
    }
    if (image) {
        if (int declined = AcceptAgreement(*image, options.yes); declined != 0) {
            progress.Reason("the agreement of " + image->name + " was not accepted");
            return declined;
        }
    }
    if (elevated) return BootInHelper(*drive, image, progress);
    DriveHold hold;
    if (int refused = Hold(hold, *drive, "larkin-cli boot " + drive->mount, &progress);
        refused != 0)
        return refused;
    progress.Step(options.fromFloppy ? "partitioning, formatting, copying A:'s files"
                                     : "partitioning and formatting");
    // The runner hears the engine's step and, on failure, its last line.
    std::optional<ConsoleWatch> watch;
    if (progress.Active())
        watch.emplace([&](const std::string& line) {
            if (line.find("Copying Boot Files") != std::string::npos)
                progress.Step("copying A:'s files");
        });
    // The engine finds the drive's row by any one of its letters, and formats
    // and writes the volume of the letter it is given: the first.
    int status = engine.createUSBBoot(letter.c_str(), "A:", options.fromFloppy ? 1 : 0);
    if (watch) {
        watch->Stop();
        if (status != 0) progress.Reason(EngineFailure(*drive, *watch));
    }
    if (status != 0) return Report("boot", status);
    if (!image) {
        if (options.keepFloppyPaths) return Report("boot", 0);
        progress.Step("pointing A: at C: in CONFIG.SYS and AUTOEXEC.BAT");
        return Report("boot", PointFloppyPaths(letter, progress));
    }

    std::printf("Copying Files...\n");
    std::fflush(stdout);
    int copied = 0;
    volumetools::Outcome outcome = volumetools::CopyFolderFiles(
        image->folder.string(), letter,
        [&](std::string_view name) {
            std::printf("  %.*s\n", int(name.size()), name.data());
            progress.Step("copying " + std::string(name));
        },
        &copied);
    if (!outcome.Ok()) {
        std::fprintf(stderr, "larkin-cli: copying %s onto %s failed: %s\n", image->name.c_str(),
                     letter.c_str(), outcome.message.c_str());
        std::uint64_t bytes = 0;
        bool gone = !drive->path.empty() && !DriveSize(drive->path, bytes);
        progress.Reason((gone ? "the drive went away while copying: " : "copying failed: ") +
                        outcome.message);
        return 6;
    }
    std::printf("%d file(s) copied.\n", copied);
    return Report("boot", 0);
}

void PrintProgress(const char* text) {
    std::printf("%s", text);
    std::fflush(stdout);
}

// zero and partition: the baseline, the user plugs the drive in, the
// host waits for it and names it, then the engine works on it.
int NewDriveOperation(const Engine& engine, const Options& options) {
    if (!options.positional.empty())
        return Usage(options.command + " works on the drive plugged in next and takes no drive");
    bool zero = options.command == "zero";
    if (zero && options.viaCorvid) return Usage("--via-corvid is for partition only");
    if (options.viaCorvid) {
        engine.enumUSBDevicesCVD();
    } else {
        engine.enumUSBDevices();
    }
    std::set<std::string> known;
    for (const Drive& drive : ListDrives(engine)) known.insert(drive.path);

    std::printf(
        "Plug in the USB drive to %s now; its name must begin with QM (waiting up to "
        "%d s)...\n",
        zero ? "clear" : "partition", options.timeoutSeconds);
    std::fflush(stdout);
    std::optional<Drive> found;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    while (!found && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (const Drive& drive : ListDrives(engine))
            if (!known.count(drive.path)) {
                found = drive;
                break;
            }
    }
    if (!found) {
        std::fprintf(stderr, "larkin-cli: no new USB drive was plugged in within %d s\n",
                     options.timeoutSeconds);
        return 2;
    }
    std::printf("New drive: %s\n", DescribeDrive(*found).c_str());
    // The engine would refuse it only after the question.
    if (!SupportedModel(*found)) return Report(options.command.c_str(), 5);
    if (int refused = RefuseUnwritable(*found); refused != 0) return refused;
    std::string what = zero ? "This clears the partition table of " : "This erases everything on ";
    if (!Confirm(what + DescribeDrive(*found) + ". Go on?", options.yes)) {
        std::printf("Nothing was changed.\n");
        return 6;
    }
    DriveHold hold;
    if (int refused = Hold(hold, *found, "larkin-cli " + options.command); refused != 0)
        return refused;
    int status = 0;
    ConsoleWatch watch;
    if (zero) {
        status = engine.zeroPartitionInfo();
    } else if (options.viaCorvid) {
        status = engine.createPartitionCVD();
    } else {
        engine.setCallBackFunc(PrintProgress);
        status = engine.createPartition();
        engine.setCallBackFunc(nullptr);
    }
    watch.Stop();
    return Report(options.command.c_str(), status, &watch,
                  zero ? "the new drive could not be opened or cleared"
                       : "the new drive could not be opened, partitioned or formatted");
}

const char* Given(const std::optional<std::string>& value) {
    return value ? value->c_str() : nullptr;
}

// A drive named on the line is held before the engine's dialogue; one the
// dialogue asks for is kept by the platform from other programs' holds
// while it is written.
int HoldNamed(const Engine& engine, DriveHold& hold, const char* letter,
              const std::string& operation) {
    if (letter == nullptr) return 0;
    std::vector<Drive> drives = ListDrives(engine);
    const Drive* drive = FindDrive(drives, letter);
    if (drive == nullptr) return 0;  // the engine says what is wrong with the name
    if (int refused = RefuseUnwritable(*drive); refused != 0) return refused;
    return Hold(hold, *drive, operation + " " + drive->mount);
}

// The engine asks for the sectors per track when the drive does not tell
// its true geometry. The partition starts one reported track in, but 0 puts
// 32 in the boot sector of a drive up to 256,000,000 bytes: on a drive whose
// tracks are longer the stick does not start. The drive's own count always
// agrees, so that is what the hint gives.
void PrintSectorsPerTrackHint(const Engine& engine, const char* named) {
    std::vector<Drive> drives = ListDrives(engine);
    if (named != nullptr) {
        const Drive* drive = FindDrive(drives, named);
        if (drive == nullptr || drive->sectorsPerTrack == 0) return;
        std::uint32_t own = drive->sectorsPerTrack;
        std::printf(
            "If asked for the Sectors Per Track, answer %u, %s's own: the boot partition "
            "starts %u sectors in and its boot sector must say so.\n",
            own, named, own);
        if (larkin::templates::DosSectorsPerTrackField(own, false, drive->sizeBytes) != own)
            std::printf(
                "(0 would write 32 into the boot sector of this drive, which then would "
                "not start.)\n");
        return;
    }
    std::string counts;
    for (const Drive& drive : drives)
        if (drive.sectorsPerTrack != 0)
            counts += "  " + drive.friendlyName + " [" + drive.mount +
                      "]: " + std::to_string(drive.sectorsPerTrack) + "\n";
    if (!counts.empty())
        std::printf(
            "If asked for the Sectors Per Track, answer the chosen drive's own, so that "
            "its boot sector says where its boot partition starts:\n%s",
            counts.c_str());
}

int WriteImage(const Engine& engine, const Options& options) {
    if (options.positional.size() > 1) return Usage("write-image takes at most one drive");
    const char* drive = options.positional.empty() ? nullptr : options.positional[0].c_str();
    // The engine looks for its default image in the current folder; the
    // one built beside this program serves when there is none there.
    std::optional<std::string> image = options.image;
    std::filesystem::path beside = ProgramFolder() / "VeltraneUSB4MB.dat";
    if (!image && !std::filesystem::exists("VeltraneUSB4MB.dat") &&
        std::filesystem::exists(beside)) {
        image = beside.string();
        std::printf("Using the default image beside larkin-cli: %s\n", image->c_str());
    }
    DriveHold hold;
    if (int refused = HoldNamed(engine, hold, drive, "larkin-cli write-image"); refused != 0)
        return refused;
    PrintSectorsPerTrackHint(engine, drive);
    ConsoleWatch watch;
    int status = engine.copyUSBBootImage(Given(options.save), drive, Given(image));
    watch.Stop();
    return Report("write-image", status, &watch);
}

int RestoreMbr(const Engine& engine, const Options& options) {
    if (options.positional.size() > 1) return Usage("restore-mbr takes at most one drive");
    const char* drive = options.positional.empty() ? nullptr : options.positional[0].c_str();
    DriveHold hold;
    if (int refused = HoldNamed(engine, hold, drive, "larkin-cli restore-mbr"); refused != 0)
        return refused;
    ConsoleWatch watch;
    int status = engine.copyUSBMBRImage(Given(options.save), drive);
    watch.Stop();
    return Report("restore-mbr", status, &watch);
}

int Verify(const Engine& engine, const Options& options) {
    int exitCode = 0;
    std::optional<Drive> drive = NamedDrive(engine, options, exitCode);
    if (!drive) return exitCode;
    std::printf("Checking %s\n", DescribeDrive(*drive).c_str());
    bool all = true;
    for (const Check& check : VerifyDrive(*drive)) {
        std::printf("  %-4s  %s%s%s\n", check.passed ? "ok" : "FAIL", check.name.c_str(),
                    check.detail.empty() ? "" : ": ", check.detail.c_str());
        all = all && check.passed;
    }
    std::printf(all ? "The drive is as the make-bootable flow leaves it.\n"
                    : "The drive is not as the make-bootable flow leaves it.\n");
    return all ? 0 : 6;
}

// Parses the line; an exit code when it is not usable.
std::optional<int> Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::optional<std::string>& into) -> bool {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::printf("%s", kHelp);
            return 0;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--yes" || arg == "-y") {
            options.yes = true;
        } else if (arg == "--from-floppy") {
            options.fromFloppy = true;
        } else if (arg == "--via-corvid") {
            options.viaCorvid = true;
        } else if (arg == "--no-elevate") {
            options.noElevate = true;
        } else if (arg == "--keep-floppy-paths") {
            options.keepFloppyPaths = true;
        } else if (arg == "--image" || arg == "--save" || arg == "--machine" || arg == "--images" ||
                   arg == "--timeout" || arg == "--progress-fd" || arg == "--drive-path" ||
                   arg == "--floppy-image") {
            std::optional<std::string> text;
            if (!value(text)) return Usage(arg + " needs a value");
            if (arg == "--image") options.image = text;
            if (arg == "--save") options.save = text;
            if (arg == "--machine") options.machine = text;
            if (arg == "--images") options.images = text;
            if (arg == "--drive-path") options.drivePath = text;
            if (arg == "--floppy-image") {
                options.floppyImage = text;
                options.fromFloppy = true;
            }
            if (arg == "--progress-fd") {
                char* end = nullptr;
                long fd = std::strtol(text->c_str(), &end, 10);
                if (*end != '\0' || fd < 3 || fd > 1023)
                    return Usage("--progress-fd needs a descriptor from 3 to 1023");
                options.progressFd = static_cast<int>(fd);
            }
            if (arg == "--timeout") {
                char* end = nullptr;
                long seconds = std::strtol(text->c_str(), &end, 10);
                if (*end != '\0' || seconds < 1 || seconds > 86400)
                    return Usage("--timeout needs a number of seconds from 1 to 86400");
                options.timeoutSeconds = static_cast<int>(seconds);
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else if (options.command.empty()) {
            options.command = arg;
        } else {
            options.positional.push_back(DriveArgument(arg));
        }
    }
    if (options.command.empty()) return Usage("no command given");
    const std::set<std::string> commands = {"list",        "boot",        "zero",  "partition",
                                            "write-image", "restore-mbr", "verify"};
    if (!commands.count(options.command)) return Usage("unknown command " + options.command);
    if (options.json && options.command != "list" && options.command != "boot")
        return Usage("--json is for list and boot only");
    if (options.json && options.command == "boot" && !options.yes)
        return Usage(
            "boot --json needs --yes: its output is JSON lines, with no room for questions");
    bool child = options.progressFd >= 0 || options.drivePath;
    if (child && (options.command != "boot" || options.positional.size() != 1 || options.json ||
                  options.progressFd < 0 || !options.yes))
        return Usage("--progress-fd and --drive-path are for the processes boot starts itself");
    if (options.viaCorvid && options.command != "partition")
        return Usage("--via-corvid is for partition only");
    if (options.floppyImage && options.image)
        return Usage("boot takes either --image NAME or --floppy-image FILE");
    if ((options.floppyImage || options.keepFloppyPaths) && options.command != "boot")
        return Usage("--floppy-image and --keep-floppy-paths are for boot only");
    if (options.keepFloppyPaths && !options.fromFloppy)
        return Usage("--keep-floppy-paths is for a boot from a floppy");
    if (options.command == "list" && !options.positional.empty())
        return Usage("list takes no drive");
    return std::nullopt;
}

// zero, partition, write-image and restore-mbr talk with the user on the
// console from start to end: without root, this program runs them again
// through pkexec (its default action, which asks for an administrator each
// time), on the same console, without elevating once more.
int RunThroughPkexec(const Options& options) {
    std::vector<std::string> words = {"pkexec", (ProgramFolder() / "larkin-cli").string(),
                                      "--no-elevate"};
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = -1;
    if (int error = posix_spawnp(&pid, "pkexec", nullptr, nullptr, argv.data(), environ);
        error != 0) {
        std::fprintf(stderr, "larkin-cli: pkexec cannot be started (%s); nothing was written\n",
                     std::strerror(error));
        return 6;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 6;
    // pkexec's own: not authorised, or its dialogue dismissed.
    if (code == 126 || code == 127) {
        std::fprintf(stderr, "larkin-cli: %s: writing was not authorised; nothing was written\n",
                     options.command.c_str());
        return 6;
    }
    return code;
}

int Run(const Options& options, ProgressChannel& progress) {
    std::string machine;
    if (options.machine) {
        machine = std::filesystem::absolute(*options.machine).string();
        // Children (cmd, the tools) find the machine through the environment.
        ::setenv("LARKIN_MACHINE", machine.c_str(), 1);
    }
    char error[512] = "";
    if (std::string refused = writer::PkexecEnvironmentRefusal();
        !refused.empty() || (options.machine && std::getenv("PKEXEC_UID"))) {
        if (refused.empty())
            refused =
                "--machine is not honoured when writing with privileges (started through pkexec)";
        std::fprintf(stderr, "larkin-cli: %s\n", refused.c_str());
        return 6;
    }
    if (!LarkinStartPlatform(options.machine ? machine.c_str() : nullptr, error, sizeof error)) {
        std::fprintf(stderr, "larkin-cli: %s\n", error);
        progress.Reason(error);
        return options.machine ? kUsage : 6;
    }
    if (options.floppyImage) {
        char why[1024] = "";
        if (LarkinUseFloppyImage(options.floppyImage->c_str(), why, sizeof why) != ERROR_SUCCESS) {
            std::fprintf(stderr, "larkin-cli: %s\nNothing was changed.\n", why);
            progress.Reason(why);
            return 6;
        }
    }
    // Said before anything is asked, rather than as a failure at the end.
    if (!LarkinDrivesWritable(error, sizeof error)) {
        bool reads = options.command == "list" || options.command == "verify";
        bool elevate = !reads && !options.noElevate && writer::NeedsElevation();
        if (elevate && options.command == "boot" && options.floppyImage) {
            // The writer started through pkexec takes image folders of its
            // own catalogue only, never a file of the user's.
            const char* why = "a floppy image file is used only when larkin-cli runs as root";
            std::fprintf(stderr, "larkin-cli: %s (sudo)\nNothing was changed.\n", why);
            progress.Reason(why);
            return 6;
        } else if (elevate && options.command == "boot") {
            // Written by larkin-writer, started through pkexec after the
            // questions: the want of root is no refusal here.
            WaiveRefusal(error);
            elevated = true;
        } else if (elevate) {
            return RunThroughPkexec(options);
        } else {
            std::fprintf(stderr, "larkin-cli: %s%s\n", error,
                         reads ? " (drives are only read)" : "");
            progress.Reason(error);
            if (!reads) return 6;
        }
    }
    // A child of the multi-drive boot looks at its own drive alone: it can
    // reach no other, and the others need not be read.
    if (options.drivePath && !LarkinSeeOnlyDrive(options.drivePath->c_str())) {
        const char* gone = "the drive is no longer listed (was it pulled out?)";
        std::fprintf(stderr, "larkin-cli: %s: %s\nNothing was changed.\n",
                     options.positional[0].c_str(), gone);
        progress.Reason(gone);
        return 6;
    }
    Engine engine;
    std::string why;
    if (!LoadEngine(engine, why)) {
        std::fprintf(stderr, "larkin-cli: %s\n", why.c_str());
        progress.Reason(why);
        return 6;
    }
    const std::string& c = options.command;
    if (c == "list") return List(engine, options);
    if (c == "boot") return Boot(engine, options, progress);
    if (c == "zero" || c == "partition") return NewDriveOperation(engine, options);
    if (c == "write-image") return WriteImage(engine, options);
    if (c == "restore-mbr") return RestoreMbr(engine, options);
    return Verify(engine, options);
}

int Run(int argc, char** argv) {
    Options options;
    if (std::optional<int> exitCode = Parse(argc, argv, options)) return *exitCode;
    options.arguments.assign(argv + 1, argv + argc);
    ProgressChannel progress(options.progressFd);
    int status = Run(options, progress);
    if (status != 0) progress.Reason(status == 6 ? "the operation failed" : StatusText(status));
    progress.End(status);
    return status;
}

}  // namespace
}  // namespace larkin::cli

int main(int argc, char** argv) {
    return larkin::cli::Run(argc, argv);
}
