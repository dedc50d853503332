// Benchmarks: the table on stdout, results.csv, and the throughput chart as
// an SVG of our own (log-scaled request size against MB/s, one line a series).
#include "bench.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace tzbench {

namespace {

std::string number(double v) {
  char text[32];
  if (v == 0) return "-";
  std::snprintf(text, sizeof text, std::fabs(v) >= 100 ? "%.0f" : std::fabs(v) >= 10 ? "%.1f" : "%.3g", v);
  return text;
}

std::string ratioText(const Row& r) { return r.ratio ? number(r.ratio) + " (" + r.ratioName + ")" : "-"; }

std::string csvField(const std::string& s) {
  if (s.find_first_of(",\"") == std::string::npos) return s;
  std::string quoted = "\"";
  for (char c : s) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

void report(const Options& options, const Results& results) {
  std::vector<std::vector<std::string>> table = {{"figure", "ours", "reference", "ratio", "target", "result"}};
  for (const Row& r : results.rows) {
    std::string result = r.result + (r.note.empty() ? "" : " (" + r.note + ")");
    table.push_back({r.figure, number(r.ours) + " " + r.unit, number(r.reference) + " " + r.unit, ratioText(r),
                     r.target.empty() ? "-" : r.target, result});
  }
  std::vector<size_t> width(6, 0);
  for (auto& line : table)
    for (size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  for (size_t n = 0; n < table.size(); ++n) {
    std::string text = "|";
    for (size_t i = 0; i < table[n].size(); ++i) text += " " + table[n][i] + std::string(width[i] - table[n][i].size(), ' ') + " |";
    std::puts(text.c_str());
    if (n == 0) {
      text = "|";
      for (size_t w : width) text += std::string(w + 2, '-') + "|";
      std::puts(text.c_str());
    }
  }

  std::string csvPath = options.binaryDir + "/results.csv";
  std::ofstream csv(csvPath);
  csv << "figure,ours,reference,unit,ratio,ratio_of,target,result,note\n";
  for (const Row& r : results.rows)
    csv << csvField(r.figure) << ',' << r.ours << ',' << r.reference << ',' << csvField(r.unit) << ',' << r.ratio << ','
        << csvField(r.ratioName) << ',' << csvField(r.target) << ',' << csvField(r.result) << ',' << csvField(r.note)
        << '\n';
  std::string svgPath = options.binaryDir + "/throughput.svg";
  writeSvg(svgPath, results.points);
  std::printf("\nresults: %s\nchart:   %s\n", csvPath.c_str(), svgPath.c_str());
}

void writeSvg(const std::string& path, const std::vector<Point>& points) {
  constexpr double kW = 760, kH = 460, kLeft = 80, kRight = 20, kTop = 40, kBottom = 110;
  std::map<std::string, std::vector<Point>> series;
  double maxMb = 1;
  uint32_t minSize = UINT32_MAX, maxSize = 1;
  for (const Point& p : points) {
    series[p.series].push_back(p);
    maxMb = std::max(maxMb, p.megabytesPerSecond);
    minSize = std::min(minSize, p.requestSize);
    maxSize = std::max(maxSize, p.requestSize);
  }
  if (points.empty()) minSize = 1;
  // Log scales on both axes: the series span three decades.
  double yTop = std::pow(10, std::ceil(std::log10(maxMb)));
  double yBottom = 1;
  double lx0 = std::log2(double(minSize)), lx1 = std::max(std::log2(double(maxSize)), lx0 + 1);
  auto x = [&](double size) { return kLeft + (std::log2(size) - lx0) / (lx1 - lx0) * (kW - kLeft - kRight); };
  auto y = [&](double mb) {
    double v = std::log10(std::max(mb, yBottom));
    return kTop + (1 - (v - std::log10(yBottom)) / (std::log10(yTop) - std::log10(yBottom))) * (kH - kTop - kBottom);
  };
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kW << "\" height=\"" << kH
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << kW / 2 << "\" y=\"22\" text-anchor=\"middle\" font-size=\"15\">Throughput against request size</text>\n";
  for (double mb = yBottom; mb <= yTop * 1.001; mb *= 10) {
    svg << "<line x1=\"" << kLeft << "\" x2=\"" << kW - kRight << "\" y1=\"" << y(mb) << "\" y2=\"" << y(mb)
        << "\" stroke=\"#ddd\"/><text x=\"" << kLeft - 6 << "\" y=\"" << y(mb) + 4 << "\" text-anchor=\"end\">" << mb
        << "</text>\n";
  }
  std::set<uint32_t> sizes;
  for (const Point& p : points) sizes.insert(p.requestSize);
  for (uint32_t size : sizes) {
    svg << "<text x=\"" << x(size) << "\" y=\"" << kH - kBottom + 16 << "\" text-anchor=\"middle\">"
        << (size >= 1024 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B")
        << "</text>\n";
  }
  svg << "<text x=\"" << (kLeft + kW - kRight) / 2 << "\" y=\"" << kH - kBottom + 34
      << "\" text-anchor=\"middle\">request size (log scale)</text>\n"
      << "<text transform=\"rotate(-90)\" x=\"" << -(kTop + kH - kBottom) / 2 << "\" y=\"18\" text-anchor=\"middle\">MB/s (log scale)</text>\n"
      << "<rect x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\"" << kW - kLeft - kRight << "\" height=\""
      << kH - kTop - kBottom << "\" fill=\"none\" stroke=\"#333\"/>\n";
  const char* colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd"};
  size_t n = 0;
  for (auto& [name, ps] : series) {
    std::sort(ps.begin(), ps.end(), [](const Point& a, const Point& b) { return a.requestSize < b.requestSize; });
    const char* colour = colours[n % 4];
    svg << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"2\" points=\"";
    for (const Point& p : ps) svg << x(p.requestSize) << ',' << y(p.megabytesPerSecond) << ' ';
    svg << "\"/>\n";
    for (const Point& p : ps)
      svg << "<circle cx=\"" << x(p.requestSize) << "\" cy=\"" << y(p.megabytesPerSecond) << "\" r=\"3\" fill=\"" << colour << "\"/>\n";
    double ly = kH - kBottom + 54 + 16 * double(n);
    svg << "<line x1=\"" << kLeft << "\" x2=\"" << kLeft + 24 << "\" y1=\"" << ly - 4 << "\" y2=\"" << ly - 4
        << "\" stroke=\"" << colour << "\" stroke-width=\"2\"/><text x=\"" << kLeft + 30 << "\" y=\"" << ly << "\">"
        << name << "</text>\n";
    ++n;
  }
  svg << "</svg>\n";
  std::ofstream(path) << svg.str();
}

}  // namespace tzbench
