// larkin-writer: the one program of Larkin that writes to this computer's
// drives with privilege. The desktop program and larkin-cli run as the user
// and start it, through pkexec when they are not root. It takes one request
// on its standard input and trusts nothing in it: it lists the drives itself,
// writes only to a USB drive it lists at the letter named, showing the name
// (and device path) the host saw there, with a boot image of its own
// catalogue, after every check the platform makes; it answers with events
// on its standard output (writer_protocol.h).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "drives.h"
#include "engine_library.h"
#include "image_catalog.h"
#include "image_folder.h"
#include "larkin/platform.h"
#include "volume_name.h"
#include "volume_tools.h"
#include "writer_client.h"

namespace larkin::writer {
namespace {

// The events, whole lines each, from the main thread and the console reader.
class Channel {
  public:
    explicit Channel(int fd) : fd_(fd) {}
    void Send(const Event& event) {
        std::string line = FormatEvent(event);
        std::lock_guard lock(mutex_);
        std::string_view rest = line;
        while (!rest.empty()) {
            ssize_t put = ::write(fd_, rest.data(), rest.size());
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return;  // the host went: the work goes on regardless
            rest.remove_prefix(static_cast<std::size_t>(put));
        }
    }
    void Send(EventKind kind, std::string text = {}) { Send(Event{kind, std::move(text), 0, 0}); }

  private:
    int fd_;
    std::mutex mutex_;
};

// The process's standard output and error, and so those of the programs the
// engine starts, read line by line and sent on as console lines.
class Console {
  public:
    explicit Console(Channel& channel) : channel_(channel) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(ends[1], STDOUT_FILENO);
        ::dup2(ends[1], STDERR_FILENO);
        ::close(ends[1]);
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        reader_ = std::thread([this, input = ends[0]] { Read(input); });
    }
    ~Console() { Finish(); }
    // Gives the process standard streams that lead nowhere, and waits until
    // every program that shared the console has let it go.
    void Finish() {
        if (!reader_.joinable()) return;
        std::fflush(stdout);
        std::fflush(stderr);
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
        reader_.join();
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The last line from here on: what came before is forgotten.
    void Mark() {
        std::fflush(stdout);
        std::lock_guard lock(mutex_);
        last_.clear();
    }
    std::string LastLine() {
        std::lock_guard lock(mutex_);
        return last_;
    }

  private:
    void Read(int input) {
        std::string pending;
        char buffer[4096];
        auto line = [&](std::string_view text) {
            std::size_t first = text.find_first_not_of(" \t\r");
            if (first == std::string_view::npos) return;
            text = text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
            {
                std::lock_guard lock(mutex_);
                last_ = text;
            }
            channel_.Send(EventKind::Line, std::string(text));
        };
        for (;;) {
            ssize_t got = ::read(input, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(got));
            std::size_t start = 0;
            for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
                 start = end + 1)
                line(std::string_view(pending).substr(start, end - start));
            pending.erase(0, start);
        }
        line(pending);
        ::close(input);
    }

    Channel& channel_;
    std::thread reader_;
    std::mutex mutex_;
    std::string last_;
};

std::filesystem::path ProgramFolder() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path("/nonexistent") : self.parent_path();
}

