#include "firmware/SRecord.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "TempDir.h"

namespace quennet {
namespace {

using testing::TempDir;

// Builds one record line (no line end): type digit, count, address of
// addressBytes bytes, data, checksum. checksumDelta spoils the checksum.
std::string Record(char type, std::uint32_t address, int addressBytes,
                   const std::vector<std::uint8_t>& data, int checksumDelta = 0) {
    std::vector<std::uint8_t> body;
    body.push_back(static_cast<std::uint8_t>(data.size() + addressBytes + 1));
    for (int i = addressBytes - 1; i >= 0; --i)
        body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (auto b : body) sum += b;
    body.push_back(static_cast<std::uint8_t>(~sum + checksumDelta));
    std::string line = std::string("S") + type;
    char hex[3];
    for (auto b : body) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line;
}

std::string S1(std::uint16_t address, const std::vector<std::uint8_t>& data, int delta = 0) {
    return Record('1', address, 2, data, delta);
}
std::string S3(std::uint32_t address, const std::vector<std::uint8_t>& data, int delta = 0) {
    return Record('3', address, 4, data, delta);
}

std::vector<std::uint8_t> Ramp(std::size_t n, std::uint8_t first = 0) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
    return v;
}

// Number of bytes in the image that are not blank.
std::size_t DataBytes(const FirmwareImage& image) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < FirmwareImage::kDefaultSize; ++i) n += image[i] != 0xFF;
    return n;
}

class SRecordFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }
    int Load(const std::string& text) { return LoadSRecordFile(dir_.Write("f.srec", text), image_); }

    TempDir dir_;
    FirmwareImage image_;
};

TEST(FirmwareImage, StartsBlankAndFindsDataInClippedRanges) {
    FirmwareImage image;
    EXPECT_FALSE(image.HasData(0, FirmwareImage::kDefaultSize));
    image[0x2000] = 0x00;
    image[FirmwareImage::kDefaultSize - 1] = 0x7E;
    EXPECT_TRUE(image.HasData(0x2000, 1));
    EXPECT_FALSE(image.HasData(0x1000, 0x1000));  // ends just before the byte
    EXPECT_TRUE(image.HasData(0x1FFF, 2));
    EXPECT_TRUE(image.HasData(FirmwareImage::kDefaultSize - 8, 256));  // clipped at the end
    EXPECT_FALSE(image.HasData(FirmwareImage::kDefaultSize, 16));
    image.Erase();
    EXPECT_FALSE(image.HasData(0, FirmwareImage::kDefaultSize));
}

// --- the decoding helpers ----------------------------------------------------

TEST(SRecordHelpers, HexDigitValueReadsDigitsOfBothCasesAndNothingElse) {
    const char* upper = "0123456789ABCDEF";
    const char* lower = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(HexDigitValue(upper[i]), i) << upper[i];
        EXPECT_EQ(HexDigitValue(lower[i]), i) << lower[i];
    }
    for (char c : {'G', 'g', ' ', '\0', '/', ':', '@', '`', static_cast<char>(0xFF)})
        EXPECT_EQ(HexDigitValue(c), -1) << int{c};
}

TEST(SRecordHelpers, DecodeHexPairsWritesBytesInPlaceFromPositionZero) {
    std::uint8_t line[] = "S1050010A1B2C3";
    const std::size_t n = DecodeHexPairs(line, std::strlen(reinterpret_cast<char*>(line)));
    ASSERT_EQ(n, 6u);
    const std::uint8_t expected[] = {0x05, 0x00, 0x10, 0xA1, 0xB2, 0xC3};
    EXPECT_EQ(0, std::memcmp(line, expected, sizeof expected));
}

TEST(SRecordHelpers, DecodeHexPairsStopsAtLineEndNulAndLoneDigit) {
    {
        std::uint8_t line[] = "S1AB\nCD";
        EXPECT_EQ(DecodeHexPairs(line, 7), 1u);
        EXPECT_EQ(line[0], 0xAB);
    }
    {
        std::uint8_t line[] = "S1AB\n";  // the LF sits in the second pair's first place
        EXPECT_EQ(DecodeHexPairs(line, 5), 1u);
    }
    {
        std::uint8_t line[] = {'S', '1', 'A', 'B', 'C', '\0', 'D', 'E'};
        EXPECT_EQ(DecodeHexPairs(line, sizeof line), 1u);
    }
    {
        std::uint8_t line[] = "S1ABC";  // odd number of digits: the lone one is dropped
        EXPECT_EQ(DecodeHexPairs(line, 5), 1u);
        EXPECT_EQ(line[0], 0xAB);
    }
    {
        std::uint8_t line[] = "S";
        EXPECT_EQ(DecodeHexPairs(line, 1), 0u);
        EXPECT_EQ(DecodeHexPairs(line, 0), 0u);
    }
}

