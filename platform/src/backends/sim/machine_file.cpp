#include "machine_file.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "runtime/posix.h"
#include "runtime/text.h"
#include "property_names.h"
#include "win32/devices.h"
#include "larkin/test_controls.h"

namespace larkin::platform::sim {

namespace {

// Thrown inside the reader only; LoadMachineFile turns it into the error text.
struct MachineFileError {
    std::string message;
};

std::optional<uint64_t> ParseSizeText(std::string_view text, bool* tooLarge) {
    *tooLarge = false;
    uint64_t number = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (failure == std::errc::result_out_of_range) *tooLarge = true;
    if (failure != std::errc()) return std::nullopt;
    std::string unit = Upper(text.substr(static_cast<size_t>(end - text.data())));
    while (!unit.empty() && unit.front() == ' ') unit.erase(unit.begin());
    static const std::pair<const char*, uint64_t> units[] = {{"", 1},
                                                             {"B", 1},
                                                             {"KB", 1000},
                                                             {"MB", 1000 * 1000},
                                                             {"GB", 1000ull * 1000 * 1000},
                                                             {"TB", 1000ull * 1000 * 1000 * 1000},
                                                             {"KIB", 1024},
                                                             {"MIB", 1024 * 1024},
                                                             {"GIB", 1024ull * 1024 * 1024},
                                                             {"TIB", 1024ull * 1024 * 1024 * 1024}};
    for (const auto& [name, factor] : units) {
        if (unit != name) continue;
        if (number > UINT64_MAX / factor) {
            *tooLarge = true;
            return std::nullopt;
        }
        return number * factor;
    }
    return std::nullopt;
}

// The code point of the UTF-8 sequence at text[i], and its length; nothing
// when it is no well-formed sequence.
std::optional<std::pair<uint32_t, size_t>> Utf8At(std::string_view text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || i + length > text.size()) return std::nullopt;
    uint32_t code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return std::nullopt;
    return std::pair{code, length};
}

struct TomlTextError {
    size_t line;
    std::string message;
};

// The machine file's text with every character outside ASCII written as a
// \u escape (texts) or a space (comments), line for line, so that the TOML
// reader sees ASCII only: toml++ 3.3 classifies a character outside ASCII
// as whitespace or not with a table that misses most code points, and runs
// into undefined behaviour ("unreachable") wherever it asks, in many of its
// paths. Literal texts become basic texts to carry the escapes.
std::string AsciiToml(std::string_view text) {
    enum class In { Code, Comment, Basic, MultiBasic, Literal, MultiLiteral };
    In in = In::Code;
    size_t line = 1;
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    auto quotes = [&](size_t i, char q) {
        size_t n = 0;
        while (i + n < text.size() && text[i + n] == q) ++n;
        return n;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            auto sequence = Utf8At(text, i);
            if (!sequence) throw TomlTextError{line, "the text is not UTF-8"};
            if (in == In::Code)
                throw TomlTextError{line,
                                    "a character outside ASCII stands outside a text or "
                                    "comment"};
            i += sequence->second - 1;
            if (in == In::Comment) {
                out += ' ';
            } else {
                char escape[16];
                std::snprintf(escape, sizeof escape,
                              sequence->first > 0xFFFF ? "\\U%08X" : "\\u%04X", sequence->first);
                out += escape;
            }
            continue;
        }
        if (c == '\n') ++line;
        switch (in) {
            case In::Code:
                out += c;
                if (c == '#') in = In::Comment;
                if (c == '"' || c == '\'') {
                    bool multi = quotes(i, c) >= 3;
                    if (multi) i += 2;
                    out.back() = '"';
                    if (multi) out += "\"\"";
                    in = c == '"' ? (multi ? In::MultiBasic : In::Basic)
                                  : (multi ? In::MultiLiteral : In::Literal);
                }
                break;
            case In::Comment:
                out += c;
                if (c == '\n') in = In::Code;
                break;
            case In::Basic:
            case In::MultiBasic:
                out += c;
                if (c == '\\' && i + 1 < text.size()) {
                    // The escaped character goes as it is; a character outside
                    // ASCII there is no escape, and the reader would stumble.
                    unsigned char next = static_cast<unsigned char>(text[i + 1]);
                    if (next >= 0x80)
                        throw TomlTextError{line, "a character outside ASCII follows a backslash"};
                    if (next != '\n' && next != '\r' && next != ' ' && next != '\t') {
                        out += text[++i];
                    }
                } else if (c == '"' && in == In::Basic) {
                    in = In::Code;
                } else if (c == '"') {
                    size_t run = quotes(i, '"');
                    if (run >= 3) {
                        size_t end = std::min<size_t>(run, 5);  // two quotes may end the text
                        out.append(end - 1, '"');
                        i += end - 1;
                        in = In::Code;
                    }
                } else if (c == '\n' && in == In::Basic) {
                    in = In::Code;
                }
                break;
            case In::Literal:
                if (c == '\'') {
                    out += '"';
                    in = In::Code;
                } else if (c == '\n') {
                    out += c;  // an unclosed literal text: the reader reports it
                    in = In::Code;
                } else {
                    if (c == '\\' || c == '"') out += '\\';
                    out += c;
                }
                break;
            case In::MultiLiteral:
                if (c == '\'' && quotes(i, '\'') >= 3) {
                    size_t end = std::min<size_t>(quotes(i, '\''), 5);
                    out.append(end - 3, '\'');
                    out += "\"\"\"";
                    i += end - 1;
                    in = In::Code;
                } else {
                    if (c == '\\' || c == '"') out += '\\';
                    out += c;
                }
                break;
        }
    }
    return out;
}

