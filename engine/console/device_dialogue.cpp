#include "console/device_dialogue.h"

#include <algorithm>
#include <cstring>

#include "devices/device_table.h"

namespace tessel::console {
namespace {

// Core modules take 16 command bytes; the command itself is the first 12.
constexpr BYTE kReadCapacity[16] = {0x25};
constexpr int kCapacityLength = 32;
constexpr std::string_view kRule = "\n ----------------------------------------------------------";

// Asks Corvid for one text; whatever it writes, the field ends inside itself.
void ReadField(const CorvidEntries& corvid, int index, const char* key, std::span<char> field) {
    std::fill(field.begin(), field.end(), '\0');
    int size = static_cast<int>(field.size());
    corvid.getDriveInformation(index, key, field.data(), &size);
    field.back() = '\0';
}

enum class Answer { yes, no, quit, end };

Answer Confirm(std::string_view question, bool asLine, QuestionStyle style, Console& console) {
    for (;;) {
        if (style == QuestionStyle::restorer) {
            if (asLine) {
                console.Line(question);
            } else {
                console.Write(question);
            }
            console.Write("\n >>");
        } else {
            console.Write(question);
        }
        char answer = 0;
        if (console.ReadAnswer(answer) == Read::end) return Answer::end;
        switch (answer) {
            case 'y':
            case 'Y':
                return Answer::yes;
            case 'n':
            case 'N':
                return Answer::no;
            case 'q':
            case 'Q':
                return Answer::quit;
            default:
                break;  // asked again
        }
    }
}

}  // namespace

std::uint32_t ApproximateMegabytes(std::uint32_t lastBlock) {
    return static_cast<std::uint32_t>((std::uint64_t{lastBlock} + 1) * 512 / 1'000'000);
}

std::string RowText(const ListedDevice& row) {
    std::string text = " : ";
    text += FieldText(row.friendlyName);
    text += " [";
    text += FieldText(row.mountInfo);
    text += "] [~" + std::to_string(row.sizeMb) + " MB]";
    return text;
}

bool ListDevices(const CorvidEntries& corvid, const char* driveLetter, Console& console,
                 DeviceList& list) {
    list = DeviceList{};
    corvid.loadCores();
    int count = corvid.deviceCount(0, "USB");
    if (count <= 0) {
        console.ErrorLine("\n No USB Devices Found ");
        return false;
    }
    list.reported = count;
    list.listed = std::min(count, kListRows);
    console.Line("\n Following (" + std::to_string(count) + ") USB Device(s) found....");
    console.Line(kRule);
    for (int i = 0; i < list.listed; ++i) {
        ListedDevice& row = list.rows[static_cast<std::size_t>(i)];
        ReadField(corvid, i, "DriveName", row.driveName);
        ReadField(corvid, i, "FRIENDLYNAME", row.friendlyName);
        ReadField(corvid, i, "MOUNTINFO", row.mountInfo);
        std::array<BYTE, kCapacityLength> capacity{};
        if (corvid.command(i, kReadCapacity, -kCapacityLength) != 0) {
            console.ErrorLine("\n\n Warning: Unable to pull drive capacity");
        } else {
            corvid.readDataBuffer(i, "r", 0, kCapacityLength, capacity.data());
            std::uint32_t last = (std::uint32_t{capacity[0]} << 24) |
                                 (std::uint32_t{capacity[1]} << 16) |
                                 (std::uint32_t{capacity[2]} << 8) | capacity[3];
            row.sizeMb = ApproximateMegabytes(last);
        }
        console.Line("\n Device # " + std::to_string(i + 1) + RowText(row));
        if (driveLetter != nullptr && FieldText(row.mountInfo) == driveLetter) list.match = i;
    }
    if (count > kListRows)
        console.Line("\n Only the first " + std::to_string(kListRows) +
                     " devices are listed and can be chosen");
    console.Line(kRule);
    return true;
}

std::optional<int> ChooseDevice(const DeviceList& list, const char* driveLetter,
                                QuestionStyle style, Console& console) {
    if (driveLetter != nullptr) {
        if (list.match < 0) {
            console.Line(std::string("\n Selected Drive Letter ") + driveLetter + " not found!");
        } else {
            const ListedDevice& row = list.rows[static_cast<std::size_t>(list.match)];
            console.Line("\n You selected Device # " + std::to_string(list.match + 1) +
                         RowText(row));
            switch (Confirm("\n Is this info correct? (y/n) [q:Quit] : ", true, style, console)) {
                case Answer::yes:
                    return list.match;
                case Answer::no:
                    break;
                case Answer::quit:
                    return std::nullopt;
                case Answer::end:
                    console.Line(kEndOfInput);
                    return std::nullopt;
            }
        }
    }
    for (;;) {
        console.Line("\n Please Select Device # from list above");
        console.Write("\n >>");
        std::int64_t k = 0;
        Read read = console.ReadNumber(k);
        if (read == Read::end) {
            console.Line(kEndOfInput);
            return std::nullopt;
        }
        if (read != Read::ok || k < 1 || k > list.listed) {
            console.Line("\n Invalid Device #");
            continue;
        }
        const ListedDevice& row = list.rows[static_cast<std::size_t>(k - 1)];
        console.Line("\n You Selected Device # " + std::to_string(k) + RowText(row));
        switch (Confirm("\n Is this info correct? (y/n)  [q:Quit]: ", false, style, console)) {
            case Answer::yes:
                return static_cast<int>(k - 1);
            case Answer::no:
                break;
            case Answer::quit:
                return std::nullopt;
            case Answer::end:
                console.Line(kEndOfInput);
                return std::nullopt;
        }
    }
}

bool AskYesNo(std::string_view question, QuestionStyle style, Console& console) {
    Answer answer = Confirm(question, true, style, console);
    if (answer == Answer::end) console.Line(kEndOfInput);
    return answer == Answer::yes;
}

}  // namespace tessel::console
