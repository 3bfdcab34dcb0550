#include "terminal/transfer/ReceivedFile.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace quennet {
namespace fs = std::filesystem;

namespace {

fs::path Utf8Path(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

bool IsDeviceName(const std::string& name) {
    // The part before the first dot decides: "con.txt" is the console too.
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* n : kNames)
        if (stem == n) return true;
    if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
        stem[3] >= '0' && stem[3] <= '9')
        return true;
    return false;
}

}  // namespace

std::string SafeReceivedName(const std::string& fromSender) {
    std::string name = fromSender;
    const auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    // A drive letter without a separator ("C:foo") is relative to that
    // drive's current folder.
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
        name = name.substr(2);
    for (char& c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::string_view("<>:\"|?*").find(c) != std::string_view::npos)
            c = '_';
    }
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    while (!name.empty() && name.front() == ' ') name.erase(name.begin());
    if (name.size() > 200) {
        // Keep the extension of a long name.
        const auto dot = name.rfind('.');
        const std::string ext = (dot != std::string::npos && name.size() - dot <= 16) ? name.substr(dot) : "";
        name = name.substr(0, 200 - ext.size()) + ext;
    }
    if (name.empty()) return "received-file";
    if (IsDeviceName(name)) name.insert(name.begin(), '_');
    return name;
}

std::string NumberedName(const std::string& name, int n) {
    const auto dot = name.rfind('.');
    const std::string suffix = " (" + std::to_string(n) + ")";
    if (dot == std::string::npos || dot == 0) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

fs::path ReceivedFile::Folder() const {
    return target_.fixedPath.empty() ? target_.folder : target_.fixedPath.parent_path();
}

ReceivedFile::BeginResult ReceivedFile::Begin(const std::string& senderName,
                                              std::optional<std::uint64_t> size) {
    Abandon();
    size_ = size;
    received_ = kept_ = 0;
    skipping_ = false;
    replace_ = false;
    problem_.clear();
    if (!target_.fixedPath.empty()) {
        finalPath_ = target_.fixedPath;
        name_ = finalPath_.filename().string();
        replace_ = true;
        return OpenTemp();
    }
    name_ = SafeReceivedName(senderName);
    finalPath_ = target_.folder / Utf8Path(name_);
    std::error_code ec;
    if (fs::exists(finalPath_, ec)) return BeginResult::Exists;
    return OpenTemp();
}

ReceivedFile::BeginResult ReceivedFile::Decide(ExistingFileChoice choice) {
    switch (choice) {
    case ExistingFileChoice::Skip:
        skipping_ = true;
        return BeginResult::Opened;
    case ExistingFileChoice::Replace:
        replace_ = true;
        return OpenTemp();
    case ExistingFileChoice::KeepBoth: {
        std::error_code ec;
        const std::string base = name_;
        for (int n = 1; n < 10000; ++n) {
            name_ = NumberedName(base, n);
            finalPath_ = target_.folder / Utf8Path(name_);
            if (!fs::exists(finalPath_, ec)) return OpenTemp();
        }
        problem_ = "no free name for " + base;
        return BeginResult::Failed;
    }
    }
    return BeginResult::Failed;
}

ReceivedFile::BeginResult ReceivedFile::OpenTemp() {
    std::error_code ec;
    for (int n = 0; n < 1000; ++n) {
        const fs::path candidate =
            Folder() / Utf8Path("." + name_ + ".part" + (n ? std::to_string(n) : std::string()));
        if (fs::exists(candidate, ec)) continue;
        file_.open(candidate, std::ios::binary | std::ios::trunc);
        if (!file_.is_open()) break;
        tempPath_ = candidate;
        return BeginResult::Opened;
    }
    problem_ = "cannot create a file in " + Folder().string();
    return BeginResult::Failed;
}

ReceivedFile::WriteResult ReceivedFile::Write(const std::uint8_t* data, std::size_t n) {
    received_ += n;
    transferBytes_ += n;
    if (target_.byteLimit && transferBytes_ > target_.byteLimit) {
        problem_ = "size limit of " + std::to_string(target_.byteLimit) + " bytes reached";
        return WriteResult::LimitReached;
    }
    if (skipping_) return WriteResult::Ok;
    std::uint64_t keep = n;
    if (size_) keep = std::min<std::uint64_t>(keep, *size_ > kept_ ? *size_ - kept_ : 0);
    if (keep == 0) return WriteResult::Ok;
    file_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(keep));
    if (!file_) {
        problem_ = "cannot write " + name_;
        return WriteResult::Failed;
    }
    kept_ += keep;
    return WriteResult::Ok;
}

bool ReceivedFile::Commit() {
    if (skipping_) {
        skipping_ = false;
        return true;
    }
    if (!file_.is_open()) return false;
    file_.close();
    const bool written = !file_.fail();
    if (!written) problem_ = "cannot write " + name_;
    if (written && size_ && kept_ < *size_) {
        problem_ = "short file: " + name_ + ", " + std::to_string(kept_) + " of " +
                   std::to_string(*size_) + " bytes";
    } else if (written) {
        std::error_code ec;
        // A file of this name may have appeared since the question: never
        // replace one the user did not agree to replace.
        if (!replace_ && fs::exists(finalPath_, ec)) {
            const std::string base = name_;
            for (int n = 1; n < 10000 && fs::exists(finalPath_, ec); ++n) {
                name_ = NumberedName(base, n);
                finalPath_ = finalPath_.parent_path() / Utf8Path(name_);
            }
        }
        fs::rename(tempPath_, finalPath_, ec);
        if (!ec) {
            tempPath_.clear();
            return true;
        }
        problem_ = "cannot rename to " + name_;
    }
    Abandon();
    return false;
}

void ReceivedFile::Abandon() {
    if (file_.is_open()) file_.close();
    if (!tempPath_.empty()) {
        std::error_code ec;
        fs::remove(tempPath_, ec);
        tempPath_.clear();
    }
    skipping_ = false;
}

}  // namespace quennet