// A text as it may be shown in a message: quoted, control characters escaped.
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Reads one table, remembering its dotted name for messages and refusing
// keys it does not know, so that a misspelt key is reported, not ignored.
class Table {
  public:
    Table(const std::string& file, const toml::table& table, std::string path)
        : file_(file), table_(table), path_(std::move(path)) {}

    void Allow(std::initializer_list<const char*> keys) const {
        for (const auto& [key, node] : table_) {
            bool known = false;
            for (const char* allowed : keys) known = known || key.str() == allowed;
            if (!known) Fail(node, std::string(key.str()), "unknown key");
        }
    }

    [[noreturn]] void Fail(const toml::node& node, const std::string& key,
                           const std::string& message) const {
        std::ostringstream text;
        text << file_ << ":" << node.source().begin.line << ": " << Name(key) << ": " << message;
        throw MachineFileError{text.str()};
    }
    [[noreturn]] void FailHere(const std::string& key, const std::string& message) const {
        Fail(table_, key, message);
    }

    std::string Name(const std::string& key) const {
        return path_.empty() ? key : path_ + "." + key;
    }
    const toml::node* Node(const char* key) const { return table_.get(key); }
    bool Has(const char* key) const { return table_.contains(key); }

    std::string Text(const char* key, const std::string& fallback = {}) const {
        const toml::node* node = Node(key);
        if (!node) return fallback;
        if (!node->is_string()) Fail(*node, key, "must be a text");
        return std::string(*node->value<std::string>());
    }

    std::string RequiredText(const char* key) const {
        if (!Has(key)) FailHere(key, "missing");
        std::string text = Text(key);
        if (text.empty()) Fail(*Node(key), key, "must not be empty");
        return text;
    }

    bool Flag(const char* key, bool fallback) const {
        const toml::node* node = Node(key);
        if (!node) return fallback;
        if (!node->is_boolean()) Fail(*node, key, "must be true or false");
        return *node->value<bool>();
    }

    int64_t Integer(const char* key, int64_t fallback, int64_t low, int64_t high) const {
        const toml::node* node = Node(key);
        if (!node) return fallback;
        if (!node->is_integer()) Fail(*node, key, "must be a whole number");
        int64_t value = *node->value<int64_t>();
        if (value < low || value > high)
            Fail(*node, key, "must be from " + std::to_string(low) + " to " + std::to_string(high));
        return value;
    }

    double Number(const char* key, double fallback) const {
        const toml::node* node = Node(key);
        if (!node) return fallback;
        if (!node->is_number()) Fail(*node, key, "must be a number");
        return *node->value<double>();
    }

