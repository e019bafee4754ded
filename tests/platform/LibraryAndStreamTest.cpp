#include <gtest/gtest.h>

#include <cerrno>

#include "platform/DynamicLibrary.h"
#include "platform/File.h"
#include "platform/Xattr.h"
#include "tests/platform/TempDir.h"

namespace PLT {
namespace {

TEST(DynamicLibraryTest, OpensFindsSymbolsAndReportsErrors) {
    DynamicLibrary library;
    EXPECT_FALSE(library.Open("/nonexistent/libnothing.so"));
    EXPECT_FALSE(library.IsOpen());
    EXPECT_NE(library.Error().find("libnothing"), std::string::npos) << library.Error();

    ASSERT_TRUE(library.Open("libm.so.6")) << library.Error();
    using Fn = double (*)(double);
    auto cosine = reinterpret_cast<Fn>(library.Symbol("cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(library.Symbol("no_such_symbol_here"), nullptr);
    EXPECT_NE(library.Error().find("no_such_symbol_here"), std::string::npos) << library.Error();
    library.Close();
    EXPECT_FALSE(library.IsOpen());
    EXPECT_EQ(library.Symbol("cos"), nullptr);
}

TEST(XattrTest, StreamsRoundTripOrFailQuietly) {
    test::TempDir dir;
    const std::string path = dir / "big.bf";
    test::WriteText(path, "x");
    std::string value = "stale";
    EXPECT_FALSE(ReadStream(dir / "absent", "P4Client.stream", &value));
    EXPECT_TRUE(value.empty());
    if (!WriteStream(path, "P4Client.stream", "client-name")) {
        GTEST_SKIP() << "no user extended attributes here: " << ErrorText(LastError());
    }
    ASSERT_TRUE(ReadStream(path, "P4Client.stream", &value));
    EXPECT_EQ(value, "client-name");
    ASSERT_TRUE(WriteStream(path, "P4Client.stream", std::string("a\0b", 3)));
    ASSERT_TRUE(ReadStream(path, "P4Client.stream", &value));
    EXPECT_EQ(value, std::string("a\0b", 3));
    EXPECT_FALSE(ReadStream(path, "Other.stream", &value));
    EXPECT_EQ(LastError(), ENODATA);
}

}  // namespace
}  // namespace PLT
