#include "drive_letters.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "runtime/posix.h"

namespace larkin::platform {

namespace {

constexpr char kFirstLetter = 'D';
constexpr char kLastLetter = 'Z';

bool Present(std::span<const std::string> keys, const std::string& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

template <class Value>
std::optional<Value> LowestFree(const std::map<std::string, Value>& given, Value first,
                                std::optional<Value> last) {
    std::set<Value> used;
    for (const auto& [key, value] : given) used.insert(value);
    for (Value value = first; !last || value <= *last; ++value)
        if (!used.count(value)) return value;
    return std::nullopt;
}

// The lowest disk number not in use, else the lowest held by an absent disk,
// which is forgotten.
std::optional<uint32_t> ClaimNumber(std::map<std::string, uint32_t>& given,
                                    std::span<const std::string> present) {
    if (auto free = LowestFree<uint32_t>(given, 1, std::nullopt)) return free;
    std::optional<std::pair<uint32_t, std::string>> oldest;
    for (const auto& [key, value] : given)
        if (!Present(present, key) && (!oldest || value < oldest->first)) oldest = {value, key};
    if (!oldest) return std::nullopt;
    given.erase(oldest->second);
    return oldest->first;
}

// The lowest letter a disk's own absent volume held, which that volume
// forgets: a disk whose partitions changed keeps its letter.
std::optional<char> OwnAbsentLetter(std::map<std::string, char>& letters,
                                    std::span<const std::string> present, const std::string& disk) {
    std::optional<std::pair<char, std::string>> lowest;
    for (const auto& [key, letter] : letters)
        if (letter != 'C' && !Present(present, key) && DiskOfVolume(key) == disk &&
            (!lowest || letter < lowest->first))
            lowest = {letter, key};
    if (!lowest) return std::nullopt;
    letters.erase(lowest->second);
    return lowest->first;
}

}  // namespace

std::string DiskOfVolume(std::string_view volume) {
    return std::string(volume.substr(0, std::min(volume.rfind(':'), volume.size())));
}

std::string FormatAssignments(const Assignments& book) {
    std::ostringstream out;
    for (const auto& [key, number] : book.diskNumbers)
        out << "disk " << number << ' ' << key << '\n';
    for (const auto& [key, letter] : book.letters) out << "letter " << letter << ' ' << key << '\n';
    return out.str();
}

Assignments ParseAssignments(std::string_view text) {
    Assignments book;
    std::set<uint32_t> numbers;
    std::set<char> letters;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind, value, key;
        if (!(fields >> kind >> value) || !std::getline(fields >> std::ws, key) || key.empty())
            continue;
        if (kind == "disk") {
            if (value.empty() || value.size() > 4 ||
                !std::all_of(value.begin(), value.end(),
                             [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            auto number = static_cast<uint32_t>(std::stoul(value));
            if (numbers.insert(number).second && !book.diskNumbers.count(key))
                book.diskNumbers[key] = number;
        } else if (kind == "letter") {
            if (value.size() != 1 || value[0] < 'C' || value[0] > kLastLetter) continue;
            if (letters.insert(value[0]).second && !book.letters.count(key))
                book.letters[key] = value[0];
        }
    }
    return book;
}

void Assign(Assignments& book, std::span<const std::string> disks,
            const std::optional<std::string>& systemDisk, std::span<const std::string> volumes,
            const std::optional<std::string>& systemVolume) {
    // The system's disk and volume first: they come to 0 and C: when free.
    if (systemDisk && !book.diskNumbers.count(*systemDisk)) {
        bool zeroFree = std::none_of(book.diskNumbers.begin(), book.diskNumbers.end(),
                                     [](const auto& entry) { return entry.second == 0; });
        if (zeroFree) book.diskNumbers[*systemDisk] = 0;
    }
    for (const auto& key : disks) {
        if (book.diskNumbers.count(key)) continue;
        if (auto number = ClaimNumber(book.diskNumbers, disks)) book.diskNumbers[key] = *number;
    }
    if (systemVolume) {
        for (auto it = book.letters.begin(); it != book.letters.end();)
            it = (it->second == 'C' && it->first != *systemVolume) ? book.letters.erase(it) : ++it;
        book.letters[*systemVolume] = 'C';
    }
    // A volume takes a letter its own disk had, else a free one; never one
    // another disk is remembered by, so that a letter always names the same
    // drive (the rest go without, as on a disk with more volumes than letters).
    for (const auto& key : volumes) {
        if (book.letters.count(key)) continue;
        std::string disk = DiskOfVolume(key);
        std::optional<char> letter = OwnAbsentLetter(book.letters, volumes, disk);
        if (!letter) letter = LowestFree<char>(book.letters, kFirstLetter, kLastLetter);
        if (letter) book.letters[key] = *letter;
    }
}

Assignments AssignInFile(const std::string& file, std::span<const std::string> disks,
                         const std::optional<std::string>& systemDisk,
                         std::span<const std::string> volumes,
                         const std::optional<std::string>& systemVolume) {
    UniqueFd fd = OpenRegularFile(file, O_RDWR | O_CREAT, nullptr);
    if (!fd.Valid() || ::flock(fd.Get(), LOCK_EX) != 0) {
        Assignments book;
        Assign(book, disks, systemDisk, volumes, systemVolume);
        return book;
    }
    // A line per letter and per disk ever seen: a record larger than this is
    // not one, and is read no further.
    constexpr size_t kLargest = 1024 * 1024;
    std::string text;
    char buffer[4096];
    for (ssize_t got;
         text.size() <= kLargest && (got = ::read(fd.Get(), buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    Assignments book = ParseAssignments(text);
    Assign(book, disks, systemDisk, volumes, systemVolume);
    std::string updated = FormatAssignments(book);
    if (updated != text && ::ftruncate(fd.Get(), 0) == 0 && ::lseek(fd.Get(), 0, SEEK_SET) == 0)
        WriteWhole(fd.Get(), updated);
    return book;
}

}  // namespace larkin::platform