    // A size in bytes from 1 to max.
    std::optional<uint64_t> Size(const char* key, uint64_t max) const {
        const toml::node* node = Node(key);
        if (!node) return std::nullopt;
        uint64_t size = 0;
        if (node->is_integer()) {
            int64_t value = *node->value<int64_t>();
            if (value <= 0) Fail(*node, key, "must be positive");
            size = static_cast<uint64_t>(value);
        } else if (node->is_string()) {
            bool tooLarge = false;
            auto parsed = ParseSizeText(*node->value<std::string>(), &tooLarge);
            if (tooLarge) Fail(*node, key, "is too large");
            if (!parsed || *parsed == 0) Fail(*node, key, "is not a size such as \"64MiB\"");
            size = *parsed;
        } else {
            Fail(*node, key, "must be a size such as \"64MiB\" or a number of bytes");
        }
        if (size > max) Fail(*node, key, "must be at most " + std::to_string(max) + " bytes");
        return size;
    }

    std::vector<std::string> Texts(const char* key) const {
        std::vector<std::string> texts;
        const toml::node* node = Node(key);
        if (!node) return texts;
        const toml::array* array = node->as_array();
        if (!array) Fail(*node, key, "must be a list of texts");
        for (const auto& item : *array) {
            if (!item.is_string()) Fail(item, key, "must be a list of texts");
            texts.emplace_back(*item.value<std::string>());
        }
        return texts;
    }

    // Tables of an array of tables (or none).
    std::vector<Table> Tables(const char* key) const {
        std::vector<Table> tables;
        const toml::node* node = Node(key);
        if (!node) return tables;
        const toml::array* array = node->as_array();
        if (!array) Fail(*node, key, "must be a list of tables ([[" + Name(key) + "]])");
        for (const auto& item : *array) {
            if (!item.is_table()) Fail(item, key, "must be a list of tables");
            tables.emplace_back(file_, *item.as_table(), Name(key));
        }
        return tables;
    }

    std::optional<Table> SubTable(const char* key) const {
        const toml::node* node = Node(key);
        if (!node) return std::nullopt;
        if (!node->is_table()) Fail(*node, key, "must be a table");
        return Table(file_, *node->as_table(), Name(key));
    }

    const toml::table& Raw() const { return table_; }
    const std::string& File() const { return file_; }

  private:
    const std::string& file_;
    const toml::table& table_;
    std::string path_;
};

std::vector<BYTE> HexBytes(const std::string& text, bool* ok) {
    std::vector<BYTE> bytes;
    std::istringstream in(text);
    std::string word;
    *ok = true;
    while (in >> word) {
        if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
            !std::isxdigit(static_cast<unsigned char>(word[1]))) {
            *ok = false;
            return {};
        }
        bytes.push_back(static_cast<BYTE>(std::stoi(word, nullptr, 16)));
    }
    return bytes;
}

std::map<std::string, PropertyEntry> Properties(const Table& owner) {
    std::map<std::string, PropertyEntry> properties;
    auto table = owner.SubTable("properties");
    if (!table) return properties;
    for (const auto& [key, node] : table->Raw()) {
        std::string name(key.str());
        if (!PropertyCode(name)) table->Fail(node, name, "not a device registry property name");
        PropertyEntry entry;
        if (node.is_string()) {
            entry.type = REG_SZ;
            std::string text = *node.value<std::string>();
            entry.data.assign(text.begin(), text.end());
            entry.data.push_back(0);
        } else if (node.is_integer()) {
            entry.type = REG_DWORD;
            auto value = static_cast<uint32_t>(*node.value<int64_t>());
            for (int i = 0; i < 4; ++i) entry.data.push_back(static_cast<BYTE>(value >> (8 * i)));
        } else if (const toml::array* array = node.as_array()) {
            entry.type = REG_MULTI_SZ;
            for (const auto& item : *array) {
                if (!item.is_string()) table->Fail(item, name, "a list must hold texts");
                std::string text = *item.value<std::string>();
                entry.data.insert(entry.data.end(), text.begin(), text.end());
                entry.data.push_back(0);
            }
            entry.data.push_back(0);
        } else if (const toml::table* inner = node.as_table()) {
            Table value(table->File(), *inner, table->Name(name));
            value.Allow({"binary", "absent"});
            if (value.Flag("absent", false)) {
                entry.absent = true;
            } else if (value.Has("binary")) {
                bool ok = false;
                entry.type = REG_BINARY;
                entry.data = HexBytes(value.Text("binary"), &ok);
                if (!ok) table->Fail(node, name, "binary must be hex byte pairs such as \"01 ff\"");
            } else {
                table->Fail(node, name, "needs binary = \"..\" or absent = true");
            }
        } else {
            table->Fail(node, name, "must be a text, a list of texts, a number or a table");
        }
        properties[name] = entry;
    }
    return properties;
}

