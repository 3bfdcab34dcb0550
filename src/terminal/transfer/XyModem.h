#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "terminal/transfer/ReceivedFile.h"
#include "terminal/transfer/Transfer.h"

namespace quennet {

// The block protocols: XMODEM with 128-byte blocks (checksum or CRC-16, as
// the receiver asks), XMODEM-1K (1024-byte blocks, CRC-16), and YMODEM
// batch (block 0 with name, size and date before each file, an empty block
// 0 after the last).
enum class BlockProtocol { Xmodem, Xmodem1K, Ymodem };

namespace xymodem {
constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kSub = 0x1A;
constexpr std::uint8_t kCrcStart = 'C';
constexpr int kRetries = 10;
constexpr std::uint64_t kNoPeerMs = 60000;     // nobody at the start
constexpr std::uint64_t kAckTimeoutMs = 10000; // a block unanswered
constexpr std::uint64_t kCharTimeoutMs = 1000; // a gap inside a block
constexpr std::uint64_t kCrcStartEveryMs = 3000;
constexpr std::uint64_t kNakStartEveryMs = 10000;
constexpr int kCrcStartTries = 3;              // then XMODEM falls back to checksum
}  // namespace xymodem

class BlockSender : public Transfer {
public:
    // XMODEM sends the first file only; YMODEM sends them all in one batch.
    BlockSender(BlockProtocol protocol, std::vector<std::filesystem::path> files);

protected:
    void OnBytes(const std::uint8_t* data, std::size_t n) override;
    void OnPoll() override;
    void OnEnd() override;

private:
    enum class State { WaitStart, WaitAck, WaitDataStart, WaitEotAck };

    void OnByte(std::uint8_t b);
    void StartNextFile();  // block 0, or the first data block
    void SendHeaderBlock();
    bool SendDataBlock();  // false at the end of the file
    void SendBlock(std::uint8_t seq, const std::vector<std::uint8_t>& data);
    void Resend();
    void Acked();

    BlockProtocol protocol_;
    std::vector<std::filesystem::path> files_;
    std::size_t fileIndex_ = 0;
    std::ifstream in_;
    std::uint64_t fileSize_ = 0;
    State state_ = State::WaitStart;
    bool crc_ = true;
    bool started_ = false;        // the receiver has asked at least once
    bool headerBlock_ = false;    // the block in flight is block 0
    bool batchEnd_ = false;       // ... the empty block 0
    std::uint8_t seq_ = 1;
    std::vector<std::uint8_t> block_;  // the last block, framed, for resending
    std::uint64_t blockBytes_ = 0;     // file bytes in it
    std::uint64_t sent_ = 0;           // file bytes acknowledged
    int errors_ = 0;
    int cans_ = 0;
    std::uint64_t startMs_ = 0;
    bool timing_ = false;
    bool startedThisChunk_ = false;  // more start requests in it are stale
};

class BlockReceiver : public Transfer {
public:
    BlockReceiver(BlockProtocol protocol, ReceiveTarget target);

protected:
    void OnBytes(const std::uint8_t* data, std::size_t n) override;
    void OnPoll() override;
    void OnAnswer(ExistingFileChoice choice) override;
    void OnEnd() override;

private:
    enum class State { Starting, Header, Body, Purge, Asking };

    void OnByte(std::uint8_t b);
    void BlockComplete();
    void Nak();
    void Error();
    void StartRequest();
    void FileHeader(const std::uint8_t* data, std::size_t n);
    void FileEnd();
    void Accept(std::uint8_t seq);
    void Fail(const std::string& why);

    BlockProtocol protocol_;
    ReceivedFile file_;
    State state_ = State::Starting;
    bool crc_ = true;
    bool batch_;
    bool inFile_ = false;       // between block 0 (or the start) and the EOT
    bool gotData_ = false;      // any block seen since the last start request
    int startTries_ = 0;
    std::uint64_t startedMs_ = 0;
    bool timing_ = false;
    std::uint8_t expected_ = 1;
    std::vector<std::uint8_t> block_;
    std::size_t need_ = 0;
    std::uint64_t lastByteMs_ = 0;
    int errors_ = 0;
    bool eotOnce_ = false;
    bool nakPending_ = false;   // our last answer to a block was NAK
    int cans_ = 0;
    std::uint64_t received_ = 0;  // bytes of this file acknowledged, padding included
};

}  // namespace quennet
