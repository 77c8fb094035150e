#include "machine_file.h"

#include <cctype>
#include <filesystem>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "../text.h"
#include "property_names.h"
#include "win32/devices.h"

namespace larkin::platform::sim {

namespace {

// Thrown inside the reader only; LoadMachineFile turns it into the error text.
struct MachineFileError {
    std::string message;
};

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
        std::ostringstream text;
        text << file_ << ":" << table_.source().begin.line << ": " << Name(key) << ": " << message;
        throw MachineFileError{text.str()};
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

    std::optional<uint64_t> Size(const char* key) const {
        const toml::node* node = Node(key);
        if (!node) return std::nullopt;
        if (node->is_integer()) {
            int64_t value = *node->value<int64_t>();
            if (value <= 0) Fail(*node, key, "must be positive");
            return static_cast<uint64_t>(value);
        }
        if (node->is_string()) {
            auto size = ParseSize(*node->value<std::string>());
            if (!size || *size == 0) Fail(*node, key, "is not a size such as \"64MiB\"");
            return size;
        }
        Fail(*node, key, "must be a size such as \"64MiB\" or a number of bytes");
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

std::map<std::string, PropertySpec> Properties(const Table& owner) {
    std::map<std::string, PropertySpec> properties;
    auto table = owner.SubTable("properties");
    if (!table) return properties;
    for (const auto& [key, node] : table->Raw()) {
        std::string name(key.str());
        if (!PropertyCode(name)) table->Fail(node, name, "not a device registry property name");
        PropertySpec spec;
        if (node.is_string()) {
            spec.type = REG_SZ;
            std::string text = *node.value<std::string>();
            spec.data.assign(text.begin(), text.end());
            spec.data.push_back(0);
        } else if (node.is_integer()) {
            spec.type = REG_DWORD;
            auto value = static_cast<uint32_t>(*node.value<int64_t>());
            for (int i = 0; i < 4; ++i) spec.data.push_back(static_cast<BYTE>(value >> (8 * i)));
        } else if (const toml::array* array = node.as_array()) {
            spec.type = REG_MULTI_SZ;
            for (const auto& item : *array) {
                if (!item.is_string()) table->Fail(item, name, "a list must hold texts");
                std::string text = *item.value<std::string>();
                spec.data.insert(spec.data.end(), text.begin(), text.end());
                spec.data.push_back(0);
            }
            spec.data.push_back(0);
        } else if (const toml::table* inner = node.as_table()) {
            Table value(table->File(), *inner, table->Name(name));
            value.Allow({"binary", "absent"});
            if (value.Flag("absent", false)) {
                spec.absent = true;
            } else if (value.Has("binary")) {
                bool ok = false;
                spec.type = REG_BINARY;
                spec.data = HexBytes(value.Text("binary"), &ok);
                if (!ok) table->Fail(node, name, "binary must be hex byte pairs such as \"01 ff\"");
            } else {
                table->Fail(node, name, "needs binary = \"..\" or absent = true");
            }
        } else {
            table->Fail(node, name, "must be a text, a list of texts, a number or a table");
        }
        properties[name] = spec;
    }
    return properties;
}

bool IsLetter(const std::string& text) {
    return text.size() == 2 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':';
}

void ReadDisk(const Table& table, MachineSpec& machine, size_t adapterIndex) {
    table.Allow(
        {"id",         "image",    "size",        "heads",  "sectors_per_track", "removable",
         "vendor",     "product",  "revision",    "serial", "friendly_name",     "target",
         "present",    "media",    "mode_page_5", "system", "letters",           "volumes",
         "properties", "partition"});
    DiskSpec disk;
    disk.adapter = adapterIndex;
    disk.id = table.RequiredText("id");
    disk.image = table.Text("image", disk.id + ".img");
    auto size = table.Size("size");
    if (!size) table.FailHere("size", "missing");
    if (*size % 512 != 0) table.Fail(*table.Node("size"), "size", "must be a multiple of 512");
    disk.size = *size;
    disk.heads = static_cast<uint32_t>(table.Integer("heads", 255, 1, 255));
    disk.sectorsPerTrack = static_cast<uint32_t>(table.Integer("sectors_per_track", 63, 1, 63));
    bool usb = machine.adapters[adapterIndex].cls == "USB";
    disk.removable = table.Flag("removable", usb);
    disk.vendor = table.Text("vendor", usb ? "Generic" : "ATA");
    disk.product = table.Text("product", "Disk");
    disk.revision = table.Text("revision", "1.00");
    disk.serial = table.Text("serial", Upper(disk.id));
    if (disk.vendor.size() > 8) table.Fail(*table.Node("vendor"), "vendor", "at most 8 characters");
    if (disk.product.size() > 16)
        table.Fail(*table.Node("product"), "product", "at most 16 characters");
    if (disk.revision.size() > 4)
        table.Fail(*table.Node("revision"), "revision", "at most 4 characters");
    disk.friendlyName =
        table.Text("friendly_name", disk.vendor + " " + disk.product + (usb ? " USB Device" : ""));
    if (table.Has("target")) disk.target = static_cast<uint8_t>(table.Integer("target", 0, 0, 15));
    disk.present = table.Flag("present", true);
    disk.media = table.Flag("media", true);
    disk.modePage5 = table.Flag("mode_page_5", true);
    disk.system = table.Flag("system", false);
    for (const auto& letter : table.Texts("letters")) {
        if (!IsLetter(letter))
            table.Fail(*table.Node("letters"), "letters",
                       "\"" + letter + "\" is not a drive letter such as \"E:\"");
        disk.volumes.push_back({Upper(letter), {}});
    }
    if (table.Has("volumes")) {
        if (!disk.volumes.empty()) table.FailHere("volumes", "give letters or volumes, not both");
        for (const auto& volume : table.Tables("volumes")) {
            volume.Allow({"letter", "folders"});
            VolumeSpec spec{Upper(volume.Text("letter")), volume.Texts("folders")};
            if (!spec.letter.empty() && !IsLetter(spec.letter))
                volume.FailHere("letter", "\"" + spec.letter + "\" is not a drive letter");
            for (auto& folder : spec.folders)
                if (folder.size() < 4 || !IsLetter(folder.substr(0, 2)) || folder[2] != '\\' ||
                    folder.back() != '\\')
                    volume.FailHere(
                        "folders",
                        "\"" + folder + "\" is not a folder path such as \"C:\\\\Mount\\\\\"");
            disk.volumes.push_back(spec);
        }
    }
    disk.properties = Properties(table);
    for (const auto& partition : table.Tables("partition")) {
        partition.Allow({"type", "start", "sectors", "active", "format", "label"});
        PartitionSpec spec;
        spec.type = static_cast<uint8_t>(partition.Integer("type", 0x0C, 1, 255));
        spec.start = static_cast<uint64_t>(partition.Integer("start", 2048, 1, INT64_MAX));
        if (partition.Has("sectors"))
            spec.sectors = static_cast<uint64_t>(partition.Integer("sectors", 0, 1, UINT32_MAX));
        spec.active = partition.Flag("active", false);
        spec.format = Upper(partition.Text("format"));
        if (!spec.format.empty() && spec.format != "FAT12" && spec.format != "FAT16" &&
            spec.format != "FAT32")
            partition.FailHere("format", "must be FAT12, FAT16 or FAT32");
        spec.label = partition.Text("label");
        uint64_t end = spec.start + spec.sectors.value_or(1);
        if (end * 512 > disk.size)
            partition.FailHere("start", "the partition does not fit the disk");
        disk.partitions.push_back(spec);
    }
    machine.adapters[adapterIndex].disks.push_back(machine.disks.size());
    machine.disks.push_back(std::move(disk));
}

void ReadAdapter(const Table& table, MachineSpec& machine) {
    table.Allow({"id", "class", "kind", "description", "instance_id", "parent", "storage_port",
                 "aspi", "scsi_id", "properties", "disk"});
    AdapterSpec adapter;
    adapter.id = table.RequiredText("id");
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
    machine.adapters.push_back(adapter);
    auto disks = table.Tables("disk");
    if (hub && !disks.empty()) table.FailHere("disk", "a hub holds no disks");
    for (const auto& disk : disks) ReadDisk(disk, machine, index);
}

void ReadFault(const Table& table, MachineSpec& machine) {
    table.Allow({"call", "device", "ioctl", "skip", "count", "error"});
    larkin::sim::Fault fault;
    fault.call = table.RequiredText("call");
    fault.device = table.Text("device");
    fault.ioctl = static_cast<DWORD>(table.Integer("ioctl", 0, 0, UINT32_MAX));
    fault.skip = static_cast<int>(table.Integer("skip", 0, 0, INT32_MAX));
    fault.count = static_cast<int>(table.Integer("count", 0, 0, INT32_MAX));
    fault.error = static_cast<DWORD>(table.Integer("error", ERROR_GEN_FAILURE, 1, UINT32_MAX));
    machine.faults.push_back(fault);
}

void CheckUnique(const MachineSpec& machine) {
    std::set<std::string> ids, letters, images;
    auto fail = [&](const std::string& what) {
        throw MachineFileError{machine.file + ": " + what};
    };
    for (const auto& adapter : machine.adapters) {
        if (!ids.insert("adapter:" + adapter.id).second)
            fail("adapter id \"" + adapter.id + "\" is used twice");
        if (!adapter.parent.empty() && !ids.contains("adapter:" + adapter.parent))
            fail("adapter \"" + adapter.id + "\": parent \"" + adapter.parent +
                 "\" is not an adapter listed before it");
    }
    for (const auto& disk : machine.disks) {
        if (!ids.insert("disk:" + disk.id).second)
            fail("disk id \"" + disk.id + "\" is used twice");
        if (!images.insert(disk.image).second)
            fail("disk \"" + disk.id + "\": image \"" + disk.image + "\" is used twice");
        for (const auto& volume : disk.volumes)
            if (!volume.letter.empty() && !letters.insert(volume.letter).second)
                fail("drive letter " + volume.letter + " is given twice");
    }
    if (machine.floppy && letters.contains("A:"))
        fail("drive letter A: belongs to the floppy drive");
}

}  // namespace

std::optional<uint64_t> ParseSize(const std::string& text) {
    size_t used = 0;
    uint64_t number = 0;
    try {
        number = std::stoull(text, &used);
    } catch (...) {
        return std::nullopt;
    }
    std::string unit = Upper(text.substr(used));
    while (!unit.empty() && unit.front() == ' ') unit.erase(unit.begin());
    static const std::pair<const char*, uint64_t> units[] = {{"", 1},
                                                             {"B", 1},
                                                             {"KB", 1000},
                                                             {"MB", 1000 * 1000},
                                                             {"GB", 1000ull * 1000 * 1000},
                                                             {"KIB", 1024},
                                                             {"MIB", 1024 * 1024},
                                                             {"GIB", 1024ull * 1024 * 1024}};
    for (const auto& [name, factor] : units)
        if (unit == name) return number * factor;
    return std::nullopt;
}

std::optional<MachineSpec> LoadMachineFile(const std::string& path, std::string* error) {
    MachineSpec machine;
    machine.file = path;
    try {
        toml::table root = toml::parse_file(path);
        Table top(path, root, "");
        top.Allow({"machine", "floppy", "adapter", "fault"});
        if (auto section = top.SubTable("machine")) {
            section->Allow({"name", "windows_dir", "state", "time_scale"});
            machine.name = section->Text("name");
            machine.windowsDir = section->Text("windows_dir", machine.windowsDir);
            machine.stateDir = section->Text("state");
            machine.timeScale = section->Number("time_scale", 1.0);
            if (machine.timeScale < 0)
                section->Fail(*section->Node("time_scale"), "time_scale", "must not be negative");
        }
        if (auto floppy = top.SubTable("floppy")) {
            floppy->Allow({"image", "size", "format"});
            FloppySpec spec;
            spec.image = floppy->Text("image", "floppy.img");
            spec.size = floppy->Size("size").value_or(spec.size);
            spec.format = floppy->Flag("format", true);
            machine.floppy = spec;
        }
        for (const auto& adapter : top.Tables("adapter")) ReadAdapter(adapter, machine);
        for (const auto& fault : top.Tables("fault")) ReadFault(fault, machine);
        CheckUnique(machine);
    } catch (const toml::parse_error& failure) {
        std::ostringstream text;
        text << path << ":" << failure.source().begin.line << ": " << failure.description();
        *error = text.str();
        return std::nullopt;
    } catch (const MachineFileError& failure) {
        *error = failure.message;
        return std::nullopt;
    }
    namespace fs = std::filesystem;
    fs::path file(path);
    if (machine.name.empty()) machine.name = file.stem().string();
    fs::path state = machine.stateDir.empty() ? fs::path(file.stem().string() + ".state")
                                              : fs::path(machine.stateDir);
    machine.stateDir = (state.is_absolute() ? state : file.parent_path() / state).string();
    return machine;
}

}  // namespace larkin::platform::sim