bool IsLetter(const std::string& text) {
    return text.size() == 2 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':';
}

// The state folder as the machine file names it, or its default; a relative
// one is relative to the machine file's folder (an absolute one replaces it
// when joined).
std::filesystem::path StateFolderName(const std::string& file, const std::string& given) {
    return given.empty()
               ? std::filesystem::path(std::filesystem::path(file).stem().string() + ".state")
               : std::filesystem::path(given);
}

// What has been read so far, so that a repeat is refused where it stands.
struct Reader {
    MachineDescription machine;
    std::set<std::string> adapterIds, diskIds, letters;
    std::map<std::string, std::string> images;      // normalised path -> its owner
    std::vector<std::pair<size_t, Table>> parents;  // adapters that name a parent
    std::filesystem::path file;                     // the machine file, absolute
    std::filesystem::path state;                    // its state folder, absolute

    // Where an image is: relative names are in the state folder.
    std::filesystem::path ImagePlace(const std::string& image) const {
        std::filesystem::path path(image);
        return (path.is_absolute() ? path : state / path).lexically_normal();
    }

    // Why image cannot be a disk's: it is the machine file or a file the
    // machine keeps its state in. "" when it can.
    std::string OwnFile(const std::string& image) const {
        std::filesystem::path place = ImagePlace(image);
        if (place == file) return "is the machine file itself";
        if (place.parent_path() == state)
            for (const char* own : {"machine.state", "journal", "lock", "locks"})
                if (place.filename() == own)
                    return "is the file the machine keeps its " + std::string(own) + " in";
        if (place.parent_path() == state / "locks") return "is one of the machine's lock files";
        return {};
    }

    void Id(const Table& table, const std::string& id, std::set<std::string>& ids,
            const char* what) {
        const toml::node& node = *table.Node("id");
        if (!IsValidId(id))
            table.Fail(node, "id",
                       Quoted(id) +
                           " is not an id: use 1 to 64 letters, digits, '.', '_' and '-', "
                           "starting with a letter or digit");
        if (!ids.insert(id).second) table.Fail(node, "id", Quoted(id) + " names another " + what);
    }

    void Image(const Table& table, const std::string& image, const std::string& owner) {
        std::string message;
        if (std::string own = OwnFile(image); !own.empty()) {
            message = "image " + Quoted(image) + " " + own;
        } else {
            auto [found, added] = images.emplace(ImagePlace(image).string(), owner);
            if (added) return;
            message = "image " + Quoted(image) + " is also the image of " + found->second;
        }
        if (const toml::node* node = table.Node("image")) table.Fail(*node, "image", message);
        table.FailHere("image", message + " (the default is the id followed by \".img\")");
    }

    void Letter(const Table& table, const toml::node& node, const char* key,
                const std::string& letter) {
        if (letter.empty()) return;
        if (letter == "A:" && machine.floppy)
            table.Fail(node, key, "drive letter A: belongs to the floppy drive");
        if (!letters.insert(letter).second)
            table.Fail(node, key, "drive letter " + letter + " is given twice");
    }
};

