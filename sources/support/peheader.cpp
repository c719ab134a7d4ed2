// The machine a Windows module was built for, from its PE header (the DOS
// header's "MZ" and, at the offset stored at 0x3C, "PE\0\0" and the machine),
// and the DLLs it imports. The bytes are untrusted: every offset is checked.
#include "support/peheader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long kNewHeaderField = 0x3C;

uint32_t Little(const unsigned char *bytes, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

} // namespace

int32_t ModuleMachine(const char *path) {
    FILE *file = fopen(path, "rb");
    if (!file)
        return kMachineUnread;
    int32_t machine = kMachineNoModule;
    unsigned char dos[kNewHeaderField + 4];
    if (fread(dos, 1, sizeof dos, file) == sizeof dos && dos[0] == 'M' && dos[1] == 'Z') {
        uint32_t offset = Little(dos + kNewHeaderField, 4);
        unsigned char pe[6];
        // An offset past what a long holds points past any real file.
        if (offset <= 0x7FFFFFFF && fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
            fread(pe, 1, sizeof pe, file) == sizeof pe && memcmp(pe, "PE\0\0", 4) == 0)
            machine = static_cast<int32_t>(Little(pe + 4, 2));
    }
    fclose(file);
    return machine;
}

namespace {

constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kMostSections = 96; // the most the Windows loader takes
constexpr int kMostImports = 512;
constexpr size_t kLongestName = 256;
constexpr size_t kSectionEntry = 40;
constexpr uint64_t kSector = 512;
constexpr uint32_t kImportEntry = 20;

struct Image {
    const unsigned char *bytes;
    size_t size;
    size_t sectionTable; // offset of the section table
    uint32_t sectionCount;
};

// Whether count bytes at offset lie inside the image.
bool Inside(const Image &image, size_t offset, size_t count) {
    return offset <= image.size && count <= image.size - offset;
}

uint32_t At(const Image &image, size_t offset, int count) {
    return Little(image.bytes + offset, count);
}

// The file offset of an address relative to the image, through the section
// whose bytes in the file hold it; false when none does.
bool FileOffset(const Image &image, uint32_t rva, size_t *offset) {
    for (uint32_t i = 0; i < image.sectionCount; ++i) {
        size_t entry = image.sectionTable + i * kSectionEntry;
        uint32_t address = At(image, entry + 12, 4);
        uint32_t rawSize = At(image, entry + 16, 4);
        uint32_t rawStart = At(image, entry + 20, 4);
        if (rva >= address && rva - address < rawSize) {
            uint64_t at = static_cast<uint64_t>(rawStart) + (rva - address);
            if (at >= image.size)
                return false;
            *offset = static_cast<size_t>(at);
            return true;
        }
    }
    return false;
}

// Finds the optional header's kind and the section table; false when the bytes
// are no PE32 or PE32+ image or its section table lies outside them.
bool Headers(Image *image, size_t *optional, uint32_t *magic) {
    if (!Inside(*image, 0, static_cast<size_t>(kNewHeaderField) + 4) || image->bytes[0] != 'M' ||
        image->bytes[1] != 'Z')
        return false;
    size_t pe = At(*image, static_cast<size_t>(kNewHeaderField), 4);
    if (!Inside(*image, pe, 26) || memcmp(image->bytes + pe, "PE\0\0", 4) != 0)
        return false;
    image->sectionCount = At(*image, pe + 6, 2);
    size_t optionalSize = At(*image, pe + 20, 2);
    *optional = pe + 24;
    *magic = At(*image, *optional, 2);
    image->sectionTable = *optional + optionalSize;
    return (*magic == kMagicPe32 || *magic == kMagicPe32Plus) &&
           image->sectionCount <= kMostSections &&
           Inside(*image, image->sectionTable, image->sectionCount * kSectionEntry);
}

// Finds the address of a data directory (0 the exports, 1 the imports); false
// when the image has none.
bool DataDirectory(Image *image, uint32_t index, uint32_t *rva) {
    size_t optional = 0;
    uint32_t magic = 0;
    if (!Headers(image, &optional, &magic))
        return false;
    size_t counted = optional + (magic == kMagicPe32 ? 92 : 108);
    size_t entry = counted + 4 + 8 * index;
    if (image->sectionTable < entry + 8 || !Inside(*image, entry, 8) ||
        At(*image, counted, 4) <= index)
        return false;
    *rva = At(*image, entry, 4);
    return *rva != 0;
}

// The NUL-terminated name at offset, as long as it ends within the image and
// the longest name a path may hold.
const char *NameAt(const Image &image, size_t offset) {
    size_t room = image.size - offset < kLongestName ? image.size - offset : kLongestName;
    const void *end = memchr(image.bytes + offset, '\0', room);
    if (end == nullptr || end == image.bytes + offset)
        return nullptr;
    return reinterpret_cast<const char *>(image.bytes + offset);
}

bool Listed(StringList list, const char *name) {
    for (StringList item = list; *item; ++item)
        if (StrCompareNoCase(*item, name) == 0)
            return true;
    return false;
}

} // namespace

