// JSON strings for the machine-readable listing.
#include "support/json.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

static std::string Json(const std::string &text) {
    char *json = JsonString(text.c_str());
    std::string out = json;
    free(json);
    return out;
}

TEST(Json, EscapesWhatJsonRequiresAndKeepsValidUtf8) {
    const struct {
        std::string text, json;
    } cases[] = {
        {"", R"("")"},
        {"Flatbed Pro", R"("Flatbed Pro")"},
        {"a\"b\\c|d", R"("a\"b\\c|d")"},
        {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {"\x01\x1F\x7F", R"("\u0001\u001F\u007F")"},
        // C1 controls and valid sequences of two, three and four bytes.
        {"\xC2\x80 \xC2\x9F \xC2\xA0 \xC3\xA9", "\"\\u0080 \\u009F \xC2\xA0 \xC3\xA9\""},
        {"\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xE2\x82\xAC\xF0\x9F\x98\x80\""},
        // Stray, overlong, surrogate and out-of-range bytes become U+FFFD each.
        {"a\xE9z", "\"a\xEF\xBF\xBDz\""},
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Json(c.text), c.json) << c.text;
}

TEST(Json, WorstCaseFitsItsBuffer) {
    // Every byte a control: six characters each (checked by the sanitizers).
    std::string controls(1000, '\x01');
    EXPECT_EQ(Json(controls).size(), 6000u + 2);
}
