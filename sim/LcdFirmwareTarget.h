#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SimSerialDevice.h"
#include "VirtualClock.h"

namespace quennet {

// An NMEA 0183 sentence as the firmware writes it: "$", the body, "*", the
// XOR of the body's characters as two hex digits, CR, LF.
std::string NmeaSentence(const std::string& body, bool lowerCaseDigits = false);
// The same with a checksum that is off by one.
std::string NmeaSentenceBadChecksum(const std::string& body);

// The target firmware's side of the display capture. It watches the line for
// the command sentence $..COM,SCR*hh (with a correct checksum) and answers
// with a header sentence $..LCD,<width>,<height>*hh and one sentence
// $..PIX,<row>,<hex data>*hh per row, back to back at the line's rate. Each
// row carries two upper-case hex digits per 8 pixels, the leftmost pixel in
// the most significant bit.
//
// Every way a real board can go wrong is a switch below.
class LcdFirmwareTarget : public SimPeer, public TimeListener {
public:
    LcdFirmwareTarget(SimLine& line, int width = 128, int height = 64);
    ~LcdFirmwareTarget() override;
    LcdFirmwareTarget(const LcdFirmwareTarget&) = delete;
    LcdFirmwareTarget& operator=(const LcdFirmwareTarget&) = delete;

    // The display: lit pixels are true. Resizing clears it.
    void Resize(int width, int height);
    void SetPixel(int row, int column, bool lit);
    bool Pixel(int row, int column) const;
    int Width() const { return width_; }
    int Height() const { return height_; }
    // Fills the display with a pattern that differs in every row and column.
    void FillTestPattern();

    // --- how the answer is sent ----------------------------------------
    std::string talker = "QN";       // the two characters after "$"
    std::uint64_t answerDelayUs = 0; // from the command's LF to the first byte
    bool shuffleRows = false;        // rows in a random order (seeded)
    unsigned shuffleSeed = 1;
    // Raw bytes sent before the header (noise, terminal traffic).
    std::string noiseBeforeHeader;
    // Complete lines sent before the header (other sentences, early rows).
    std::vector<std::string> linesBeforeHeader;
    // A header with a wrong checksum goes out first, then the real one.
    bool badHeaderFirst = false;
    // The only header has a wrong checksum.
    bool badHeaderOnly = false;
    // Checksum digits in lower case (a-f) in the header, in the rows.
    bool lowerCaseHeader = false;
    bool lowerCaseRows = false;
    // The firmware does not answer at all.
    bool mute = false;
    // The header announces this text between "LCD," and "*" instead of the
    // display's size ("128,0", "-5,10", "200,100", "128").
    std::optional<std::string> headerFields;
    // A second header (with these fields) goes out after this many rows.
    int secondHeaderAfterRows = -1;
    std::string secondHeaderFields = "64,32";
    // Silence of gapMs before the row with this index in sending order.
    int gapBeforeRow = -1;
    int gapMs = 0;
    // A line of longLineChars characters without LF (then an LF) goes out
    // before the row with this index; -2 puts it before the header.
    int longLineBeforeRow = -1;
    int longLineChars = 120;
    // Rows actually sent; fewer than the height leaves the rest missing.
    int rowsToSend = -1;
    // Data field of every row replaced by this text (short or odd fields).
    std::optional<std::string> rowData;
    // The firmware never answers: it keeps printing other valid sentences
    // ($GPGGA...), one after another, for as long as the line runs.
    bool endlessChatter = false;

    // --- what it saw ----------------------------------------------------
    int CommandsReceived() const { return commands_; }
    // Bytes it has sent in answers, and their wire time at the line's rate.
    std::size_t BytesAnswered() const { return answered_; }
    std::uint64_t AnswerWireUs() const { return line_.WireTimeUs(answered_); }
    // Every line it received, CR LF stripped.
    const std::vector<std::string>& LinesReceived() const { return received_; }

    // The sentence body of one row as sent ("QNPIX,3,80...").
    std::string RowBody(int row) const;

    // SimPeer
    void OnBytes(SimLine& line, const std::uint8_t* bytes, std::size_t n,
                 std::uint64_t arrivalUs) override;
    // TimeListener: the endless chatter.
    std::optional<std::uint64_t> NextEventUs() const override;
    void OnTime(std::uint64_t nowUs) override;

private:
    void OnLine(const std::string& text, std::uint64_t atUs);
    void Answer(std::uint64_t atUs);
    void Send(const std::string& bytes, std::uint64_t notBeforeUs = 0);

    SimLine& line_;
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> pixels_;
    std::string pending_;
    std::vector<std::string> received_;
    int commands_ = 0;
    std::size_t answered_ = 0;
    std::uint64_t sendFreeUs_ = 0;  // when the transmitter is done with the last burst
    std::optional<std::uint64_t> nextChatterUs_;
    unsigned chatterCount_ = 0;
};

}  // namespace quennet
