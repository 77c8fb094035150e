#include "multi_boot.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "child_process.h"
#include "drive_events.h"
#include "drives.h"
#include "image_folder.h"

namespace larkin::cli {
namespace {

constexpr std::size_t kOutputKept = 4096;  // of each child's own output

enum class State { waiting, running, done, failed };

struct DriveRun {
    Drive drive;
    std::string letter;  // the one named on the line
    State state = State::waiting;
    std::string step;
    int status = 0;
    std::string reason;
    bool ended = false;  // its end event came
    ChildProcess child;
    std::string events;  // a line not yet ended
    std::string output;  // the tail of what it printed
};

enum class View { terminal, plain, json };

std::string JsonOrNull(const std::string& text) {
    return text.empty() ? "null" : JsonString(text);
}

class Board {
  public:
    Board(std::vector<std::unique_ptr<DriveRun>>& runs, View view) : runs_(runs), view_(view) {}

    void Started(DriveRun& run) {
        run.state = State::running;
        run.step = "started";
        if (view_ == View::json) {
            std::printf(
                "{\"event\": \"start\", \"drive\": %s, \"friendly_name\": %s, \"path\": %s}\n",
                JsonString(run.letter).c_str(), JsonString(run.drive.friendlyName).c_str(),
                JsonString(run.drive.path).c_str());
        } else if (view_ == View::plain) {
            std::printf("%s started\n", run.letter.c_str());
        }
        Changed();
    }

    void Step(DriveRun& run, const std::string& step) {
        run.step = step;
        if (view_ == View::json) {
            std::printf("{\"event\": \"step\", \"drive\": %s, \"step\": %s}\n",
                        JsonString(run.letter).c_str(), JsonString(step).c_str());
        } else if (view_ == View::plain) {
            std::printf("%s %s\n", run.letter.c_str(), step.c_str());
        }
        Changed();
    }

    void Ended(DriveRun& run, int status, const std::string& reason) {
        run.state = status == 0 ? State::done : State::failed;
        run.status = status;
        run.reason = reason;
        if (view_ == View::json) {
            std::printf("{\"event\": \"end\", \"drive\": %s, \"status\": %d, \"reason\": %s}\n",
                        JsonString(run.letter).c_str(), status, JsonOrNull(reason).c_str());
        } else if (view_ == View::plain) {
            std::printf("%s\n", Result(run).c_str());
        }
        Changed();
    }

    // The lines of the live view, or the results in their place.
    void Draw(bool final) {
        if (view_ != View::terminal) return;
        int width = 0;
        winsize size{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) width = size.ws_col;
        // Back to the first line of the view; lines never wrap, so each
        // drive keeps one line however long its step.
        if (drawn_ > 0) std::printf("\x1b[%dA", drawn_);
        for (const auto& run : runs_) {
            std::string line = final ? Result(*run) : Live(*run);
            if (width > 1 && static_cast<int>(line.size()) >= width)
                line.resize(static_cast<std::size_t>(width - 1));
            std::printf("\r\x1b[2K%s\n", line.c_str());
        }
        drawn_ = static_cast<int>(runs_.size());
        std::fflush(stdout);
    }

    static std::string Result(const DriveRun& run) {
        std::string head = run.letter + " " + run.drive.friendlyName + ": ";
        if (run.state == State::done) return head + "done";
        return head + "failed (status " + std::to_string(run.status) + ")" +
               (run.reason.empty() ? "" : ": " + run.reason);
    }

  private:
    static std::string Live(const DriveRun& run) {
        switch (run.state) {
            case State::waiting:
                return run.letter + " " + run.drive.friendlyName + ": waiting";
            case State::running:
                return run.letter + " " + run.drive.friendlyName + ": " + run.step;
            default:
                return Result(run);
        }
    }

    void Changed() {
        if (view_ == View::terminal) {
            Draw(false);
        } else {
            std::fflush(stdout);
        }
    }

    std::vector<std::unique_ptr<DriveRun>>& runs_;
    View view_;
    int drawn_ = 0;
};

// The last line of text that is not blank.
std::string LastLine(std::string_view text) {
    while (!text.empty()) {
        std::size_t end = text.find_last_not_of(" \t\r\n");
        if (end == std::string_view::npos) return {};
        text = text.substr(0, end + 1);
        std::size_t start = text.find_last_of('\n');
        std::string_view line = text.substr(start == std::string_view::npos ? 0 : start + 1);
        std::size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string_view::npos) return std::string(line.substr(first));
        text = text.substr(0, start == std::string_view::npos ? 0 : start);
    }
    return {};
}

// Reads what a child wrote; false at its end.
bool Drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        into.append(buffer, static_cast<std::size_t>(got));
        return true;
    }
}

