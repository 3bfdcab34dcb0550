#pragma once
// The production report: one CSV row per board, appended to a file that
// keeps every board ever programmed into it.
#include <string>

namespace quennet {

struct ReportRow {
    std::string time;  // when the board's run ended, "2024-05-01T14:03:22Z"
    std::string port;
    std::string adapterSerial;
    std::string uniqueId;
    std::string part;
    std::string firmware;  // the file's name, without its folder
    std::string firmwareSha256;
    bool verify = false;
    std::string result;
    double seconds = 0;
};

// The first line of a new report.
std::string ReportHeader();
// One row with its line break; fields with a comma, a quote or a line
// break are quoted as RFC 4180 says.
std::string ReportLine(const ReportRow& row);
std::string CsvField(const std::string& text);
// The time now as UTC in ISO 8601, to the second.
std::string ReportTimeNow();

}  // namespace quennet
