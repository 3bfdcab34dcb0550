#include "core/IniFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

namespace quennet {
namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("quennet-ini-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }

    std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

    void Put(const std::string& name, const std::string& content) const {
        std::ofstream out(PathOf(name), std::ios::binary);
        out << content;
    }
    std::string Get(const std::string& name) const {
        std::ifstream in(PathOf(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    fs::path dir_;
};

TEST_F(IniFileTest, MissingFileReadsDefaults) {
    IniFile ini(PathOf("none.ini"));
    EXPECT_EQ(ini.ReadString("Form", "Top", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadInteger("Form", "Top", 100), 100);
    EXPECT_TRUE(ini.ReadBool("Form", "InitMax", true));
    EXPECT_FALSE(ini.ReadBool("Form", "InitMax", false));
    EXPECT_EQ(ini.Path(), PathOf("none.ini"));
}

TEST_F(IniFileTest, ReadsValuesWithClassicRules) {
    Put("a.ini",
        "[Button]\r\n"
        "BC1=  padded  \r\n"
        "BC2=\"quoted text\"\r\n"
        "BC3='single'\r\n"
        "BC4=\"mismatched'\r\n"
        "BC5=\"\r\n"
        "BC6=\" keep inner blanks \"\r\n"
        "BC7=a=b\r\n"
        "BC8=\t\r\n"
        "  BV1  =  spaced key\r\n");
    IniFile ini(PathOf("a.ini"));
    EXPECT_EQ(ini.ReadString("Button", "BC1", "x"), "padded");
    EXPECT_EQ(ini.ReadString("Button", "BC2", "x"), "quoted text");
    EXPECT_EQ(ini.ReadString("Button", "BC3", "x"), "single");
    EXPECT_EQ(ini.ReadString("Button", "BC4", "x"), "\"mismatched'");
    EXPECT_EQ(ini.ReadString("Button", "BC5", "x"), "\"");
    EXPECT_EQ(ini.ReadString("Button", "BC6", "x"), " keep inner blanks ");
    EXPECT_EQ(ini.ReadString("Button", "BC7", "x"), "a=b");
    EXPECT_EQ(ini.ReadString("Button", "BC8", "x"), "");
    EXPECT_EQ(ini.ReadString("Button", "BV1", "x"), "spaced key");
}

TEST_F(IniFileTest, LookupIgnoresCaseAndKeepsSectionsApart) {
    Put("a.ini",
        "; comment=not a key\n"
        "orphan=before any section\n"
        "[Form]\n"
        "Top=1\n"
        "top=2\n"
        "[PROG]\n"
        "File=/tmp/x.s19\n"
        "[Terminal]\n"
        "Top=3\n");
    IniFile ini(PathOf("a.ini"));
    EXPECT_EQ(ini.ReadInteger("form", "TOP", -1), 1);  // first occurrence wins
    EXPECT_EQ(ini.ReadString("Prog", "file", ""), "/tmp/x.s19");
    EXPECT_EQ(ini.ReadInteger("Terminal", "Top", -1), 3);
    EXPECT_EQ(ini.ReadString("Prog", "Top", "none"), "none");
    EXPECT_EQ(ini.ReadString("", "orphan", "none"), "none");
    EXPECT_EQ(ini.ReadString("Form", "; comment", "none"), "none");
}

TEST_F(IniFileTest, ValueIsCappedAt2047Characters) {
    const std::string longValue(3000, 'v');
    Put("a.ini", "[S]\nK=" + longValue + "\nL=\"" + std::string(2047, 'q') + "x\"\n");
    IniFile ini(PathOf("a.ini"));
    EXPECT_EQ(ini.ReadString("S", "K", ""), std::string(2047, 'v'));
    // The quotes go first, then the cap applies to what is left.
    EXPECT_EQ(ini.ReadString("S", "L", ""), std::string(2047, 'q'));
}

TEST_F(IniFileTest, IntegersOnlyWhenTheWholeValueIsANumber) {
    Put("a.ini",
        "[N]\n"
        "dec=42\n"
        "neg=-5\n"
        "plus=+7\n"
        "dollar=$1F\n"
        "hex=0x1f\n"
        "HEX=0X1F\n"
        "neghex=-$10\n"
        "blank=  12  \n"
        "quoted=\"13\"\n"
        "trail=12abc\n"
        "empty=\n"
        "bare=$\n"
        "barex=0x\n"
        "sign=-\n"
        "badhex=$1G\n"
        "inner=1 2\n"
        "huge=99999999999999999999999\n"
        "color=12632256\n"
        "zero=0\n");
    IniFile ini(PathOf("a.ini"));
    EXPECT_EQ(ini.ReadInteger("N", "dec", 0), 42);
    EXPECT_EQ(ini.ReadInteger("N", "neg", 0), -5);
    EXPECT_EQ(ini.ReadInteger("N", "plus", 0), 7);
    EXPECT_EQ(ini.ReadInteger("N", "dollar", 0), 31);
    EXPECT_EQ(ini.ReadInteger("N", "hex", 0), 31);
    EXPECT_EQ(ini.ReadInteger("N", "Hex", 0), 31);  // same key, first line
    EXPECT_EQ(ini.ReadInteger("N", "neghex", 0), -16);
    EXPECT_EQ(ini.ReadInteger("N", "blank", 0), 12);
    EXPECT_EQ(ini.ReadInteger("N", "quoted", 0), 13);
    EXPECT_EQ(ini.ReadInteger("N", "trail", -99), -99);
    EXPECT_EQ(ini.ReadInteger("N", "empty", -99), -99);
    EXPECT_EQ(ini.ReadInteger("N", "bare", -99), -99);
    EXPECT_EQ(ini.ReadInteger("N", "barex", -99), -99);
    EXPECT_EQ(ini.ReadInteger("N", "sign", -99), -99);
    EXPECT_EQ(ini.ReadInteger("N", "badhex", -99), -99);
    EXPECT_EQ(ini.ReadInteger("N", "inner", -99), -99);
    EXPECT_EQ(ini.ReadInteger("N", "huge", -99), -99);
    EXPECT_EQ(ini.ReadInteger("N", "color", 0), 0xC0C0C0);
    EXPECT_EQ(ini.ReadInteger("N", "missing", 77), 77);

    EXPECT_TRUE(ini.ReadBool("N", "neg", false));
    EXPECT_TRUE(ini.ReadBool("N", "dollar", false));
    EXPECT_FALSE(ini.ReadBool("N", "zero", true));
    EXPECT_TRUE(ini.ReadBool("N", "trail", true));
    EXPECT_FALSE(ini.ReadBool("N", "trail", false));
}

TEST_F(IniFileTest, ParseIntegerLimits) {
    long long v = 0;
    EXPECT_TRUE(ParseIniInteger("9223372036854775807", v));
    EXPECT_EQ(v, std::numeric_limits<long long>::max());
    EXPECT_TRUE(ParseIniInteger("-9223372036854775808", v));
    EXPECT_EQ(v, std::numeric_limits<long long>::min());
    EXPECT_FALSE(ParseIniInteger("9223372036854775808", v));
    EXPECT_FALSE(ParseIniInteger("$10000000000000000", v));
    EXPECT_FALSE(ParseIniInteger("", v));
    EXPECT_FALSE(ParseIniInteger("--1", v));
}

TEST_F(IniFileTest, NewFileIsWrittenWithCrLfInWriteOrder) {
    IniFile ini(PathOf("new.ini"));
    ini.WriteInteger("Form", "Top", 100);
    ini.WriteInteger("Form", "Left", -3);
    ini.WriteBool("Form", "InitMax", true);
    ini.WriteString("Terminal", "Baud", "115200");
    ini.WriteBool("Terminal", "Open", false);
    ini.WriteString("Form", "Width", "850");
    EXPECT_EQ(Get("new.ini"),
              "[Form]\r\nTop=100\r\nLeft=-3\r\nInitMax=1\r\nWidth=850\r\n"
              "\r\n[Terminal]\r\nBaud=115200\r\nOpen=0\r\n");
    EXPECT_EQ(ini.ReadInteger("Form", "Left", 0), -3);
    EXPECT_TRUE(ini.ReadBool("Form", "InitMax", false));
    EXPECT_FALSE(ini.ReadBool("Terminal", "Open", true));
}

TEST_F(IniFileTest, EditKeepsEveryOtherLineAndTheLineEndStyle) {
    const std::string before =
        "; settings\n"
        "[Form]\n"
        "Top=1\n"
        "  left = 2  \n"
        "\n"
        "[Prog]\n"
        "File=a.s19\n"
        "top=kept\n";
    Put("a.ini", before);
    IniFile ini(PathOf("a.ini"));
    ini.WriteInteger("form", "LEFT", 20);    // replaced in place, key as given
    ini.WriteInteger("Form", "Height", 554);  // after the section's last key
    ini.WriteString("Prog", "Verify", "1");  // at the end of the last section
    ini.WriteString("Font", "Name", "Terminal");  // new section at the end
    EXPECT_EQ(Get("a.ini"),
              "; settings\n"
              "[Form]\n"
              "Top=1\n"
              "LEFT=20\n"
              "Height=554\n"
              "\n"
              "[Prog]\n"
              "File=a.s19\n"
              "top=kept\n"
              "Verify=1\n"
              "\n"
              "[Font]\n"
              "Name=Terminal\n");
}

TEST_F(IniFileTest, EditOfCrLfFileWithoutFinalLineEnd) {
    Put("a.ini", "[Button]\r\nHex=0\r\nBC1=x");
    IniFile ini(PathOf("a.ini"));
    ini.WriteString("Button", "BC2", "y");
    EXPECT_EQ(Get("a.ini"), "[Button]\r\nHex=0\r\nBC1=x\r\nBC2=y\r\n");
    ini.WriteString("Button", "hex", "1");
    EXPECT_EQ(Get("a.ini"), "[Button]\r\nhex=1\r\nBC1=x\r\nBC2=y\r\n");
}

TEST_F(IniFileTest, LoneCrAtTheEndEndsTheLastLine) {
    Put("a.ini", "[Terminal]\r\nBits=3\r\nComIndex=2\r");
    IniFile ini(PathOf("a.ini"));
    EXPECT_EQ(ini.ReadInteger("Terminal", "ComIndex", -1), 2);
    EXPECT_EQ(ini.ReadString("Terminal", "ComIndex", ""), "2");
    ini.WriteString("Terminal", "Baud", "9600");
    EXPECT_EQ(ini.ReadInteger("Terminal", "ComIndex", -1), 2) << "still one line after an edit";
    EXPECT_EQ(ini.ReadString("Terminal", "Baud", ""), "9600");
}

TEST_F(IniFileTest, EmptyExistingFileGetsTheSection) {
    Put("a.ini", "");
    IniFile ini(PathOf("a.ini"));
    ini.WriteString("S", "K", "v");
    EXPECT_EQ(Get("a.ini"), "[S]\r\nK=v\r\n");
}

TEST_F(IniFileTest, RoundTripOfTextsLosesOnlyOuterBlanksAndQuotes) {
    IniFile ini(PathOf("rt.ini"));
    const std::string texts[] = {"plain", "  both ends  ", "\"quoted\"", "'single'",
                                 "with = sign", "semi;colon", "$ABC*40", "a\\b",
                                 std::string(300, 'L')};
    const std::string expected[] = {"plain", "both ends", "quoted", "single", "with = sign",
                                    "semi;colon", "$ABC*40", "a\\b", std::string(300, 'L')};
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        ini.WriteString("T", "K" + std::to_string(i), texts[i]);
    }
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        EXPECT_EQ(ini.ReadString("T", "K" + std::to_string(i), "?"), expected[i]) << i;
    }
}

TEST_F(IniFileTest, LineBreaksInsideAValueCannotSplitTheFile) {
    IniFile ini(PathOf("a.ini"));
    ini.WriteString("S", "K", "one\r\n[Evil]\nX=1");
    EXPECT_EQ(ini.ReadString("S", "K", ""), "one  [Evil] X=1");
    EXPECT_EQ(ini.ReadString("Evil", "X", "none"), "none");
}

TEST_F(IniFileTest, MissingFolderThrowsWithExactMessage) {
    const std::string path = PathOf("no/such/folder/x.ini");
    IniFile ini(path);
    try {
        ini.WriteString("S", "K", "v");
        FAIL() << "no error";
    } catch (const IniWriteError& e) {
        EXPECT_STREQ(e.what(), ("Unable to write to " + path).c_str());
        EXPECT_EQ(e.Path(), path);
    }
}

TEST_F(IniFileTest, UnwritableFolderThrows) {
    // Nobody, not even root, can create a file here.
    IniFile ini("/proc/quennet-test.ini");
    EXPECT_THROW(ini.WriteInteger("S", "K", 1), IniWriteError);
    try {
        ini.WriteInteger("S", "K", 1);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unable to write to /proc/quennet-test.ini");
    }
}

TEST_F(IniFileTest, ReadOnlyFileIsLeftIntact) {
    const std::string before = "[S]\r\nK=old\r\n";
    Put("ro.ini", before);
    fs::permissions(PathOf("ro.ini"), fs::perms::owner_read | fs::perms::group_read |
                                          fs::perms::others_read);
    IniFile ini(PathOf("ro.ini"));
    EXPECT_THROW(ini.WriteString("S", "K", "new"), IniWriteError);
    EXPECT_THROW(ini.WriteString("S", "Other", "new"), IniWriteError);
    EXPECT_EQ(Get("ro.ini"), before);
    EXPECT_EQ(ini.ReadString("S", "K", ""), "old");
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(IniFileTest, FolderInPlaceOfTheFileThrows) {
    fs::create_directory(PathOf("dir.ini"));
    IniFile ini(PathOf("dir.ini"));
    EXPECT_EQ(ini.ReadString("S", "K", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadInteger("S", "K", 5), 5);
    EXPECT_THROW(ini.WriteString("S", "K", "v"), IniWriteError);
    EXPECT_TRUE(fs::is_directory(PathOf("dir.ini")));
}

TEST_F(IniFileTest, WriteKeepsPermissionsAndLeavesNoTemporaryFiles) {
    Put("a.ini", "[S]\nK=1\n");
    fs::permissions(PathOf("a.ini"), fs::perms::owner_read | fs::perms::owner_write);
    IniFile ini(PathOf("a.ini"));
    for (int i = 0; i < 5; ++i) ini.WriteInteger("S", "K", i);
    EXPECT_EQ(Get("a.ini"), "[S]\nK=4\n");
#ifndef _WIN32  // Windows files have a read-only flag, no permission bits
    EXPECT_EQ(fs::status(PathOf("a.ini")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(IniFileTest, WriteThroughALinkChangesTheLinkedFile) {
#ifdef _WIN32
    GTEST_SKIP() << "the MinGW C++ library cannot make symbolic links";
#endif
    Put("real.ini", "[S]\nK=1\n");
    fs::create_symlink(PathOf("real.ini"), PathOf("link.ini"));
    IniFile ini(PathOf("link.ini"));
    ini.WriteInteger("S", "K", 2);
    EXPECT_TRUE(fs::is_symlink(PathOf("link.ini")));
    EXPECT_EQ(Get("real.ini"), "[S]\nK=2\n");
}

}  // namespace
}  // namespace quennet