void ReadPartitions(const Table& table, DiskEntry& disk) {
    auto partitions = table.Tables("partition");
    if (partitions.size() > 4)
        table.Fail(partitions[4].Raw(), "partition",
                   "a disk holds at most four partitions in its partition table");
    uint64_t diskSectors = disk.size / 512;
    for (const auto& partition : partitions) {
        partition.Allow({"type", "start", "sectors", "active", "format", "label"});
        PartitionEntry entry;
        entry.type = static_cast<uint8_t>(partition.Integer("type", 0x0C, 1, 255));
        // The partition table holds 32-bit sector numbers.
        entry.start = static_cast<uint64_t>(partition.Integer("start", 2048, 1, UINT32_MAX));
        if (entry.start >= diskSectors) {
            std::string message = "sector " + std::to_string(entry.start) +
                                  " is past the end of the disk (" + std::to_string(diskSectors) +
                                  " sectors)";
            if (const toml::node* node = partition.Node("start"))
                partition.Fail(*node, "start", message);
            partition.FailHere("start", message + " (2048 unless given)");
        }
        if (partition.Has("sectors")) {
            entry.sectors = static_cast<uint64_t>(partition.Integer("sectors", 0, 1, UINT32_MAX));
            if (entry.start + *entry.sectors > diskSectors)
                partition.Fail(*partition.Node("sectors"), "sectors",
                               "the partition (sectors " + std::to_string(entry.start) + " to " +
                                   std::to_string(entry.start + *entry.sectors - 1) +
                                   ") does not fit the disk (" + std::to_string(diskSectors) +
                                   " sectors)");
        } else {
            entry.sectors = diskSectors - entry.start;
            if (*entry.sectors > UINT32_MAX)
                partition.FailHere("sectors",
                                   "the rest of the disk is more than 4294967295 sectors, more "
                                   "than a partition table entry holds: give sectors");
        }
        uint64_t end = entry.start + *entry.sectors;
        for (size_t other = 0; other < disk.partitions.size(); ++other) {
            const PartitionEntry& before = disk.partitions[other];
            uint64_t beforeEnd = before.start + *before.sectors;
            if (entry.start < beforeEnd && before.start < end) {
                std::string message =
                    "sectors " + std::to_string(entry.start) + " to " + std::to_string(end - 1) +
                    " overlap partition " + std::to_string(other + 1) + " (sectors " +
                    std::to_string(before.start) + " to " + std::to_string(beforeEnd - 1) + ")";
                if (const toml::node* node = partition.Node("start"))
                    partition.Fail(*node, "start", message);
                partition.FailHere("start", message);
            }
        }
        entry.active = partition.Flag("active", false);
        entry.format = Upper(partition.Text("format"));
        if (!entry.format.empty() && entry.format != "FAT12" && entry.format != "FAT16" &&
            entry.format != "FAT32")
            partition.Fail(*partition.Node("format"), "format", "must be FAT12, FAT16 or FAT32");
        entry.label = partition.Text("label");
        if (entry.label.size() > 11)
            partition.Fail(*partition.Node("label"), "label", "at most 11 characters");
        disk.partitions.push_back(entry);
    }
}