TEST(SRecordHelpers, CheckRecordSumAcceptsOnlyTheOnesComplement) {
    // S9030000FC: 03 + 00 + 00 = 03, complement FC.
    const std::uint8_t good[] = {0x03, 0x00, 0x00, 0xFC};
    EXPECT_EQ(CheckRecordSum(good, sizeof good), 0);
    const std::uint8_t offByOne[] = {0x03, 0x00, 0x00, 0xFD};
    EXPECT_EQ(CheckRecordSum(offByOne, sizeof offByOne), 1);
    // Bytes after the checksum position are not looked at.
    const std::uint8_t trailing[] = {0x03, 0x00, 0x00, 0xFC, 0x55};
    EXPECT_EQ(CheckRecordSum(trailing, sizeof trailing), 0);
    // The 8-bit sum wraps: FF + FF + 02 = 0x200 -> 00, complement FF.
    const std::uint8_t wrap[] = {0x03, 0xFF, 0xFE, 0xFF};
    EXPECT_EQ(CheckRecordSum(wrap, sizeof wrap), 0);
}

TEST(SRecordHelpers, CheckRecordSumNeverReadsPastTheDecodedBytes) {
    // The count claims 0x20 bytes; only 4 were decoded. Whatever follows in
    // memory would make the sum right: it must not be consulted.
    std::uint8_t buf[0x21] = {0x20, 0x00, 0x00, 0x00};
    unsigned sum = 0;
    for (int i = 0; i < 0x20; ++i) sum += buf[i];
    buf[0x20] = static_cast<std::uint8_t>(~sum);
    ASSERT_EQ(CheckRecordSum(buf, sizeof buf), 0);
    EXPECT_EQ(CheckRecordSum(buf, 4), 1);
    EXPECT_EQ(CheckRecordSum(buf, 0x20), 1);  // the checksum byte itself missing
    EXPECT_EQ(CheckRecordSum(buf, 0), 1);
}

// --- whole files ---------------------------------------------------------------

TEST_F(SRecordFileTest, CrLfFixtureOfS1RecordsLoadsAndSkipsTheEndRecord) {
    image_[0x2000] = 0x00;  // must be blank again after a successful load
    ASSERT_EQ(LoadSRecordFile(QUENNET_TEST_DATA "/srec/msp430_blink.s19", image_), kSRecOk);
    const std::uint8_t at1100[] = {0x31, 0x40, 0x00, 0x0A, 0xB2, 0x40, 0x80, 0x5A, 0x20, 0x01,
                                   0xD2, 0xD3, 0x22, 0x00, 0xD2, 0xE3, 0x21, 0x00, 0x3F, 0x40,
                                   0x50, 0xC3, 0x1F, 0x83, 0xFE, 0x23, 0xF9, 0x3F};
    EXPECT_EQ(0, std::memcmp(image_.data() + 0x1100, at1100, sizeof at1100));
    EXPECT_EQ(image_[0xFFFE], 0x00);
    EXPECT_EQ(image_[0xFFFF], 0x11);
    EXPECT_EQ(image_[0x10FF], 0xFF);
    EXPECT_EQ(image_[0x111C], 0xFF);
    EXPECT_EQ(image_[0x2000], 0xFF);
    EXPECT_EQ(DataBytes(image_), sizeof at1100 + 2);
}

TEST_F(SRecordFileTest, LfFixtureOfS3RecordsWithoutFinalLineEnd) {
    ASSERT_EQ(LoadSRecordFile(QUENNET_TEST_DATA "/srec/stm32_app.s37", image_), kSRecOk);
    const std::uint8_t vectors[] = {0x00, 0x50, 0x00, 0x20, 0x09, 0x01, 0x00, 0x08};
    EXPECT_EQ(0, std::memcmp(image_.data(), vectors, sizeof vectors));
    const std::uint8_t code[] = {0x70, 0x47, 0x00, 0xBF};
    EXPECT_EQ(0, std::memcmp(image_.data() + 0x100, code, sizeof code));
    EXPECT_EQ(DataBytes(image_), 8u + 4u);  // zero bytes are data too
}

