#include "platform/Profile.h"

#include <gtest/gtest.h>

#include "tests/platform/TempDir.h"

namespace PLT {
namespace {

TEST(ProfileTest, ReadsIntegersLikeTheOriginalReader) {
    test::TempDir dir;
    const std::string path = dir / "Marlin.ini";
    test::WriteText(path,
                    "; settings\n"
                    "Active=99\n"  // before any section
                    "[Other]\n"
                    "Active=7\n"
                    "[  referencemanager ]\r\n"
                    "  ACTIVE = 1 ; on\r\n"
                    "Negative=-42\n"
                    "Plus=+8\n"
                    "Trailing=12abc\n"
                    "Words=abc\n"
                    "Empty=\n"
                    "Quoted=\"5\"\n"
                    "Huge=99999999999\n"
                    "Hex=0x10\n"
                    ";Commented=3\n"
                    "NoEquals\n"
                    "Dup=1\n"
                    "Dup=2\n"
                    "[Last]\n"
                    "Tail=17");
    struct Case {
        const char* section;
        const char* key;
        int expected;
    };
    const Case cases[] = {
        {"ReferenceManager", "Active", 1},
        {"Other", "Active", 7},
        {"ReferenceManager", "negative", -42},
        {"ReferenceManager", "Plus", 8},
        {"ReferenceManager", "Trailing", 12},
        {"ReferenceManager", "Words", 0},
        {"ReferenceManager", "Empty", -5},  // the default
        {"ReferenceManager", "Quoted", 5},
        {"ReferenceManager", "Huge", 2147483647},
        {"ReferenceManager", "Hex", 0},
        {"ReferenceManager", "Commented", -5},
        {"ReferenceManager", "NoEquals", -5},
        {"ReferenceManager", "Dup", 1},
        {"ReferenceManager", "Missing", -5},
        {"Missing", "Active", -5},
        {"Last", "Tail", 17},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetProfileInt(c.section, c.key, -5, path), c.expected) << c.section << "/" << c.key;
    }
    EXPECT_EQ(GetProfileInt("ReferenceManager", "Active", 3, dir / "absent.ini"), 3);
}

}  // namespace
}  // namespace PLT