StringList ImageImports(const unsigned char *bytes, size_t size) {
    StringList names = ListNew(0);
    Image image{bytes, size, 0, 0};
    uint32_t rva = 0;
    if (!DataDirectory(&image, 1, &rva))
        return names;
    // One descriptor after the other until the empty one; each is looked up
    // anew, since nothing says they lie in one piece of one section.
    for (int i = 0; i < kMostImports; ++i, rva += kImportEntry) {
        size_t entry = 0;
        if (!FileOffset(image, rva, &entry) || !Inside(image, entry, kImportEntry))
            break;
        uint32_t nameRva = At(image, entry + 12, 4);
        size_t nameAt = 0;
        if (nameRva == 0 || !FileOffset(image, nameRva, &nameAt))
            break;
        const char *name = NameAt(image, nameAt);
        if (name == nullptr)
            break;
        if (!Listed(names, name))
            ListAppend(&names, name);
    }
    return names;
}

namespace {

constexpr uint32_t kMostExportNames = 65536;
constexpr size_t kExportDirectory = 40;

// Whether the export address table (count entries at addresses) gives the
// function of that index an address, as GetProcAddress needs.
bool Exported(const Image &image, uint32_t addresses, uint32_t count, uint32_t index) {
    size_t at = 0;
    return index < count && FileOffset(image, addresses + 4 * index, &at) && Inside(image, at, 4) &&
           At(image, at, 4) != 0;
}

} // namespace

bool ImageExports(const unsigned char *bytes, size_t size, const char *name, uint32_t ordinal) {
    Image image{bytes, size, 0, 0};
    uint32_t rva = 0;
    size_t table = 0;
    if (!DataDirectory(&image, 0, &rva) || !FileOffset(image, rva, &table) ||
        !Inside(image, table, kExportDirectory))
        return false;
    uint32_t base = At(image, table + 16, 4);
    uint32_t functions = At(image, table + 20, 4);
    uint32_t names = At(image, table + 24, 4);
    uint32_t addresses = At(image, table + 28, 4);
    uint32_t nameAddresses = At(image, table + 32, 4);
    uint32_t nameOrdinals = At(image, table + 36, 4);
    if (ordinal != 0 && ordinal >= base && Exported(image, addresses, functions, ordinal - base))
        return true;
    // Names are matched as GetProcAddress matches them, letter case and all.
    for (uint32_t i = 0; i < names && i < kMostExportNames; ++i) {
        size_t nameEntry = 0;
        size_t nameAt = 0;
        size_t ordinalAt = 0;
        if (!FileOffset(image, nameAddresses + 4 * i, &nameEntry) || !Inside(image, nameEntry, 4) ||
            !FileOffset(image, At(image, nameEntry, 4), &nameAt))
            return false;
        const char *exported = NameAt(image, nameAt);
        if (exported == nullptr || strcmp(exported, name) != 0)
            continue;
        return FileOffset(image, nameOrdinals + 2 * i, &ordinalAt) && Inside(image, ordinalAt, 2) &&
               Exported(image, addresses, functions, At(image, ordinalAt, 2));
    }
    return false;
}

bool ImageWhole(const unsigned char *bytes, size_t size) {
    Image image{bytes, size, 0, 0};
    size_t optional = 0;
    uint32_t magic = 0;
    if (!Headers(&image, &optional, &magic))
        return false;
    // The loader maps a section's bytes up to its size in memory, and takes a
    // last sector of the file that is cut short as whole.
    uint64_t end = (static_cast<uint64_t>(size) + kSector - 1) / kSector * kSector;
    for (uint32_t i = 0; i < image.sectionCount; ++i) {
        size_t entry = image.sectionTable + i * kSectionEntry;
        uint32_t memorySize = At(image, entry + 8, 4);
        uint32_t rawSize = At(image, entry + 16, 4);
        uint32_t rawStart = At(image, entry + 20, 4);
        if (memorySize != 0 && memorySize < rawSize)
            rawSize = memorySize;
        if (rawSize != 0 && rawStart != 0 &&
            (rawStart >= size || static_cast<uint64_t>(rawStart) + rawSize > end))
            return false;
    }
    return true;
}

namespace {

// The file's first kImageReadLimit bytes (a heap block of *size bytes), or
// null when it cannot be opened or held in memory (which ends nothing: -all
// reads a file while a user's hive is loaded); *all tells whether that is the
// whole file.
unsigned char *ReadImage(const char *path, size_t *size, bool *all) {
    FILE *file = fopen(path, "rb");
    if (!file)
        return nullptr;
    long length = 0;
    if (fseek(file, 0, SEEK_END) == 0)
        length = ftell(file);
    if (length < 0 || fseek(file, 0, SEEK_SET) != 0)
        length = 0;
    *all = length <= kImageReadLimit;
    if (!*all)
        length = kImageReadLimit;
    auto *bytes = static_cast<unsigned char *>(malloc(static_cast<size_t>(length) + 1));
    *size = bytes ? fread(bytes, 1, static_cast<size_t>(length), file) : 0;
    fclose(file);
    return bytes;
}

} // namespace

StringList ModuleImports(const char *path) {
    size_t size = 0;
    bool all = false;
    unsigned char *bytes = ReadImage(path, &size, &all);
    if (!bytes)
        return ListNew(0);
    StringList names = ImageImports(bytes, size);
    free(bytes);
    return names;
}

bool ModuleWhole(const char *path) {
    size_t size = 0;
    bool all = false;
    unsigned char *bytes = ReadImage(path, &size, &all);
    // What cannot be read, or only in part, is not said to be damaged.
    bool whole = !bytes || !all || ImageWhole(bytes, size);
    free(bytes);
    return whole;
}

bool ModuleExports(const char *path, const char *name, uint32_t ordinal) {
    size_t size = 0;
    bool all = false;
    unsigned char *bytes = ReadImage(path, &size, &all);
    bool exported = bytes && ImageExports(bytes, size, name, ordinal);
    free(bytes);
    return exported;
}
