// Listing templates: ExpandTemplate over a variable store filled from the input.
// The first line is the template; each further line name=value is stored.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/strings.h"
#include "support/variables.h"

#include "fuzzing.h"

namespace {

std::string Expand(const std::string &text) {
    char *result = ExpandTemplate(text.c_str());
    std::string expanded = result;
    free(result);
    return expanded;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text, settings, line;
    SplitAtLineFeed(InputText(data, size), &text, &settings);

    VarClear();
    int distinct = 0;
    while (!settings.empty()) {
        SplitAtLineFeed(settings, &line, &settings);
        size_t equals = line.find('=');
        std::string name = line.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
        distinct += !VarKnown(name.c_str());
        VarSet(name.c_str(), value.c_str());
    }
    // The store keeps at most its limit of names and drops the rest.
    FUZZ_CHECK(kVarLimit - VarRoom() == (distinct < kVarLimit ? distinct : kVarLimit));

    std::string expanded = Expand(text);
    if (text.find('%') == std::string::npos)
        FUZZ_CHECK(expanded == text);
    // Text before the first percent sign is copied as it is.
    std::string plain = text.substr(0, text.find('%'));
    FUZZ_CHECK(expanded.compare(0, plain.size(), plain) == 0);
    FUZZ_CHECK(Expand(plain + text) == plain + expanded);
    // A reference alone gives the value; doubled signs give one sign each.
    std::string name = text.substr(0, text.find('%'));
    if (!name.empty())
        FUZZ_CHECK(Expand("%" + name + "%") == VarGet(name.c_str()));
    FUZZ_CHECK(Expand("%%" + plain + "%%") == "%" + plain + "%");
    return 0;
}