TEST_F(SRecordFileTest, S9LastLineIsSkipped) {
    EXPECT_EQ(Load(S1(0x0200, {0xDE, 0xAD}) + "\nS9030000FC\n"), kSRecOk);
    EXPECT_EQ(image_[0x200], 0xDE);
    EXPECT_EQ(image_[0x201], 0xAD);
}

TEST_F(SRecordFileTest, EndRecordsDoNotEndTheReading) {
    EXPECT_EQ(Load("S9030000FC\n" + S1(0x10, {0x42}) + "\nS70508000000F2\n" +
                   S3(0x08000020, {0x43}) + "\n"),
              kSRecOk);
    EXPECT_EQ(image_[0x10], 0x42);
    EXPECT_EQ(image_[0x20], 0x43);
}

TEST_F(SRecordFileTest, S3AtFlashStartGoesToOffsetZero) {
    EXPECT_EQ(Load(S3(0x08000000, {0x12, 0x34}) + "\n"), kSRecOk);
    EXPECT_EQ(image_[0], 0x12);
    EXPECT_EQ(image_[1], 0x34);
    EXPECT_EQ(DataBytes(image_), 2u);
}

TEST_F(SRecordFileTest, S3CrossingTheImageEndKeepsWhatFitted) {
    EXPECT_EQ(Load(S3(0x0807FFFF, {0xA5, 0x5A}) + "\n"), kSRecOutsideImage);
    EXPECT_EQ(image_[0x7FFFF], 0xA5);
    EXPECT_EQ(DataBytes(image_), 1u);
}

TEST_F(SRecordFileTest, S3OutsideFlashFailsOnlyWhenItHasData) {
    EXPECT_EQ(Load(S3(0x00001000, {0x01}) + "\n"), kSRecOutsideImage);
    EXPECT_EQ(DataBytes(image_), 0u);
    EXPECT_EQ(Load(S3(0x00001000, {}) + "\n"), kSRecOk);  // count 5: no data
    EXPECT_EQ(Load(S3(0x08080000, {0x01}) + "\n"), kSRecOutsideImage);
    EXPECT_EQ(Load(S3(0x07FFFFFF, {0x01}) + "\n"), kSRecOutsideImage);
    EXPECT_EQ(Load(S3(0xFFFFFFFF, {0x01}) + "\n"), kSRecOutsideImage);
    EXPECT_EQ(DataBytes(image_), 0u);
}

TEST_F(SRecordFileTest, S1AtTopOfItsRangeFillsTheLastSixteenBytes) {
    EXPECT_EQ(Load(S1(0xFFF0, Ramp(16, 0x80)) + "\n"), kSRecOk);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(image_[0xFFF0 + i], 0x80 + i);
    EXPECT_EQ(image_[0x10000], 0xFF);
    EXPECT_EQ(DataBytes(image_), 16u);
}

TEST_F(SRecordFileTest, FailureKeepsBytesStoredBeforeIt) {
    EXPECT_EQ(Load(S1(0x100, {0x11, 0x22}) + "\n" + S1(0x200, {0x33}, 1) + "\n" +
                   S1(0x300, {0x44}) + "\n"),
              kSRecS1Checksum);
    EXPECT_EQ(image_[0x100], 0x11);
    EXPECT_EQ(image_[0x101], 0x22);
    EXPECT_EQ(image_[0x200], 0xFF);  // the bad record stores nothing
    EXPECT_EQ(image_[0x300], 0xFF);  // reading stopped there
}

TEST_F(SRecordFileTest, BlankLineAnywhereIsRefused) {
    const std::string good = S1(0x100, {0x01}) + "\n";
    EXPECT_EQ(Load("\n" + good), kSRecNotARecord);
    EXPECT_EQ(Load(good + "\n" + good), kSRecNotARecord);
    EXPECT_EQ(Load(good + "\n"), kSRecNotARecord);  // as the very last line
    EXPECT_EQ(Load(good + "\r\n"), kSRecNotARecord);
    EXPECT_EQ(Load(good + "  \n"), kSRecNotARecord);
    EXPECT_EQ(Load(good + "s1030100FB\n"), kSRecNotARecord);  // lower-case 's'
}

TEST_F(SRecordFileTest, EmptyOrBlankFileIsRefusedAsHoldingNoData) {
    for (const char* text : {"", "\n", "  \r\n\t\n", "\r"}) {
        image_[5] = 0;
        EXPECT_EQ(Load(text), kSRecNotARecord) << text;
        EXPECT_EQ(DataBytes(image_), 0u);
        const FirmwareFile f = ReadSRecords({reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)});
        EXPECT_EQ(f.problem, "holds no data");
    }
}