// The request on standard input: at most one byte past the limit is read,
// so an endless input is refused rather than waited on.
std::optional<std::string> ReadRequest(std::string& why) {
    std::string text;
    char buffer[1024];
    while (text.size() <= kRequestLimit) {
        ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            why = std::string("the request cannot be read: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    why = "the request is larger than 4096 bytes";
    return std::nullopt;
}

bool SameDrive(const cli::Drive& drive, const Request& request) {
    return drive.friendlyName == request.name &&
           (request.path.empty() || drive.path == request.path);
}

class Writer {
  public:
    explicit Writer(Channel& channel) : channel_(channel) {}

    int Refuse(const std::string& why) {
        channel_.Send(EventKind::Refused, why);
        channel_.Send(Event{EventKind::End, why, 6, 0});
        return 6;
    }

    // The drive at the request's letter, when it is the one the host saw.
    std::optional<cli::Drive> Resolve(const cli::Engine& engine, const Request& request,
                                      std::string& why) {
        std::vector<cli::Drive> drives = cli::ListDrives(engine);
        const cli::Drive* drive = cli::FindDrive(drives, request.destination);
        if (drive == nullptr) {
            why = "there is no USB drive " + request.destination + " now (was it pulled out?)";
            return std::nullopt;
        }
        if (!SameDrive(*drive, request)) {
            why = "the drive at " + request.destination + " is now " + cli::DescribeDrive(*drive) +
                  ", not the drive chosen (" + request.name + ")";
            return std::nullopt;
        }
        // Root keeps drive letters in a record of its own: the same letter
        // can name another stick here, one of the same name included.
        if (!request.volume.empty() && VolumeNameAt(request.destination) != request.volume) {
            why = request.destination +
                  " names another drive here than the one chosen: this helper keeps drive "
                  "letters of its own, and they differ from the host's";
            return std::nullopt;
        }
        return *drive;
    }

    int Run(const Request& request) {
        std::string why = PkexecEnvironmentRefusal();
        if (!why.empty()) return Refuse(why);
        if (::getenv("PKEXEC_UID") != nullptr && ::chdir("/") != 0) return Refuse("cannot enter /");
        // What the platform and the engine say is console, read until the
        // programs they started are gone too.
        std::optional<Console> console;
        console.emplace(channel_);
        char error[512] = "";
        if (!LarkinStartPlatform(nullptr, error, sizeof error)) return Refuse(error);
        if (!LarkinDrivesWritable(error, sizeof error)) return Refuse(error);
        cli::Engine engine;
        if (!cli::LoadEngine(engine, why)) return Refuse(why);
        channel_.Send(EventKind::Step, "checking the drive");
        std::optional<cli::Drive> drive = Resolve(engine, request, why);
        if (!drive) return Refuse(why);
        // From here this process, and what it starts, reach that disk alone.
        if (!LarkinSeeOnlyDrive(drive->path.c_str()))
            return Refuse("the drive is no longer listed (was it pulled out?)");

        std::optional<cli::BootImage> image;
        if (!request.fromFloppy) {
            std::filesystem::path catalogue = ProgramFolder() / "File_Images";
            std::vector<std::string> problems;
            image = cli::FindImage(catalogue, request.image, why, &problems);
            std::error_code failed;
            if (image && std::filesystem::canonical(image->folder, failed).parent_path() !=
                             std::filesystem::canonical(catalogue, failed))
                return Refuse("the boot image " + request.image + " is not in the catalogue " +
                              catalogue.string());
            if (!image) return Refuse(why);
            if (!image->holdsKernel)
                return Refuse("the boot image " + image->name + " has no " +
                              std::string(frontend::kKernelFile) +
                              ", which the drive needs to start");
        }
        std::string letter = drive->mount.substr(0, drive->mount.find(';'));
        volumetools::BootVolume volume;
        volumetools::Outcome usable = volumetools::PlanBootVolumeOf(letter, &volume);
        if (usable.Ok())
            usable = volumetools::CheckBootFiles(image ? image->folder.string() : "A:", volume,
                                                 request.fromFloppy);
        if (!usable.Ok()) return Refuse(usable.message);
        if (std::string refused = cli::DriveRefusal(*drive); !refused.empty())
            return Refuse(refused);
        cli::DriveHold hold;
        if (!hold.Take(*drive, "larkin-writer, making " + letter + " bootable", why))
            return Refuse(why);
        // The last look before the first write: the same drive, still there.
        drive = Resolve(engine, request, why);
        if (!drive) return Refuse(why);

        channel_.Send(EventKind::Step, request.fromFloppy
                                           ? "partitioning, formatting, copying A:'s files"
                                           : "partitioning and formatting");
        channel_.Send(EventKind::Writing);
        console->Mark();
        int status = engine.createUSBBoot(letter.c_str(), "A:", request.fromFloppy ? 1 : 0);
        console->Finish();
        if (status != 0) {
            std::uint64_t bytes = 0;
            std::string lastLine = console->LastLine();
            std::string reason = lastLine.empty() ? "the engine gave no reason" : lastLine;
            if (!cli::DriveSize(drive->path, bytes))
                reason = "the drive went away during the work (" + reason + ")";
            channel_.Send(Event{EventKind::End, reason, status, 0});
            return status;
        }
        if (!image) {
            channel_.Send(Event{EventKind::End, {}, 0, 0});
            return 0;
        }
        int copied = 0;
        console.emplace(channel_);
        volumetools::Outcome outcome = volumetools::CopyFolderFiles(
            image->folder.string(), letter,
            [&](std::string_view name) { channel_.Send(EventKind::File, std::string(name)); },
            &copied);
        console->Finish();
        if (!outcome.Ok()) {
            channel_.Send(Event{EventKind::CopyFailed, outcome.message, 0, outcome.code});
            channel_.Send(Event{EventKind::End, outcome.message, 6, 0});
            return 6;
        }
        channel_.Send(Event{EventKind::End, {}, 0, 0});
        return 0;
    }

  private:
    Channel& channel_;
};

int Run() {
    // Events go where standard output went; the process's own standard
    // streams become the console that is read.
    int events = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (events < 0) return 6;
    Channel channel(events);
    Writer writer(channel);
    std::string why;
    std::optional<std::string> text = ReadRequest(why);
    if (!text) return writer.Refuse(why);
    std::optional<Request> request = ParseRequest(*text, why);
    if (!request) return writer.Refuse(why);
    return writer.Run(*request);
}

}  // namespace
}  // namespace larkin::writer

int main() {
    return larkin::writer::Run();
}
