// The PE reader: the imported DLL names of any bytes, whether it exports the
// data-source entry and whether the image is whole, read from memory and from
// a file alike, and never from outside the bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/peheader.h"

#include "fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string path = ScratchFolder() + "/module";
    FILE *file = fopen(path.c_str(), "wb");
    FUZZ_CHECK(file && fwrite(data, 1, size, file) == size && fclose(file) == 0);
    StringList names = ImageImports(data, size);
    StringList read = ModuleImports(path.c_str());
    int count = ListCount(names);
    // Imports come only from a module's PE header, each name once.
    FUZZ_CHECK(ListCount(read) == count && (count == 0 || ModuleMachine(path.c_str()) >= 0));
    // Only a module can be whole.
    bool whole = ImageWhole(data, size);
    FUZZ_CHECK(ModuleWhole(path.c_str()) == whole && (!whole || ModuleMachine(path.c_str()) >= 0));
    // Only a module exports, read from memory as from its file.
    bool exported = ImageExports(data, size, "DS_Entry", 1);
    FUZZ_CHECK(ModuleExports(path.c_str(), "DS_Entry", 1) == exported &&
               (!exported || ModuleMachine(path.c_str()) >= 0));
    for (int i = 0; i < count; i++) {
        FUZZ_CHECK(strcmp(read[i], names[i]) == 0 && *names[i] && strlen(names[i]) < 256);
        for (int j = 0; j < i; j++)
            FUZZ_CHECK(StrCompareNoCase(names[i], names[j]) != 0);
    }
    ListFreeItems(read);
    free(read);
    ListFreeItems(names);
    free(names);
    return 0;
}
