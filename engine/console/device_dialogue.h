// The image operations' device list, filled through Corvid and shown on the
// console, and the short dialogue in which the user picks and confirms one
// drive.
#ifndef TESSEL_CONSOLE_DEVICE_DIALOGUE_H
#define TESSEL_CONSOLE_DEVICE_DIALOGUE_H

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "console/console_io.h"
#include "exports/services.h"

namespace tessel::console {

inline constexpr int kListRows = 10;
inline constexpr std::size_t kListDriveNameSize = 256;
inline constexpr std::size_t kListFriendlyNameSize = 128;
inline constexpr std::size_t kListMountInfoSize = 32;

struct ListedDevice {
    std::array<char, kListDriveNameSize> driveName{};
    std::array<char, kListFriendlyNameSize> friendlyName{};
    std::array<char, kListMountInfoSize> mountInfo{};
    std::uint32_t sizeMb = 0;  // 0 when the capacity query failed
};

struct DeviceList {
    std::array<ListedDevice, kListRows> rows{};
    int reported = 0;  // what Corvid counted
    int listed = 0;    // the rows filled: at most ten
    int match = -1;    // the last row whose mount information is the wanted letter
};

// The size the list shows for a drive whose last logical block address is
// lastBlock: (lastBlock + 1) x 512 bytes in whole millions, 64-bit.
std::uint32_t ApproximateMegabytes(std::uint32_t lastBlock);

// " : friendly [mount] [~MB MB]", the tail of every line that names a row.
std::string RowText(const ListedDevice& row);

// Fills and shows the list. The services must be bound. false (after the
// line "\n No USB Devices Found " on the error stream) when Corvid counts
// no drive.
bool ListDevices(const CorvidEntries& corvid, const char* driveLetter, Console& console,
                 DeviceList& list);

// How the questions are asked: the writer reads the answer right behind the
// question; the restorer writes "\n >>" first (and its confirm-match
// question as a line).
enum class QuestionStyle { writer, restorer };

// The dialogue: the row the user chose, or nothing when the user quit with
// q or Q (no output) or the input ended (one line says so).
std::optional<int> ChooseDevice(const DeviceList& list, const char* driveLetter,
                                QuestionStyle style, Console& console);

// Asks a y/n question the way the style asks the confirm-match question:
// true for y or Y, false for n, N, q, Q and at the end of the input (a line
// says so); any other answer asks again.
bool AskYesNo(std::string_view question, QuestionStyle style, Console& console);

// The line written when the input ends where an answer was awaited.
inline constexpr std::string_view kEndOfInput = "\n No more input: nothing was done";

}  // namespace tessel::console

#endif
