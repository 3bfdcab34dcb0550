#include "terminal/transfer/TransferSettings.h"

#include <algorithm>

#include "core/IniFile.h"

namespace quennet {

namespace {
constexpr const char* kSection = "Transfer";
}  // namespace

std::vector<std::string> SplitSendFiles(const std::string& text) {
    std::vector<std::string> files;
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return files;
    if (text[first] != '"') {
        files.push_back(text);
        return files;
    }
    for (std::size_t i = first; i < text.size();) {
        const std::size_t open = text.find('"', i);
        if (open == std::string::npos) break;
        const std::size_t close = text.find('"', open + 1);
        if (close == std::string::npos) break;
        if (close > open + 1) files.push_back(text.substr(open + 1, close - open - 1));
        i = close + 1;
    }
    return files;
}

std::string JoinSendFiles(const std::vector<std::string>& files) {
    if (files.size() == 1) return files.front();
    std::string text;
    for (const auto& f : files) text += (text.empty() ? "\"" : " \"") + f + "\"";
    return text;
}

TransferSettings ReadTransferSettings(const IniFile& ini, const std::string& defaultFolder) {
    TransferSettings s;
    s.folder = ini.ReadString(kSection, "Folder", "");
    if (s.folder.empty()) s.folder = defaultFolder;
    s.autoStart = ini.ReadBool(kSection, "AutoStart", s.autoStart);
    const long long limit = ini.ReadInteger(kSection, "ByteLimitMiB", static_cast<long long>(s.byteLimitMiB));
    s.byteLimitMiB = static_cast<std::uint64_t>(std::clamp<long long>(limit, 0, kMaxByteLimitMiB));
    const long long protocol = ini.ReadInteger(kSection, "Protocol", static_cast<int>(s.receiveProtocol));
    if (protocol >= 0 && protocol < kTransferProtocolCount) s.receiveProtocol = static_cast<TransferProtocol>(protocol);
    return s;
}

void WriteTransferSettings(IniFile& ini, const TransferSettings& s) {
    ini.WriteString(kSection, "Folder", s.folder);
    ini.WriteBool(kSection, "AutoStart", s.autoStart);
    ini.WriteInteger(kSection, "ByteLimitMiB", static_cast<long long>(s.byteLimitMiB));
    ini.WriteInteger(kSection, "Protocol", static_cast<int>(s.receiveProtocol));
}

}  // namespace quennet
