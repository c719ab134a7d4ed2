// The PE reader: the machine and the imported DLL names of any bytes, read
// from memory and from a file, never outside the bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/peheader.h"
#include "support/strings.h"

#include "fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    StringList names = ImageImports(data, size);
    int count = ListCount(names);
    FUZZ_CHECK(count <= 512);
    for (int i = 0; i < count; i++) {
        size_t length = strlen(names[i]);
        FUZZ_CHECK(length > 0 && length < 256);
        for (int j = 0; j < i; j++)
            FUZZ_CHECK(StrCompareNoCase(names[i], names[j]) != 0);
    }

    // The file's reader agrees with the reader of memory; imports come only
    // from a file with a PE header.
    std::string path = ScratchFolder() + "/module";
    FILE *file = fopen(path.c_str(), "wb");
    FUZZ_CHECK(file && fwrite(data, 1, size, file) == size && fclose(file) == 0);
    StringList read = ModuleImports(path.c_str());
    FUZZ_CHECK(ListCount(read) == count);
    for (int i = 0; i < count; i++)
        FUZZ_CHECK(strcmp(read[i], names[i]) == 0);
    FUZZ_CHECK(count == 0 || ModuleMachine(path.c_str()) >= 0);
    ListFreeItems(read);
    free(read);
    ListFreeItems(names);
    free(names);
    return 0;
}
