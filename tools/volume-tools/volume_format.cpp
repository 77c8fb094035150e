// Making a FAT file system over a whole volume with mkfs.fat, and labelling
// one with mlabel.
#include "tool_process.h"
#include "tool_session.h"
#include "volume_tools.h"

namespace larkin::volumetools {

Outcome FormatFat(std::string_view root, std::string_view label, int fatBits,
                  FormatReport* report) {
    if (fatBits != 0 && fatBits != 12 && fatBits != 16 && fatBits != 32)
        return {ERROR_INVALID_PARAMETER, "FAT" + std::to_string(fatBits) + " is not a FAT size."};
    if (label.size() > 11) return {ERROR_INVALID_NAME, ErrorText(ERROR_INVALID_NAME)};

    // Everything is decided over a reading session: a volume that cannot be
    // formatted gets no write session, so no journal entry and no byte.
    LARKIN_TOOL_VOLUME where{};
    {
        ToolSession reading;
        Outcome opened = reading.Open(root, "mkfs.fat", false);
        if (!opened.Ok()) return opened;
        where = reading.Where();
    }
    if (where.bytesPerSector == 0 || where.offset % where.bytesPerSector != 0)
        return {ERROR_NOT_SUPPORTED, "The volume does not start on a sector."};
    uint64_t sectors = where.length / where.bytesPerSector;
    int bits = fatBits == 0 ? ChooseFatBits(sectors * where.bytesPerSector / 512) : fatBits;
    if (bits == 0) return {ERROR_NOT_SUPPORTED, "The volume is too big for FAT16."};
    uint32_t cluster = bits == 32 ? 0 : DosClusterSectors(bits, sectors);
    if (bits != 32 && cluster == 0)
        return {ERROR_NOT_SUPPORTED, "The volume is too big for FAT" + std::to_string(bits) + "."};

    // -I: the volume is given as the whole disk and its offset, and the disk
    // may still carry the kernel's partition nodes; the platform's volume
    // lock has already made sure nothing uses them.
    std::vector<std::string> arguments = {"mkfs.fat", "-I", "-F", std::to_string(bits)};
    if (bits != 32) {
        // DOS layout: one reserved sector, no alignment of the areas.
        arguments.insert(arguments.end(), {"-a", "-R", "1", "-s", std::to_string(cluster)});
    }
    arguments.insert(arguments.end(), {"-h", std::to_string(where.hiddenSectors), "-D", "0x80"});
    if (where.heads != 0 && where.sectorsPerTrack != 0)
        arguments.insert(arguments.end(), {"-g", std::to_string(where.heads) + "/" +
                                                     std::to_string(where.sectorsPerTrack)});
    if (where.bytesPerSector != 512)
        arguments.insert(arguments.end(), {"-S", std::to_string(where.bytesPerSector)});
    if (!label.empty()) arguments.insert(arguments.end(), {"-n", std::string(label)});
    arguments.push_back("--offset=" + std::to_string(where.offset / where.bytesPerSector));
    arguments.push_back(where.path);
    arguments.push_back(std::to_string(where.length / 1024));

    ToolSession writing;
    Outcome opened = writing.Open(root, "mkfs.fat", true);
    if (!opened.Ok()) return opened;
    ToolRun run = RunTool(arguments);
    writing.Close();
    if (report) {
        *report = FormatReport{
            bits,      sectors, cluster, where.hiddenSectors, where.heads, where.sectorsPerTrack,
            run.output};
    }
    if (!run.started) return {ERROR_FILE_NOT_FOUND, "mkfs.fat: " + FirstLine(run.output)};
    if (run.exitCode != 0) {
        // The last line that is not mkfs.fat's version banner says why; the
        // banner, written to standard output, may come after the reason.
        std::string why;
        for (const std::string& line : Lines(run.output)) {
            bool banner = line.starts_with("mkfs.fat ") && line.size() > 9 && line[9] >= '0' &&
                          line[9] <= '9';
            if (!line.empty() && !banner) why = line;
        }
        return {ERROR_WRITE_FAULT, "mkfs.fat: " + (why.empty() ? FirstLine(run.output) : why)};
    }
    return {};
}

Outcome SetVolumeLabel(std::string_view root, std::string_view label) {
    if (label.size() > 11) return {ERROR_INVALID_NAME, ErrorText(ERROR_INVALID_NAME)};
    ToolSession writing;
    Outcome opened = writing.Open(root, "mlabel", true);
    if (!opened.Ok()) return opened;
    std::string image = writing.MtoolsImage();
    std::vector<std::string> arguments = {"mlabel", "-i", image};
    if (label.empty()) {
        arguments.insert(arguments.end(), {"-c", "::"});
    } else {
        arguments.push_back("::" + std::string(label));
    }
    ToolRun run = RunTool(arguments, MtoolsEnvironment());
    if (!run.started) return {ERROR_FILE_NOT_FOUND, "mlabel: " + FirstLine(run.output)};
    if (run.exitCode != 0) return {ERROR_WRITE_FAULT, "mlabel: " + FirstLine(run.output)};
    return {};
}

}  // namespace larkin::volumetools
