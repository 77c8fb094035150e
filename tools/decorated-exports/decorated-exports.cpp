// Gives a finished shared library exports whose names hold an '@' (the
// decorated stdcall names such as _GetUSBDevCount@0), which the linkers
// refuse to make: each is built under the same name with '_' in place of its
// last '@', and this tool renames it in the dynamic symbol table and rebuilds
// the symbol hash table. The library must be linked with --hash-style=sysv.
//
//   decorated-exports LIBRARY NAME...
#include <elf.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Image {
    std::vector<char> bytes;

    template <class T>
    T* At(std::uint64_t offset, std::uint64_t count = 1) {
        if (offset > bytes.size() || count * sizeof(T) > bytes.size() - offset) return nullptr;
        return reinterpret_cast<T*>(bytes.data() + offset);
    }
};

std::uint32_t ElfHash(const char* name) {
    std::uint32_t h = 0;
    for (; *name != '\0'; ++name) {
        h = (h << 4) + static_cast<unsigned char>(*name);
        std::uint32_t g = h & 0xF0000000u;
        if (g != 0) h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

int Fail(const std::string& why) {
    std::fprintf(stderr, "decorated-exports: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Fail("usage: decorated-exports LIBRARY NAME...");
    std::string file = argv[1];
    Image image;
    {
        std::ifstream in(file, std::ios::binary);
        image.bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    auto* header = image.At<Elf64_Ehdr>(0);
    if (header == nullptr || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_ident[EI_CLASS] != ELFCLASS64 || header->e_ident[EI_DATA] != ELFDATA2LSB)
        return Fail(file + " is not a 64-bit little-endian ELF file");
    auto* sections = image.At<Elf64_Shdr>(header->e_shoff, header->e_shnum);
    if (sections == nullptr) return Fail(file + ": no section table");

    Elf64_Shdr* dynsym = nullptr;
    Elf64_Shdr* hash = nullptr;
    for (int i = 0; i < header->e_shnum; ++i) {
        if (sections[i].sh_type == SHT_DYNSYM) dynsym = &sections[i];
        if (sections[i].sh_type == SHT_HASH) hash = &sections[i];
        if (sections[i].sh_type == SHT_GNU_HASH)
            return Fail(file + " has a GNU hash table; link it with --hash-style=sysv");
    }
    if (dynsym == nullptr || hash == nullptr || dynsym->sh_link >= header->e_shnum)
        return Fail(file + ": no dynamic symbols or no hash table");
    const Elf64_Shdr& strtab = sections[dynsym->sh_link];
    std::uint64_t symbolCount = dynsym->sh_size / sizeof(Elf64_Sym);
    auto* symbols = image.At<Elf64_Sym>(dynsym->sh_offset, symbolCount);
    char* names = image.At<char>(strtab.sh_offset, strtab.sh_size);
    if (symbols == nullptr || names == nullptr) return Fail(file + ": damaged symbol table");
    auto nameOf = [&](const Elf64_Sym& symbol) -> const char* {
        return symbol.st_name < strtab.sh_size ? names + symbol.st_name : "";
    };

    for (int a = 2; a < argc; ++a) {
        std::string decorated = argv[a];
        std::size_t at = decorated.rfind('@');
        if (at == std::string::npos) return Fail(decorated + " has no '@'");
        std::string built = decorated;
        built[at] = '_';
        Elf64_Sym* found = nullptr;
        for (std::uint64_t i = 1; i < symbolCount; ++i) {
            if (built == nameOf(symbols[i]) || decorated == nameOf(symbols[i])) found = &symbols[i];
        }
        if (found == nullptr) return Fail(file + " exports neither " + built + " nor " + decorated);
        // No other name may share the bytes being rewritten.
        for (std::uint64_t i = 1; i < symbolCount; ++i) {
            if (&symbols[i] == found) continue;
            if (symbols[i].st_name > found->st_name &&
                symbols[i].st_name <= found->st_name + built.size())
                return Fail(built + " shares its text with another symbol name");
        }
        if (found->st_name + built.size() >= strtab.sh_size) return Fail(file + ": damaged names");
        std::memcpy(names + found->st_name, decorated.data(), decorated.size());
    }

    // The System V hash table: buckets and chains over the symbol indexes.
    auto* words = image.At<std::uint32_t>(hash->sh_offset, 2);
    if (words == nullptr) return Fail(file + ": damaged hash table");
    std::uint32_t bucketCount = words[0];
    std::uint32_t chainCount = words[1];
    words = image.At<std::uint32_t>(hash->sh_offset, 2ull + bucketCount + chainCount);
    if (words == nullptr || bucketCount == 0 || chainCount != symbolCount)
        return Fail(file + ": damaged hash table");
    std::uint32_t* buckets = words + 2;
    std::uint32_t* chains = buckets + bucketCount;
    std::fill(buckets, buckets + bucketCount, 0u);
    std::fill(chains, chains + chainCount, 0u);
    for (std::uint32_t i = static_cast<std::uint32_t>(symbolCount) - 1; i >= 1; --i) {
        std::uint32_t bucket = ElfHash(nameOf(symbols[i])) % bucketCount;
        chains[i] = buckets[bucket];
        buckets[bucket] = i;
    }

    std::string temporary = file + ".decorating";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(image.bytes.data(), static_cast<std::streamsize>(image.bytes.size()));
        if (!out) return Fail("cannot write " + temporary);
    }
    std::error_code error;
    std::filesystem::permissions(temporary, std::filesystem::status(file).permissions(), error);
    std::filesystem::rename(temporary, file, error);
    if (error) return Fail("cannot replace " + file + ": " + error.message());
    return 0;
}
