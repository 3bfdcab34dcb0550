#include "loader/ProductionReport.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace quennet {

std::string ReportHeader() {
    return "time,port,adapter_serial,chip_uid,part,firmware,firmware_sha256,verify,result,seconds\n";
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string ReportLine(const ReportRow& row) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", row.seconds);
    std::string line;
    for (const std::string* f : {&row.time, &row.port, &row.adapterSerial, &row.uniqueId, &row.part, &row.firmware,
                                 &row.firmwareSha256})
        line += CsvField(*f) + ',';
    line += row.verify ? "yes," : "no,";
    line += CsvField(row.result) + ',' + seconds + '\n';
    return line;
}

std::string ReportTimeNow() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    // Called from one thread only: the command's own, between runs.
    const std::tm* utc = std::gmtime(&now);
    char text[32];
    if (!utc || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc) == 0) return "-";
    return text;
}

}  // namespace quennet