void TakeEvents(Board& board, DriveRun& run) {
    for (std::size_t end; (end = run.events.find('\n')) != std::string::npos;) {
        std::string line = run.events.substr(0, end);
        run.events.erase(0, end + 1);
        std::optional<DriveEvent> event = ParseDriveEvent(line);
        if (!event || run.ended) continue;
        if (event->end) {
            run.ended = true;
            board.Ended(run, event->status, event->reason);
        } else {
            board.Step(run, event->step);
        }
    }
}

// Every child to its end, the view kept up to date.
void Follow(Board& board, std::vector<std::unique_ptr<DriveRun>>& runs) {
    for (;;) {
        std::vector<pollfd> watched;
        std::vector<std::pair<DriveRun*, bool>> owners;  // the run, and whether it is events
        for (auto& run : runs) {
            if (run->child.Events() >= 0) {
                watched.push_back({run->child.Events(), POLLIN, 0});
                owners.emplace_back(run.get(), true);
            }
            if (run->child.Output() >= 0) {
                watched.push_back({run->child.Output(), POLLIN, 0});
                owners.emplace_back(run.get(), false);
            }
        }
        if (watched.empty()) return;
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].revents == 0) continue;
            DriveRun& run = *owners[i].first;
            if (owners[i].second) {
                if (!Drain(watched[i].fd, run.events)) run.child.CloseEvents();
                TakeEvents(board, run);
            } else {
                if (!Drain(watched[i].fd, run.output)) run.child.CloseOutput();
                if (run.output.size() > 2 * kOutputKept)
                    run.output.erase(0, run.output.size() - kOutputKept);
            }
        }
    }
}

// A child that ended without saying how: its exit code and last words.
void EndedSilently(Board& board, DriveRun& run, int exitCode) {
    std::string said = LastLine(run.output);
    if (exitCode < 0) {
        const char* name = sigabbrev_np(-exitCode);
        board.Ended(run, 6,
                    "larkin-cli stopped by signal " + std::string(name ? name : "?") +
                        (said.empty() ? "" : " after: " + said));
        return;
    }
    board.Ended(run, exitCode == 0 ? 6 : exitCode,
                said.empty() ? "larkin-cli ended without a word" : said);
}

std::string DriveKey(const Drive& drive) {
    return drive.path.empty() ? drive.mount : drive.path;
}

}  // namespace

