#include "terminal/ButtonSet.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TempDir.h"
#include "core/IniFile.h"

namespace quennet {
namespace {

using testing::TempDir;
using testing::Slurp;

TEST(ButtonSetFileNameTest, ExtensionIsReplacedOrAppended) {
    EXPECT_EQ(ButtonSetFileName("a.txt"), "a.but");
    EXPECT_EQ(ButtonSetFileName("a"), "a.but");
    EXPECT_EQ(ButtonSetFileName("a.but"), "a.but");
    EXPECT_EQ(ButtonSetFileName("a.b.c"), "a.b.but");
    EXPECT_EQ(ButtonSetFileName("a."), "a.but");
    EXPECT_EQ(ButtonSetFileName("/home/u/sets.d/keys"), "/home/u/sets.d/keys.but");
    EXPECT_EQ(ButtonSetFileName("/home/u/sets.d/keys.BUT"), "/home/u/sets.d/keys.but");
    EXPECT_EQ(ButtonSetFileName("./x.txt"), "./x.but");
    EXPECT_EQ(ButtonSetFileName("/tmp/.hidden"), "/tmp/.hidden.but");
}

TEST(ButtonSetFileTest, SaveWritesKeysInOrderWithCrLf) {
    TempDir dir;
    ButtonSet set;
    set.hex = true;
    for (int i = 0; i < 8; ++i) {
        set.captions[static_cast<std::size_t>(i)] = "C" + std::to_string(i + 1);
        set.values[static_cast<std::size_t>(i)] = "V" + std::to_string(i + 1);
    }
    set.values[7] = "";
    SaveButtonSet(dir.File("k.but"), set);
    EXPECT_EQ(Slurp(dir.File("k.but")),
              "[Button]\r\nHex=1\r\nNMEA=0\r\n"
              "BC1=C1\r\nBC2=C2\r\nBC3=C3\r\nBC4=C4\r\nBC5=C5\r\nBC6=C6\r\nBC7=C7\r\nBC8=C8\r\n"
              "BV1=V1\r\nBV2=V2\r\nBV3=V3\r\nBV4=V4\r\nBV5=V5\r\nBV6=V6\r\nBV7=V7\r\nBV8=\r\n");
}

TEST(ButtonSetFileTest, RoundTripLosesOnlyOuterBlanksAndQuotes) {
    TempDir dir;
    ButtonSet set;
    set.hex = true;
    set.nmea = true;  // both: only a file can do this
    set.captions = {"  Reset  ", "\"quoted\"", "'single'", "A caption longer than sixteen",
                    "x=y", "", "\\", "'"};
    set.values = {"AT\\r\\n", "$ABC", "0A 1B", std::string(200, 'v'), " lead", "trail ",
                  "\"half", std::string(1500, 'w')};
    const std::string path = dir.File("rt.but");
    SaveButtonSet(path, set);
    const ButtonSet back = LoadButtonSet(path);
    EXPECT_TRUE(back.hex);
    EXPECT_TRUE(back.nmea);
    const std::array<std::string, 8> captions = {
        "Reset", "quoted", "single", "A caption longer than sixteen", "x=y", "", "\\", "'"};
    const std::array<std::string, 8> values = {
        "AT\\r\\n", "$ABC", "0A 1B", std::string(200, 'v'), "lead", "trail", "\"half",
        std::string(1500, 'w')};
    EXPECT_EQ(back.captions, captions);
    EXPECT_EQ(back.values, values);
}

TEST(ButtonSetFileTest, MissingFileGivesEmptySet) {
    TempDir dir;
    const ButtonSet set = LoadButtonSet(dir.File("none.but"));
    EXPECT_FALSE(set.hex);
    EXPECT_FALSE(set.nmea);
    for (const auto& c : set.captions) EXPECT_EQ(c, "");
    for (const auto& v : set.values) EXPECT_EQ(v, "");
}

TEST(ButtonSetFileTest, LoadReadsWhatOtherToolsWrite) {
    TempDir dir;
    const std::string path = dir.Write("hand.but",
                                     "; made by hand\n"
                                     "[other]\nBC1=wrong\n"
                                     "[button]\n"
                                     "hex = $1\n"
                                     "nmea=yes\n"
                                     "bc3=  Third  \n"
                                     "BV3='$GPRMC'\n"
                                     "BV4=" + std::string(2100, 'z') + "\n");
    const ButtonSet set = LoadButtonSet(path);
    EXPECT_TRUE(set.hex);
    EXPECT_FALSE(set.nmea);  // not a number: the default
    EXPECT_EQ(set.captions[0], "");
    EXPECT_EQ(set.captions[2], "Third");
    EXPECT_EQ(set.values[2], "$GPRMC");
    EXPECT_EQ(set.values[3], std::string(2047, 'z'));
}

TEST(ButtonSetFileTest, SaveIntoAnExistingFileKeepsOtherSections) {
    TempDir dir;
    const std::string path = dir.Write("mix.but",
                                     "[Notes]\r\nwho=me\r\n\r\n[Button]\r\nBV2=old\r\nExtra=kept\r\n");
    ButtonSet set;
    set.values[1] = "new";
    SaveButtonSet(path, set);
    EXPECT_EQ(Slurp(path),
              "[Notes]\r\nwho=me\r\n\r\n[Button]\r\nBV2=new\r\nExtra=kept\r\nHex=0\r\nNMEA=0\r\n"
              "BC1=\r\nBC2=\r\nBC3=\r\nBC4=\r\nBC5=\r\nBC6=\r\nBC7=\r\nBC8=\r\n"
              "BV1=\r\nBV3=\r\nBV4=\r\nBV5=\r\nBV6=\r\nBV7=\r\nBV8=\r\n");
    EXPECT_EQ(LoadButtonSet(path).values[1], "new");
}

TEST(ButtonSetFileTest, UnwritableFileRaisesTheWriteError) {
    TempDir dir;
    const std::string path = dir.File("missing-folder/set.but");
    try {
        SaveButtonSet(path, ButtonSet{});
        FAIL() << "no error";
    } catch (const IniWriteError& e) {
        EXPECT_STREQ(e.what(), ("Unable to write to " + path).c_str());
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace quennet
