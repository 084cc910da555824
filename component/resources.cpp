#include "component/resources.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace zevo::com {

const std::string* ModuleResources::Find(const std::string& type, int id) const {
    auto it = entries.find({type, id});
    return it == entries.end() ? nullptr : &it->second;
}

std::string ModuleResources::VersionValue(const std::string& name) const {
    const std::string* block = Find("VERSION", 1);
    if (!block) return {};
    std::istringstream in(*block);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos && line.compare(0, eq, name) == 0) return line.substr(eq + 1);
    }
    return {};
}

bool ParseResources(const std::string& text, ModuleResources* resources) {
    *resources = ModuleResources();
    std::istringstream in(text);
    std::string line;
    std::pair<std::string, int> current;
    bool inEntry = false;
    bool firstLine = true;
    while (std::getline(in, line)) {
        if (line.rfind("@@ ", 0) == 0) {
            std::istringstream header(line.substr(3));
            std::string type;
            int id = 0;
            int language = 0;
            if (!(header >> type >> id >> language)) return false;
            current = {type, id};
            if (resources->entries.count(current)) return false;
            resources->entries[current];
            resources->languages[current] = language;
            inEntry = true;
            firstLine = true;
            continue;
        }
        if (!inEntry) {
            if (line.empty() || line[0] == '#') continue;
            return false;
        }
        std::string& data = resources->entries[current];
        if (!firstLine) data += '\n';
        data += line;
        firstLine = false;
    }
    return !resources->entries.empty();
}

bool ReadElfSection(const std::string& path, const std::string& section, std::string* data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Elf64_Ehdr header;
    if (file.size() < sizeof(header)) return false;
    std::memcpy(&header, file.data(), sizeof(header));
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_shentsize != sizeof(Elf64_Shdr)) {
        return false;
    }
    auto sectionAt = [&](size_t index, Elf64_Shdr* out) {
        const uint64_t offset = header.e_shoff + index * sizeof(Elf64_Shdr);
        if (offset > file.size() || file.size() - offset < sizeof(Elf64_Shdr)) return false;
        std::memcpy(out, file.data() + offset, sizeof(Elf64_Shdr));
        return out->sh_type == SHT_NOBITS ||
               (out->sh_offset <= file.size() && out->sh_size <= file.size() - out->sh_offset);
    };
    Elf64_Shdr names;
    if (header.e_shstrndx >= header.e_shnum || !sectionAt(header.e_shstrndx, &names)) return false;
    for (size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr sh;
        if (!sectionAt(i, &sh) || sh.sh_name >= names.sh_size) continue;
        const char* name = file.data() + names.sh_offset + sh.sh_name;
        const size_t room = names.sh_size - sh.sh_name;
        if (strnlen(name, room) == room || section != name || sh.sh_type == SHT_NOBITS) continue;
        data->assign(file.data() + sh.sh_offset, sh.sh_size);
        // The section may end in padding NULs.
        while (!data->empty() && data->back() == '\0') data->pop_back();
        return true;
    }
    return false;
}

bool ReadModuleResources(const std::string& path, ModuleResources* resources, std::string* error) {
    std::string text;
    if (!ReadElfSection(path, ".zevo_rsrc", &text)) {
        if (error) *error = "no resources in " + path;
        return false;
    }
    if (!ParseResources(text, resources)) {
        if (error) *error = "damaged resources in " + path;
        return false;
    }
    return true;
}

}  // namespace zevo::com
