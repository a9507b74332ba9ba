// Recording a poll as CSV and drawing its trend with gnuplot.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli.h"
#include "system.h"

namespace rovod {

namespace {

// Columns of one gate: a value per element, then the result code.
std::vector<std::string> GateColumns(const Gate &gate) {
    std::vector<std::string> columns;
    if (!gate.bBlock) {
        columns.push_back(gate.address);
    } else {
        for (int32_t i = 0; i < std::max(gate.rec.iCount, 1); ++i)
            columns.push_back(gate.address + "[" + std::to_string(i) + "]");
    }
    columns.push_back(gate.address + " result");
    return columns;
}

std::string Iso8601(std::chrono::system_clock::time_point t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    const std::tm parts = UtcParts(secs);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(ms));
    return text;
}

std::vector<std::string> SplitCsv(const std::string &line) {
    std::vector<std::string> cells;
    std::stringstream in(line);
    for (std::string cell; std::getline(in, cell, ',');) cells.push_back(cell);
    if (!line.empty() && line.back() == ',') cells.push_back("");
    return cells;
}

// Quotes for a gnuplot string literal.
std::string Quoted(const std::string &text) {
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\') out += '\\';
        out += ch;
    }
    return out + "\"";
}

bool OnPath(const std::string &program) {
    const char *path = std::getenv("PATH");
    const std::string dirs = path ? path : "";
    for (size_t from = 0; from <= dirs.size();) {
        const size_t to = std::min(dirs.find(kPathSeparator, from), dirs.size());
        if (IsProgram(dirs.substr(from, to - from), program)) return true;
        from = to + 1;
    }
    return false;
}

}  // namespace

bool OpenCsv(const std::string &path, CsvLog *pLog, std::string *pError) {
    if (path == "-") {
        pLog->file = stdout;
        pLog->bStdout = true;
        return true;
    }
    pLog->file = std::fopen(path.c_str(), "w");
    if (pLog->file == nullptr) {
        *pError = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void WriteCsvRow(CsvLog *pLog, HostClock::time_point cycleStart) {
    if (!pLog->bHeader) {
        std::string head = "time";
        for (const Gate &gate : Gates())
            for (const std::string &column : GateColumns(gate)) head += "," + column;
        std::fprintf(pLog->file, "%s\n", head.c_str());
        pLog->bHeader = true;
    }
    const auto stamp = std::chrono::system_clock::now() - (HostClock::now() - cycleStart);
    std::string row = Iso8601(std::chrono::time_point_cast<std::chrono::system_clock::duration>(stamp));
    for (const Gate &gate : Gates()) {
        const std::vector<double> values = gate.lastResult == 0 ? Values(gate) : std::vector<double>{};
        const size_t cells = GateColumns(gate).size() - 1;
        for (size_t i = 0; i < cells; ++i) {
            char cell[32] = "";
            if (i < values.size()) std::snprintf(cell, sizeof cell, "%.7g", values[i]);
            row += ",";
            row += cell;
        }
        row += ',';
        row += std::to_string(gate.lastResult);
    }
    std::fprintf(pLog->file, "%s\n", row.c_str());
    std::fflush(pLog->file);
}

void CloseCsv(CsvLog *pLog) {
    if (pLog->file && !pLog->bStdout) std::fclose(pLog->file);
    pLog->file = nullptr;
}

int CmdPlot(const Options &options) {
    std::ifstream in(options.plotIn);
    std::string head;
    if (!in || !std::getline(in, head))
        return Fail(options, kUsage, "cannot read " + options.plotIn + " (a CSV from rovod poll --csv)");
    const std::vector<std::string> columns = SplitCsv(head);
    if (columns.size() < 2 || columns[0] != "time")
        return Fail(options, kUsage, options.plotIn + " is not a CSV from rovod poll --csv");
    const std::string &out = options.plotOut;
    const bool bSvg = out.size() > 4 && out.compare(out.size() - 4, 4, ".svg") == 0;
    const bool bPng = out.size() > 4 && out.compare(out.size() - 4, 4, ".png") == 0;
    if (!bSvg && !bPng) return Fail(options, kUsage, "--out wants a file ending in .png or .svg");
    if (!OnPath("gnuplot"))
        return Fail(options, kNoDriver,
                    "plot needs gnuplot, which is not installed: sudo apt-get install gnuplot-nox");

    std::string script;
    script += bSvg ? "set terminal svg size 900,450 dynamic background rgb 'white'\n"
                   : "set terminal png size 900,450\n";
    script += "set output " + Quoted(out) + "\n";
    script += "set datafile separator ','\n";
    script += "set datafile missing ''\n";
    script += "set xdata time\nset timefmt '%Y-%m-%dT%H:%M:%SZ'\nset format x '%H:%M:%S'\n";
    script += "set xtics rotate by -30\n";
    script += "set xlabel 'time (UTC)'\nset key outside right top\nset grid\n";
    script += "set title " + Quoted("rovod poll: " + options.plotIn) + " noenhanced\n";
    std::string plot;
    for (size_t i = 1; i < columns.size(); ++i) {
        if (columns[i].size() > 7 && columns[i].compare(columns[i].size() - 7, 7, " result") == 0) continue;
        plot += plot.empty() ? "plot " : ", ";
        plot += Quoted(options.plotIn) + " every ::1 using 1:" + std::to_string(i + 1) +
                " with linespoints title " + Quoted(columns[i]) + " noenhanced";
    }
    if (plot.empty()) return Fail(options, kUsage, options.plotIn + " has no value columns");
    script += plot + "\n";
    const int rc = RunWithInput("gnuplot", script);
    if (rc != 0) return Fail(options, 1, "gnuplot failed (exit " + std::to_string(rc) + ")");
    if (options.bJson)
        PrintJson({{"result", 0}, {"out", out}});
    else
        std::printf("wrote %s\n", out.c_str());
    return 0;
}

}  // namespace rovod