TEST_F(SRecordFileTest, ChecksumOffByOneGivesTheCodeOfItsType) {
    EXPECT_EQ(Load(Record('0', 0, 2, {'h', 'd', 'r'}, 1) + "\n"), kSRecS0Checksum);
    EXPECT_EQ(Load(S1(0x100, {1, 2, 3}, 1) + "\n"), kSRecS1Checksum);
    EXPECT_EQ(Load(S1(0x100, {1, 2, 3}, -1) + "\n"), kSRecS1Checksum);
    EXPECT_EQ(Load(S3(0x08000000, {1, 2, 3}, 1) + "\n"), kSRecS3Checksum);
    EXPECT_EQ(Load(Record('0', 0, 2, {'h', 'd', 'r'}) + "\n"), kSRecOk);
}

TEST_F(SRecordFileTest, CountAndEndRecordsAreCheckedAndOtherTypesRefused) {
    const std::string data = S1(0x10, {0x99}) + "\n" + S1(0x11, {0x98}) + "\n";
    const struct {
        std::string text;
        int code;
    } cases[] = {
        {data + Record('5', 2, 2, {}) + "\n" + Record('9', 0, 2, {}) + "\n", kSRecOk},
        {data + Record('6', 2, 3, {}) + "\n", kSRecOk},
        {Record('5', 0, 2, {}) + "\n" + data, kSRecOk},  // counts what came before it
        {data + Record('5', 3, 2, {}) + "\n", kSRecWrongCount},
        {data + Record('5', 1, 2, {}) + "\n", kSRecWrongCount},
        {data + Record('6', 0x010002, 3, {}) + "\n", kSRecWrongCount},
        {data + "S50200FD\n", kSRecWrongCount},  // too short to hold a count
        {data + Record('5', 2, 2, {}, 9) + "\n", kSRecOtherChecksum},
        {data + Record('9', 0, 2, {}, 1) + "\n", kSRecOtherChecksum},
        {data + Record('7', 0x08000000, 4, {}, 1) + "\n", kSRecOtherChecksum},
        {data + "S8GARBAGE\n", kSRecNotARecord},
        {data + Record('4', 0x10, 2, {0x42}) + "\n", kSRecNotARecord},
        {data + "S:030000FC\n", kSRecNotARecord},
        {data + "SX030000FC\n", kSRecNotARecord},
        {data + "S\n", kSRecNotARecord},
    };
    for (const auto& c : cases) EXPECT_EQ(Load(c.text), c.code) << c.text;
}