int BootMany(const Engine& engine, const MultiBootRequest& request) {
    View view = request.json ? View::json
                : ::isatty(STDOUT_FILENO) != 0 && std::getenv("TERM") != nullptr &&
                        std::strcmp(std::getenv("TERM"), "dumb") != 0
                    ? View::terminal
                    : View::plain;
    std::vector<Drive> listed = ListDrives(engine);
    std::vector<std::unique_ptr<DriveRun>> runs;
    for (const std::string& letter : request.drives) {
        const Drive* drive = FindDrive(listed, letter);
        if (drive == nullptr) {
            std::fprintf(stderr,
                         "larkin-cli: no USB drive %s (larkin-cli list shows them)\nNothing was "
                         "changed.\n",
                         letter.c_str());
            return 6;
        }
        // Two processes on one disk would undo each other's work.
        for (const auto& earlier : runs)
            if (DriveKey(earlier->drive) == DriveKey(*drive)) {
                std::fprintf(stderr,
                             "larkin-cli: %s and %s are one drive (%s); name each drive once\n"
                             "Nothing was changed.\n",
                             earlier->letter.c_str(), letter.c_str(), drive->friendlyName.c_str());
                return 2;
            }
        auto run = std::make_unique<DriveRun>();
        run->drive = *drive;
        run->letter = letter;
        runs.push_back(std::move(run));
    }
    std::optional<BootImage> image;
    if (request.image) {
        std::string why;
        image = FindImage(request.imagesFolder, *request.image, why);
        if (!image) {
            std::fprintf(stderr, "larkin-cli: %s\n", why.c_str());
            return 6;
        }
    }

    Board board(runs, view);
    // Drives the platform will not write are said now and left out; the
    // others are asked for in one question.
    std::vector<DriveRun*> chosen;
    for (auto& run : runs) {
        std::string why = DriveRefusal(run->drive);
        if (why.empty()) {
            chosen.push_back(run.get());
            continue;
        }
        if (view != View::json)
            std::fprintf(stderr, "larkin-cli: %s cannot be written: %s (left out)\n",
                         DescribeDrive(run->drive).c_str(), why.c_str());
        run->ended = true;
        run->state = State::failed;
        run->status = 6;
        run->reason = "cannot be written: " + why;
        if (view == View::json) board.Ended(*run, 6, run->reason);
    }
    std::fflush(stderr);
    if (!chosen.empty() && view != View::json) {
        std::string question = "This erases everything on ";
        if (chosen.size() == 1) {
            question += DescribeDrive(chosen[0]->drive) + ".";
        } else {
            question += "these " + std::to_string(chosen.size()) + " drives:";
            for (const DriveRun* run : chosen) question += "\n  " + DescribeDrive(run->drive);
            question += "\n";
        }
        if (!Confirm(question + (chosen.size() == 1 ? " Go on?" : "Go on?"), request.yes)) {
            std::printf("Nothing was changed.\n");
            return 6;
        }
        if (image && AcceptAgreement(*image, request.yes) != 0) return 6;
    } else if (!chosen.empty() && image && !image->agreement.empty()) {
        // JSON: the agreement is shown as an event; --yes accepted it.
        std::string text;
        if (!AgreementText(*image, text)) {
            std::printf("{\"event\": \"error\", \"reason\": %s}\n",
                        JsonString("the agreement " + image->agreement.string() + " cannot be read")
                            .c_str());
            return 6;
        }
        std::printf("{\"event\": \"agreement\", \"image\": %s, \"text\": %s}\n",
                    JsonString(image->name).c_str(), JsonString(text).c_str());
    }

    std::vector<std::string> source;
    if (image) {
        source = {"--image", *request.image, "--images", request.imagesFolder.string()};
    } else {
        source = {"--from-floppy"};
        if (request.floppyImage)
            source.insert(source.end(), {"--floppy-image", *request.floppyImage});
        if (request.keepFloppyPaths) source.push_back("--keep-floppy-paths");
    }
    if (view == View::terminal) board.Draw(false);
    for (DriveRun* run : chosen) {
        std::vector<std::string> arguments = {"boot", run->letter, "--yes", "--progress-fd",
                                              std::to_string(ChildProcess::kEventDescriptor)};
        // Without a device path (Corvid gave none) it is found by its letter.
        if (!run->drive.path.empty())
            arguments.insert(arguments.end(), {"--drive-path", run->drive.path});
        arguments.insert(arguments.end(), source.begin(), source.end());
        std::string why;
        if (!run->child.Start(request.program.string(), arguments, why)) {
            run->ended = true;
            board.Ended(*run, 6, "larkin-cli could not be started: " + why);
            continue;
        }
        board.Started(*run);
    }
    Follow(board, runs);
    for (DriveRun* run : chosen) {
        int exitCode = run->child.Wait();
        if (!run->ended) EndedSilently(board, *run, exitCode);
    }

    int worst = 0;
    std::string failed;
    for (const auto& run : runs) {
        worst = std::max(worst, run->status);
        if (run->state == State::failed) failed += (failed.empty() ? "" : ", ") + run->letter;
    }
    std::size_t failures = static_cast<std::size_t>(std::count_if(
        runs.begin(), runs.end(), [](const auto& run) { return run->state == State::failed; }));
    if (view == View::json) {
        std::string lists[2];  // done, failed
        for (const auto& run : runs) {
            std::string& list = lists[run->state == State::done ? 0 : 1];
            list += (list.empty() ? "" : ", ") + JsonString(run->letter);
        }
        std::printf("{\"event\": \"summary\", \"status\": %d, \"done\": [%s], \"failed\": [%s]}\n",
                    worst, lists[0].c_str(), lists[1].c_str());
        std::fflush(stdout);
        return worst;
    }
    if (view == View::terminal) {
        board.Draw(true);
    } else {
        for (const auto& run : runs) std::printf("%s\n", Board::Result(*run).c_str());
    }
    std::fflush(stdout);
    if (failures == 0) {
        std::printf("larkin-cli: boot: %zu drive%s done\n", runs.size(),
                    runs.size() == 1 ? "" : "s");
    } else {
        std::fprintf(stderr, "larkin-cli: boot: %zu of %zu drives failed: %s (status %d)\n",
                     failures, runs.size(), failed.c_str(), worst);
    }
    std::fflush(stdout);
    return worst;
}

}  // namespace larkin::cli