void ReadDisk(const Table& table, Reader& reader, size_t adapterIndex) {
    table.Allow(
        {"id",         "image",     "size",        "heads",  "sectors_per_track", "removable",
         "vendor",     "product",   "revision",    "serial", "friendly_name",     "target",
         "present",    "media",     "mode_page_5", "system", "letters",           "volumes",
         "properties", "partition", "answers"});
    MachineDescription& machine = reader.machine;
    DiskEntry disk;
    disk.adapter = adapterIndex;
    disk.id = table.RequiredText("id");
    reader.Id(table, disk.id, reader.diskIds, "disk");
    disk.image = table.Text("image", disk.id + ".img");
    if (disk.image.empty()) table.Fail(*table.Node("image"), "image", "must not be empty");
    reader.Image(table, disk.image, "disk " + Quoted(disk.id));
    auto size = table.Size("size", kMaxDiskBytes);
    if (!size) table.FailHere("size", "missing");
    if (*size % 512 != 0) table.Fail(*table.Node("size"), "size", "must be a multiple of 512");
    disk.size = *size;
    disk.heads = static_cast<uint32_t>(table.Integer("heads", 255, 1, 255));
    disk.sectorsPerTrack = static_cast<uint32_t>(table.Integer("sectors_per_track", 63, 1, 63));
    const AdapterEntry& adapter = machine.adapters[adapterIndex];
    bool usb = adapter.cls == "USB";
    disk.removable = table.Flag("removable", usb);
    disk.vendor = table.Text("vendor", usb ? "Generic" : "ATA");
    disk.product = table.Text("product", "Disk");
    disk.revision = table.Text("revision", "1.00");
    // INQUIRY carries 20 bytes of serial number.
    disk.serial = table.Text("serial", Upper(disk.id).substr(0, 20));
    if (disk.vendor.size() > 8) table.Fail(*table.Node("vendor"), "vendor", "at most 8 characters");
    if (disk.product.size() > 16)
        table.Fail(*table.Node("product"), "product", "at most 16 characters");
    if (disk.revision.size() > 4)
        table.Fail(*table.Node("revision"), "revision", "at most 4 characters");
    if (disk.serial.size() > 20)
        table.Fail(*table.Node("serial"), "serial", "at most 20 characters");
    disk.friendlyName =
        table.Text("friendly_name", disk.vendor + " " + disk.product + (usb ? " USB Device" : ""));

    // Two disks at one target would answer for each other.
    size_t position = adapter.disks.size();
    if (table.Has("target")) {
        disk.target = static_cast<uint8_t>(table.Integer("target", 0, 0, 15));
    } else if (position > 15) {
        table.FailHere("target", "an adapter holds at most 16 disks (targets 0 to 15)");
    } else {
        disk.target = static_cast<uint8_t>(position);
    }
    for (size_t other : adapter.disks) {
        const DiskEntry& sibling = machine.disks[other];
        if (sibling.target != disk.target) continue;
        std::string message = "target " + std::to_string(*disk.target) + " is also disk " +
                              Quoted(sibling.id) + "'s on adapter " + Quoted(adapter.id);
        if (const toml::node* node = table.Node("target")) table.Fail(*node, "target", message);
        table.FailHere("target", message + " (a disk's target is its position unless given)");
    }

    disk.present = table.Flag("present", true);
    disk.media = table.Flag("media", true);
    disk.modePage5 = table.Flag("mode_page_5", true);
    disk.answers = table.Flag("answers", true);
    disk.system = table.Flag("system", false);
    for (const auto& letter : table.Texts("letters")) {
        if (!IsLetter(letter))
            table.Fail(*table.Node("letters"), "letters",
                       Quoted(letter) + " is not a drive letter such as \"E:\"");
        disk.volumes.push_back({Upper(letter), {}});
        reader.Letter(table, *table.Node("letters"), "letters", disk.volumes.back().letter);
    }
    if (table.Has("volumes")) {
        if (!disk.volumes.empty())
            table.Fail(*table.Node("volumes"), "volumes", "give letters or volumes, not both");
        for (const auto& volume : table.Tables("volumes")) {
            volume.Allow({"letter", "folders"});
            VolumeEntry entry{Upper(volume.Text("letter")), volume.Texts("folders")};
            if (!entry.letter.empty() && !IsLetter(entry.letter))
                volume.Fail(*volume.Node("letter"), "letter",
                            Quoted(entry.letter) + " is not a drive letter");
            if (volume.Has("letter"))
                reader.Letter(volume, *volume.Node("letter"), "letter", entry.letter);
            for (auto& folder : entry.folders)
                if (folder.size() < 4 || !IsLetter(folder.substr(0, 2)) || folder[2] != '\\' ||
                    folder.back() != '\\')
                    volume.Fail(
                        *volume.Node("folders"), "folders",
                        Quoted(folder) + " is not a folder path such as \"C:\\\\Mount\\\\\"");
            disk.volumes.push_back(entry);
        }
    }
    disk.properties = Properties(table);
    ReadPartitions(table, disk);
    machine.adapters[adapterIndex].disks.push_back(machine.disks.size());
    machine.disks.push_back(std::move(disk));
}

