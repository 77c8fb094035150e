// A volume's facts from minfo (its boot sector) and mdir (its free space).
#include <charconv>
#include <map>

#include "tool_process.h"
#include "tool_session.h"
#include "volume_tools.h"

namespace larkin::volumetools {
namespace {

// minfo's "name: value" and "name=value" lines.
std::map<std::string, std::string> Fields(const std::string& output) {
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        start = end + 1;
        size_t colon = line.find(": ");
        size_t equals = line.find('=');
        size_t split = std::min(colon, equals);
        if (split == std::string::npos || split == 0) continue;
        std::string value = line.substr(split + (split == colon ? 2 : 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        fields.emplace(line.substr(0, split), value);
    }
    return fields;
}

uint64_t Number(const std::map<std::string, std::string>& fields, const std::string& name,
                int base = 10) {
    auto found = fields.find(name);
    if (found == fields.end()) return 0;
    uint64_t value = 0;
    const std::string& text = found->second;
    std::from_chars(text.data(), text.data() + text.size(), value, base);
    return value;
}

// mdir's "   41 281 024 bytes free" (digits grouped by blanks).
bool FreeBytes(const std::string& output, uint64_t* bytes) {
    size_t at = output.rfind("bytes free");
    if (at == std::string::npos) return false;
    size_t lineStart = output.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    uint64_t value = 0;
    bool any = false;
    for (size_t i = lineStart; i < at; ++i) {
        char c = output[i];
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<uint64_t>(c - '0');
            any = true;
        }
    }
    *bytes = value;
    return any;
}

}  // namespace

Outcome ReadFactsOf(const ToolSession& session, VolumeFacts* facts) {
    *facts = VolumeFacts{};
    facts->ready = true;
    facts->fileSystem = "RAW";
    facts->volumeBytes = session.Where().length;
    std::string image = session.MtoolsImage();
    ToolRun info = RunTool({"minfo", "-i", image, "::"}, MtoolsEnvironment());
    if (!info.started) return {ERROR_FILE_NOT_FOUND, "minfo: " + FirstLine(info.output)};
    if (info.exitCode != 0) return {};  // not a FAT volume
    auto fields = Fields(info.output);
    uint64_t sectorSize = Number(fields, "sector size");
    uint64_t clusterSectors = Number(fields, "cluster size");
    uint64_t reserved = Number(fields, "reserved (boot) sectors");
    uint64_t fats = Number(fields, "fats");
    uint64_t rootEntries = Number(fields, "max available root directory slots");
    uint64_t sectors = Number(fields, "small size");
    if (sectors == 0) sectors = Number(fields, "big size");
    uint64_t fatSectors = Number(fields, "sectors per fat");
    if (fatSectors == 0) fatSectors = Number(fields, "Big fatlen");
    if (sectorSize == 0 || clusterSectors == 0) return {};
    uint64_t rootSectors = (rootEntries * 32 + sectorSize - 1) / sectorSize;
    uint64_t system = reserved + fats * fatSectors + rootSectors;
    uint64_t clusters = sectors > system ? (sectors - system) / clusterSectors : 0;

    facts->clusterBytes = static_cast<uint32_t>(sectorSize * clusterSectors);
    facts->totalBytes = clusters * facts->clusterBytes;
    facts->fatBits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    facts->fileSystem = "FAT" + std::to_string(facts->fatBits);
    facts->serialNumber = static_cast<uint32_t>(Number(fields, "serial number", 16));
    std::string label = fields.count("disk label") ? fields["disk label"] : "";
    while (!label.empty() && label.back() == ' ') label.pop_back();
    if (label == "NO NAME") label.clear();
    facts->label = label;

    ToolRun listing = RunTool({"mdir", "-i", image, "::/"}, MtoolsEnvironment());
    if (listing.exitCode != 0 || !FreeBytes(listing.output, &facts->freeBytes))
        return {ERROR_READ_FAULT, "mdir: " + FirstLine(listing.output)};
    return {};
}

Outcome ReadVolumeFacts(std::string_view root, VolumeFacts* facts) {
    if (facts == nullptr) return {ERROR_INVALID_PARAMETER, ErrorText(ERROR_INVALID_PARAMETER)};
    *facts = VolumeFacts{};
    ToolSession session;
    Outcome opened = session.Open(root, "minfo", false);
    if (!opened.Ok()) return opened;
    return ReadFactsOf(session, facts);
}

}  // namespace larkin::volumetools