// What a reader refuses it names with its line; what it doubts it says.
TEST(SRecordReadTest, RefusalsNameTheLineAndAMissingEndRecordIsAWarning) {
    const std::string a = S1(0x10, {0x01}), b = S1(0x20, {0x02}), end = "S9030000FC";
    const std::string cutShort = "the file ends without an end record (S7, S8 or S9) after its data; it may be cut short";
    const struct {
        std::string text;
        std::string problem;  // empty: read
        std::vector<std::string> warnings;
    } cases[] = {
        // One digit slipped in: 62 A7 9A A8 would pass their checksum.
        {"S107100062A79AA89D2\n", "line 1: 1 characters after the record's checksum", {}},
        {a + b + "\n" + end + "\n", "line 1: 12 characters after the record's checksum", {}},
        {a + "\r" + b + "\r" + a + b + "\r", "line 3: 12 characters after the record's checksum", {}},
        {a + "\n" + "S4030000FC\n", "line 2: record type '4', which is none of S0 to S3 and S5 to S9", {}},
        {a + "\n" + "S:030000FC\n", "line 2: record type ':', which is none of S0 to S3 and S5 to S9", {}},
        {a + "\nS1030010 EC\n", "line 2: column 9: byte 0x20 is not a hex digit", {}},
        {a + "\n" + Record('5', 2, 2, {}) + "\n", "line 2: the S5 record counts 2 data records, the file has 1 "
                                                  "before it", {}},
        {a + "\n" + end + "\n", "", {}},
        {a + "\n" + b + "\n", "", {cutShort}},
        {end + "\n" + a + "\n", "", {cutShort}},
        {"S0030000FC\n", "", {cutShort}},
        {a + "\n" + end + "\n" + Record('5', 1, 2, {}) + "\n", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const FirmwareFile f = ReadSRecords({reinterpret_cast<const std::uint8_t*>(c.text.data()), c.text.size()});
        EXPECT_EQ(f.problem, c.problem);
        EXPECT_EQ(f.warnings, c.warnings);
    }
}

TEST_F(SRecordFileTest, S2DataCountFromTheImageStartLikeS1AndAreChecked) {
    EXPECT_EQ(Load(S1(0xFFFE, {0x01, 0x02}) + "\n" + Record('2', 0x010000, 3, {0x03, 0x04}) + "\n" +
                   Record('2', 0x07FFFF, 3, {0x05}) + "\n"),
              kSRecOk);
    EXPECT_EQ(image_[0xFFFE], 0x01);
    EXPECT_EQ(image_[0x10000], 0x03);
    EXPECT_EQ(image_[0x10001], 0x04);
    EXPECT_EQ(image_[0x7FFFF], 0x05);
    EXPECT_EQ(DataBytes(image_), 5u);
    EXPECT_EQ(Load(Record('2', 0x000100, 3, {0x77, 0x78}, 5) + "\n"), kSRecS2Checksum);
    EXPECT_EQ(Load(Record('2', 0x080000, 3, {0x77}) + "\n"), kSRecOutsideImage);
    EXPECT_EQ(Load(Record('2', 0x000100, 3, {}) + "\n"), kSRecOk);  // count 4: no data
}

TEST_F(SRecordFileTest, LowerCaseHexReadsAsTheSameBytes) {
    std::string lower = S1(0x1ABC, {0xAB, 0xCD, 0xEF});
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    lower[0] = 'S';
    EXPECT_EQ(Load(lower + "\n"), kSRecOk);
    EXPECT_EQ(image_[0x1ABC], 0xAB);
    EXPECT_EQ(image_[0x1ABD], 0xCD);
    EXPECT_EQ(image_[0x1ABE], 0xEF);
    EXPECT_EQ(DataBytes(image_), 3u);
}

TEST_F(SRecordFileTest, CrLfLfAndCrLineEndsAndBlanksAfterTheChecksumLoad) {
    const std::string a = S1(0x10, {0x01, 0x02});
    const std::string b = S3(0x08000020, {0x03});
    for (const std::string& text : {a + "\r\n" + b + "\r\n", a + "\n" + b + "\r\n", a + "\r\n" + b,
                                    a + "\r\n" + b + "\r", a + "\r" + b + "\r", a + "\r\r\n" + b + "\r\r\n",
                                    a + "  \t\n" + b + " \r\n"}) {
        EXPECT_EQ(Load(text), kSRecOk);
        EXPECT_EQ(image_[0x10], 0x01);
        EXPECT_EQ(image_[0x11], 0x02);
        EXPECT_EQ(image_[0x20], 0x03);
        EXPECT_EQ(DataBytes(image_), 3u);
    }
}

TEST_F(SRecordFileTest, LongestRecordsOfEachTypeLoad) {
    // Count 0xFF: 252 data bytes for S1, 250 for S3; 514 characters a line.
    const std::string s1 = S1(0x4000, Ramp(252, 1));
    const std::string s3 = S3(0x08010000, Ramp(250, 7));
    ASSERT_EQ(s1.size(), kSRecMaxLineChars);
    ASSERT_EQ(s3.size(), kSRecMaxLineChars);
    EXPECT_EQ(Load(s1 + "\r\n" + s3 + "\n"), kSRecOk);
    for (std::size_t i = 0; i < 252; ++i) ASSERT_EQ(image_[0x4000 + i], static_cast<std::uint8_t>(1 + i)) << i;
    for (std::size_t i = 0; i < 250; ++i) ASSERT_EQ(image_[0x10000 + i], static_cast<std::uint8_t>(7 + i)) << i;
    EXPECT_EQ(DataBytes(image_), 252u + 250u - 1u);  // 1 + 254 = 0xFF is blank
    // Lengths around 100 characters, where a short line buffer would split records.
    EXPECT_EQ(Load(S1(0x0, Ramp(46)) + "\n" + S1(0x100, Ramp(47)) + "\n" + S1(0x200, Ramp(128)) + "\n"),
              kSRecOk);
    EXPECT_EQ(image_[0x200 + 127], 127);
}

TEST_F(SRecordFileTest, LineLongerThanAnyRecordIsRefusedWithoutStoring) {
    // One character beyond the longest record: refused before any decoding.
    EXPECT_EQ(Load(S1(0x4000, Ramp(252, 1)) + "0\n"), kSRecNotARecord);
    EXPECT_EQ(DataBytes(image_), 0u);
    EXPECT_EQ(Load(S1(0x4000, Ramp(252, 1)) + "0\r\n"), kSRecNotARecord);
    EXPECT_EQ(Load("S1" + std::string(100000, '0') + "\n"), kSRecNotARecord);
    EXPECT_EQ(Load("S1" + std::string(100000, '0')), kSRecNotARecord);  // and no line end
    EXPECT_EQ(Load("S5" + std::string(600, '0') + "\n"), kSRecNotARecord);
}

TEST_F(SRecordFileTest, CountBeyondTheLineFailsWithTheChecksumCodeOfItsType) {
    // Correct sums over what is there, but the count claims 0x20 bytes.
    EXPECT_EQ(Load("S0200000\n"), kSRecS0Checksum);
    EXPECT_EQ(Load("S1200100AA34\n"), kSRecS1Checksum);
    EXPECT_EQ(Load("S320080000001122\n"), kSRecS3Checksum);
    EXPECT_EQ(Load("S1FF\n"), kSRecS1Checksum);
    EXPECT_EQ(DataBytes(image_), 0u);
    // The same count with a line that stops right before the checksum.
    const std::string full = S1(0x100, Ramp(5));
    EXPECT_EQ(Load(full.substr(0, full.size() - 2) + "\n"), kSRecS1Checksum);
    EXPECT_EQ(Load(full.substr(0, full.size() - 1) + "\n"), kSRecS1Checksum);  // odd digits
}

TEST_F(SRecordFileTest, CountsTooSmallForTheAddressHoldNoData) {
    image_[0x1234] = 0x00;
    EXPECT_EQ(Load("S101FE\n"), kSRecOk);        // count 1: 01 -> FE
    EXPECT_EQ(Load("S10212EB\n"), kSRecOk);      // count 2: 02+12 -> EB sits where the address ends
    EXPECT_EQ(Load("S1031234B6\n"), kSRecOk);    // count 3: the address alone
    EXPECT_EQ(Load("S3031234B6\n"), kSRecOk);    // S3 count 3
    EXPECT_EQ(Load("S304080000F3\n"), kSRecOk);  // S3 count 4: address cut short
    EXPECT_EQ(Load(S3(0x08000000, {}) + "\n"), kSRecOk);
    EXPECT_EQ(DataBytes(image_), 0u);
    // Count 0 puts the checksum on the count byte itself, which never matches.
    EXPECT_EQ(Load("S100FF\n"), kSRecS1Checksum);
    EXPECT_EQ(Load("S100\n"), kSRecS1Checksum);
    EXPECT_EQ(Load("S300FF\n"), kSRecS3Checksum);
}

TEST_F(SRecordFileTest, NulBytesNeverCrashAndAreRefused) {
    EXPECT_EQ(Load(std::string("\0S1030100FB\n", 12)), kSRecNotARecord);
    EXPECT_EQ(Load(std::string("S1030100\0FB\n", 12)), kSRecNotARecord);
    EXPECT_EQ(Load(S1(0x42, {0x24}) + "\n" + std::string("S9\0\0\0\n", 6)), kSRecNotARecord);
    EXPECT_EQ(image_[0x42], 0x24);
}

TEST_F(SRecordFileTest, MissingFileLeavesTheImageUntouched) {
    image_[0x1234] = 0x56;
    EXPECT_EQ(LoadSRecordFile(dir_.File("no-such-file.s19"), image_), kSRecCannotOpen);
    EXPECT_EQ(LoadSRecordFile("", image_), kSRecCannotOpen);
    EXPECT_EQ(LoadSRecordFile(dir_.path().string(), image_), kSRecCannotOpen);  // a directory
    EXPECT_EQ(image_[0x1234], 0x56);
    EXPECT_EQ(DataBytes(image_), 1u);
}

TEST_F(SRecordFileTest, EverySuccessfulOpenStartsFromBlank) {
    ASSERT_EQ(Load(S1(0x100, {0x01}) + "\n"), kSRecOk);
    // A second file that fails still starts from blank: the first one's byte is gone.
    ASSERT_EQ(Load(S1(0x200, {0x02}) + "\n" + "junk\n"), kSRecNotARecord);
    EXPECT_EQ(image_[0x100], 0xFF);
    EXPECT_EQ(image_[0x200], 0x02);
}

}  // namespace
}  // namespace quennet
