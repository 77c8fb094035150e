#include "shared_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "runtime/posix.h"

namespace larkin::platform::sim {

namespace {

int64_t Stamp(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0;
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec +
           static_cast<int64_t>(info.st_ino) * 7 + info.st_size;
}

}  // namespace

SharedState::SharedState(std::string folder) : folder_(std::move(folder)) {}

const MachineState& SharedState::Current() {
    if (Stamp(folder_ + "/machine.state") != loadedStamp_) {
        FileLock lock(folder_ + "/lock", false);
        Load();
    }
    return state_;
}

std::optional<std::string> SharedState::Update(const std::function<void(MachineState&)>& change) {
    FileLock lock(folder_ + "/lock", true);
    if (!lock.Held())
        return "cannot lock the machine's state in " + folder_ + ": " + std::strerror(errno);
    Load();
    MachineState changed = state_;
    change(changed);
    if (changed == state_) return std::nullopt;
    if (auto failed = Save(changed)) return failed;
    state_ = std::move(changed);
    ++generation_;
    loadedStamp_ = Stamp(folder_ + "/machine.state");
    return std::nullopt;
}

// One line per disk: "disk <id> <present> <partitions>", the partitions as
// number:type:first:sectors joined by commas, "-" for none and "?" for a
// table not read yet.
void SharedState::Load() {
    std::string path = folder_ + "/machine.state";
    loadedStamp_ = Stamp(path);
    ++generation_;
    state_ = {};
    // A line per disk: a state file larger than this is not one.
    constexpr size_t kLargest = 16 * 1024 * 1024;
    std::istringstream in(ReadSmallFile(path, kLargest, nullptr).value_or(std::string()));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, id, parts;
        int present = 1;
        if (!(words >> kind >> id >> present >> parts) || kind != "disk") continue;
        DiskState disk;
        disk.present = present != 0;
        if (parts != "?") {
            disk.partitions.emplace();
            std::istringstream list(parts == "-" ? "" : parts);
            std::string item;
            while (std::getline(list, item, ',')) {
                PartitionExtent extent;
                unsigned number = 0, type = 0;
                unsigned long long first = 0, sectors = 0;
                if (std::sscanf(item.c_str(), "%u:%u:%llu:%llu", &number, &type, &first,
                                &sectors) == 4) {
                    extent.number = number;
                    extent.type = static_cast<uint8_t>(type);
                    extent.firstSector = first;
                    extent.sectors = sectors;
                    disk.partitions->push_back(extent);
                }
            }
        }
        state_.disks[id] = disk;
    }
}

std::optional<std::string> SharedState::Save(const MachineState& state) {
    std::ostringstream out;
    for (const auto& [id, disk] : state.disks) {
        out << "disk " << id << " " << (disk.present ? 1 : 0) << " ";
        if (!disk.partitions) {
            out << "?";
        } else if (disk.partitions->empty()) {
            out << "-";
        } else {
            bool first = true;
            for (const auto& p : *disk.partitions) {
                out << (first ? "" : ",") << p.number << ":" << unsigned(p.type) << ":"
                    << p.firstSector << ":" << p.sectors;
                first = false;
            }
        }
        out << "\n";
    }
    std::string path = folder_ + "/machine.state";
    std::string temporary = path + ".new." + std::to_string(::getpid());
    auto failed = [&](const std::string& what) {
        std::string why =
            "cannot store the machine's state in " + what + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return why;
    };
    UniqueFd fd = OpenRegularFile(temporary, O_WRONLY | O_CREAT | O_TRUNC, nullptr);
    if (!fd.Valid()) return failed(temporary);
    std::string text = out.str();
    if (!WriteWhole(fd.Get(), text) || ::fsync(fd.Get()) != 0) return failed(temporary);
    fd.Reset();
    if (std::rename(temporary.c_str(), path.c_str()) != 0) return failed(path);
    return std::nullopt;
}

}  // namespace larkin::platform::sim
