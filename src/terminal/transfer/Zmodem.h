#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "terminal/transfer/ReceivedFile.h"
#include "terminal/transfer/Transfer.h"
#include "terminal/transfer/ZmodemFrames.h"

namespace quennet {

namespace zmodem {
constexpr int kRetries = 10;
constexpr std::uint64_t kNoPeerMs = 60000;
constexpr std::uint64_t kAnswerTimeoutMs = 10000;
constexpr std::size_t kBlock = 1024;  // data bytes per subpacket
}  // namespace zmodem

// Sends files by ZMODEM: streams 1024-byte subpackets with CRC-32 when the
// receiver can check it (CRC-16 otherwise), goes back to wherever the
// receiver asks (ZRPOS), escapes every control character when asked.
class ZmodemSender : public Transfer {
public:
    explicit ZmodemSender(std::vector<std::filesystem::path> files);

protected:
    void OnBytes(const std::uint8_t* data, std::size_t n) override;
    void OnPoll() override;
    void OnEnd() override;

private:
    enum class State { WaitInit, WaitPos, Streaming, WaitWindowAck, WaitEofAck, WaitFin };

    void Begin();
    void OnHeader(const zmodem::Header& h);
    void SendFileInfo();
    void SendFin();
    void Reposition(std::uint32_t pos);
    void Stream();
    void ResendLast();
    void NextFile();

    std::vector<std::filesystem::path> files_;
    std::size_t fileIndex_ = 0;
    std::ifstream in_;
    std::uint64_t fileSize_ = 0;
    std::uint64_t totalLeft_ = 0;
    zmodem::Encoder enc_;
    zmodem::Reader reader_;
    State state_ = State::WaitInit;
    bool begun_ = false;
    bool crc32_ = false;
    std::uint32_t window_ = 0;     // receiver's buffer, 0: stream freely
    std::uint32_t sinceAck_ = 0;   // bytes sent since the last ZCRCW
    std::uint64_t pos_ = 0;        // next file byte to send
    std::uint64_t lastRpos_ = 0;
    std::uint64_t windowStart_ = 0;  // where the unacknowledged window began
    int errors_ = 0;
    std::uint64_t startMs_ = 0;
    std::vector<std::uint8_t> last_;  // the last header (and subpacket) to send again
};

// Receives files by ZMODEM into the target folder.
class ZmodemReceiver : public Transfer {
public:
    explicit ZmodemReceiver(ReceiveTarget target);

protected:
    void OnBytes(const std::uint8_t* data, std::size_t n) override;
    void OnPoll() override;
    void OnAnswer(ExistingFileChoice choice) override;
    void OnEnd() override;

private:
    enum class State { Init, FileInfo, SessionInfo, Asking, WaitData, Data };

    void SendInit();
    void SendHex(std::uint8_t type, std::uint32_t pos);
    void OnHeader(const zmodem::Header& h);
    void OnData();
    void OnFileInfo();
    void AskAgain();  // ZRPOS at our position after an error
    void Fail(const std::string& why);

    ReceivedFile file_;
    zmodem::Encoder enc_;
    zmodem::Reader reader_;
    State state_ = State::Init;
    bool begun_ = false;
    bool heardSender_ = false;
    bool inFile_ = false;
    std::uint64_t pos_ = 0;
    int errors_ = 0;
    std::uint64_t startMs_ = 0;
};

}  // namespace quennet