void ReadAdapter(const Table& table, Reader& reader) {
    table.Allow({"id", "class", "kind", "description", "instance_id", "parent", "storage_port",
                 "aspi", "scsi_id", "properties", "disk"});
    MachineDescription& machine = reader.machine;
    AdapterEntry adapter;
    adapter.id = table.RequiredText("id");
    reader.Id(table, adapter.id, reader.adapterIds, "adapter");
    adapter.cls = Upper(table.RequiredText("class"));
    if (adapter.cls != "ATA" && adapter.cls != "SCSIADAPTER" && adapter.cls != "USB")
        table.Fail(*table.Node("class"), "class", "must be \"ATA\", \"SCSIADAPTER\" or \"USB\"");
    adapter.kind = table.Text("kind", adapter.cls == "USB" ? "mass-storage" : "");
    if (adapter.cls == "USB" && adapter.kind != "mass-storage" && adapter.kind != "hub")
        table.Fail(*table.Node("kind"), "kind", "must be \"mass-storage\" or \"hub\"");
    if (adapter.cls != "USB" && table.Has("kind"))
        table.Fail(*table.Node("kind"), "kind", "only USB adapters have a kind");
    bool hub = adapter.kind == "hub";
    const char* description = adapter.cls == "ATA" ? "Standard Dual Channel PCI IDE Controller"
                              : adapter.cls == "SCSIADAPTER" ? "Generic SCSI Controller"
                              : hub                          ? "USB Root Hub"
                                                             : "USB Mass Storage Device";
    adapter.description = table.Text("description", description);
    adapter.instanceId = table.Text("instance_id");
    adapter.parent = table.Text("parent");
    adapter.storagePort = table.Flag("storage_port", !hub);
    adapter.aspi = table.Flag("aspi", false);
    adapter.scsiId = static_cast<uint8_t>(table.Integer("scsi_id", 7, 0, 15));
    adapter.properties = Properties(table);
    size_t index = machine.adapters.size();
    if (table.Has("parent")) reader.parents.emplace_back(index, table);
    machine.adapters.push_back(adapter);
    auto disks = table.Tables("disk");
    if (hub && !disks.empty()) table.Fail(disks[0].Raw(), "disk", "a hub holds no disks");
    for (const auto& disk : disks) ReadDisk(disk, reader, index);
}

// Every parent names an adapter listed before it, and no chain of parents
// comes back to where it started (the walk up to the root would not end).
void CheckParents(const Reader& reader) {
    const auto& adapters = reader.machine.adapters;
    auto indexOf = [&](const std::string& id) -> std::optional<size_t> {
        for (size_t i = 0; i < adapters.size(); ++i)
            if (adapters[i].id == id) return i;
        return std::nullopt;
    };
    for (const auto& [index, table] : reader.parents) {
        const toml::node& node = *table.Node("parent");
        const std::string& parent = adapters[index].parent;
        if (parent.empty()) table.Fail(node, "parent", "must not be empty");
        if (!indexOf(parent)) table.Fail(node, "parent", "no adapter has the id " + Quoted(parent));
        std::string chain = Quoted(adapters[index].id);
        std::optional<size_t> at = indexOf(parent);
        for (size_t steps = 0; at && steps < adapters.size(); ++steps) {
            chain += " -> " + Quoted(adapters[*at].id);
            if (*at == index) table.Fail(node, "parent", "the parents form a loop: " + chain);
            if (adapters[*at].parent.empty()) break;
            at = indexOf(adapters[*at].parent);
        }
    }
    for (const auto& [index, table] : reader.parents)
        if (*indexOf(adapters[index].parent) > index)
            table.Fail(*table.Node("parent"), "parent",
                       Quoted(adapters[index].parent) + " must be listed before this adapter");
}

void ReadFault(const Table& table, MachineDescription& machine) {
    table.Allow({"call", "device", "ioctl", "skip", "count", "error"});
    larkin::controls::Fault fault;
    fault.call = table.RequiredText("call");
    fault.device = table.Text("device");
    fault.ioctl = static_cast<DWORD>(table.Integer("ioctl", 0, 0, UINT32_MAX));
    fault.skip = static_cast<int>(table.Integer("skip", 0, 0, INT32_MAX));
    fault.count = static_cast<int>(table.Integer("count", 0, 0, INT32_MAX));
    fault.error = static_cast<DWORD>(table.Integer("error", ERROR_GEN_FAILURE, 1, UINT32_MAX));
    machine.faults.push_back(fault);
}

}  // namespace

