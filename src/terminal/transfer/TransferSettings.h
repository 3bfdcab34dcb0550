#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace quennet {

class IniFile;

// The protocols a transfer can use, in the order the window lists them.
enum class TransferProtocol { Xmodem, Xmodem1K, Ymodem, Zmodem };
inline constexpr int kTransferProtocolCount = 4;
inline constexpr const char* kTransferProtocolNames[kTransferProtocolCount] = {"XMODEM", "XMODEM-1K", "YMODEM",
                                                                               "ZMODEM"};

// The first entry of the send-file mode list ("Raw", "Compact SREC", then
// the protocols) that is a protocol; they follow in the order above.
inline constexpr int kFirstProtocolSendMode = 2;

// Several files to send in one text field, each in double quotes; one file
// stands as it is.
std::vector<std::string> SplitSendFiles(const std::string& text);
std::string JoinSendFiles(const std::vector<std::string>& files);

// Whether a protocol sends several files in one go (and names them).
inline bool IsBatchProtocol(TransferProtocol p) {
    return p == TransferProtocol::Ymodem || p == TransferProtocol::Zmodem;
}

// The file transfers' settings, kept in the settings file's "Transfer"
// section.
struct TransferSettings {
    std::string folder;                 // where YMODEM and ZMODEM put received files
    bool autoStart = true;              // offer a transfer when the far end starts ZMODEM
    std::uint64_t byteLimitMiB = 1024;  // most one receive may bring (0: no limit)
    TransferProtocol receiveProtocol = TransferProtocol::Zmodem;

    bool operator==(const TransferSettings&) const = default;
};

inline constexpr std::uint64_t kMaxByteLimitMiB = 1024 * 1024;  // a tebibyte

// Reads the settings; an empty or missing folder is defaultFolder, a
// protocol out of range is the default one, a limit is kept within
// 0..kMaxByteLimitMiB.
TransferSettings ReadTransferSettings(const IniFile& ini, const std::string& defaultFolder);
void WriteTransferSettings(IniFile& ini, const TransferSettings& settings);

}  // namespace quennet