std::optional<uint64_t> ParseSize(std::string_view text) {
    bool tooLarge = false;
    return ParseSizeText(text, &tooLarge);
}

bool IsValidId(std::string_view id) {
    if (id.empty() || id.size() > 64 || !std::isalnum(static_cast<unsigned char>(id[0])))
        return false;
    for (char c : id)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            return false;
    return true;
}

bool IsFloppySize(uint64_t bytes) {
    // 160K, 180K, 320K, 360K, 720K, 1.2M, 1.44M and 2.88M.
    for (uint64_t kib : {160, 180, 320, 360, 720, 1200, 1440, 2880})
        if (bytes == kib * 1024) return true;
    return false;
}

std::optional<MachineDescription> ParseMachineText(std::string_view text, const std::string& path,
                                                   std::string* error) {
    Reader reader;
    MachineDescription& machine = reader.machine;
    machine.file = path;
    std::string ascii;
    try {
        ascii = AsciiToml(text);
    } catch (const TomlTextError& failure) {
        *error = path + ":" + std::to_string(failure.line) + ": " + failure.message;
        return std::nullopt;
    }
    try {
        toml::table root = toml::parse(ascii, path);
        Table top(path, root, "");
        top.Allow({"machine", "floppy", "adapter", "fault"});
        if (auto section = top.SubTable("machine")) {
            section->Allow({"name", "windows_dir", "state", "time_scale"});
            machine.name = section->Text("name");
            machine.windowsDir = section->Text("windows_dir", machine.windowsDir);
            machine.stateDir = section->Text("state");
            machine.timeScale = section->Number("time_scale", 1.0);
            // Pauses are multiplied by it: a number past these would not be a wait.
            if (!std::isfinite(machine.timeScale) || machine.timeScale < 0 ||
                machine.timeScale > 1000)
                section->Fail(*section->Node("time_scale"), "time_scale",
                              "must be a number from 0 to 1000");
        }
        // Images are compared where they are, however they are written.
        std::error_code ignored;
        reader.file = std::filesystem::absolute(path, ignored).lexically_normal();
        reader.state = (reader.file.parent_path() / StateFolderName(path, machine.stateDir))
                           .lexically_normal();
        if (auto floppy = top.SubTable("floppy")) {
            floppy->Allow({"image", "size", "format"});
            FloppyEntry entry;
            entry.image = floppy->Text("image", "floppy.img");
            if (entry.image.empty())
                floppy->Fail(*floppy->Node("image"), "image", "must not be empty");
            entry.size = floppy->Size("size", kMaxDiskBytes).value_or(entry.size);
            if (!IsFloppySize(entry.size))
                floppy->Fail(*floppy->Node("size"), "size",
                             "is not the size of a floppy disk (160KiB, 180KiB, 320KiB, 360KiB, "
                             "720KiB, 1200KiB, 1440KiB or 2880KiB)");
            entry.format = floppy->Flag("format", true);
            machine.floppy = entry;
            reader.Image(*floppy, entry.image, "the floppy drive");
        }
        for (const auto& adapter : top.Tables("adapter")) ReadAdapter(adapter, reader);
        CheckParents(reader);
        for (const auto& fault : top.Tables("fault")) ReadFault(fault, machine);
    } catch (const toml::parse_error& failure) {
        std::ostringstream message;
        message << path << ":" << failure.source().begin.line << ": " << failure.description();
        *error = message.str();
        return std::nullopt;
    } catch (const MachineFileError& failure) {
        *error = failure.message;
        return std::nullopt;
    }
    std::filesystem::path file(path);
    if (machine.name.empty()) machine.name = file.stem().string();
    machine.stateDir = (file.parent_path() / StateFolderName(path, machine.stateDir)).string();
    return std::move(machine);
}

std::optional<MachineDescription> LoadMachineFile(const std::string& path, std::string* error) {
    std::string why;
    std::optional<std::string> text = ReadSmallFile(path, kMaxMachineFileBytes, &why);
    if (!text) {
        *error = path + ": " + why;
        return std::nullopt;
    }
    return ParseMachineText(*text, path, error);
}

}  // namespace larkin::platform::sim
