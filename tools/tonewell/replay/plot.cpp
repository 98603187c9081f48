#include "plot.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace tonewell {

namespace {

constexpr double kWidth = 960, kHeight = 420;
constexpr double kLeft = 70, kRight = 70, kTop = 40, kBottom = 60;
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kPlotHeight = kHeight - kTop - kBottom;

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A step between axis ticks that gives about five to ten ticks over `span`.
double tickStep(double span) {
  const double raw = span / 8;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (raw <= m * magnitude) return m * magnitude;
  }
  return 10 * magnitude;
}

// Where a time, a brightness and a volume lie in the picture.
struct Scales {
  double end;        // the time at the right edge
  double low, high;  // the brightness at the bottom and top edges

  double x(double t) const { return kLeft + kPlotWidth * t / end; }
  double yBrightness(double b) const { return kTop + kPlotHeight * (high - b) / (high - low); }
  double yVolume(double v) const { return kTop + kPlotHeight * (1.0 - v); }
};

Scales scalesOf(const ReplayResult& r) {
  double low = static_cast<double>(r.final.number("pocketBrightness")), high = low;
  for (const auto& f : r.frames) {
    if (f.brightness) low = std::min(low, *f.brightness), high = std::max(high, *f.brightness);
  }
  return {std::max(r.until, 1.0), std::floor(low - 1), std::ceil(high + 1)};
}

void drawAxes(std::string& svg, const Scales& sc) {
  // Axes and ticks.
  svg += fmt::format(
      "<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"none\" stroke=\"#444\"/>\n", kLeft,
      kTop, kPlotWidth, kPlotHeight);
  const double timeStep = tickStep(sc.end);
  for (double t = 0; t <= sc.end + 1e-9; t += timeStep) {
    svg += fmt::format(
        "<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\" stroke=\"#444\"/>"
        "<text x=\"{0}\" y=\"{3}\" text-anchor=\"middle\">{4}</text>\n",
        sc.x(t), kTop + kPlotHeight, kTop + kPlotHeight + 5, kTop + kPlotHeight + 18, t);
  }
  const double brightnessStep = tickStep(sc.high - sc.low);
  for (double b = std::ceil(sc.low / brightnessStep) * brightnessStep; b <= sc.high + 1e-9;
       b += brightnessStep) {
    svg += fmt::format(
        "<line x1=\"{0}\" y1=\"{1}\" x2=\"{2}\" y2=\"{1}\" stroke=\"#444\"/>"
        "<text x=\"{3}\" y=\"{4}\" text-anchor=\"end\">{5}</text>\n",
        kLeft - 5, sc.yBrightness(b), kLeft, kLeft - 8, sc.yBrightness(b) + 4, b);
  }
  for (int i = 0; i <= 10; i += 2) {
    const double v = i / 10.0;
    svg += fmt::format(
        "<line x1=\"{0}\" y1=\"{1}\" x2=\"{2}\" y2=\"{1}\" stroke=\"#444\"/>"
        "<text x=\"{3}\" y=\"{4}\">{5}</text>\n",
        kLeft + kPlotWidth, sc.yVolume(v), kLeft + kPlotWidth + 5, kLeft + kPlotWidth + 8,
        sc.yVolume(v) + 4, v);
  }
  svg += fmt::format(
      "<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">time (s)</text>\n"
      "<text transform=\"translate(18 {}) rotate(-90)\" text-anchor=\"middle\" "
      "fill=\"#1f5fbf\">EXIF BrightnessValue</text>\n"
      "<text transform=\"translate({} {}) rotate(90)\" text-anchor=\"middle\" "
      "fill=\"#d9640b\">Ringtone volume</text>\n",
      kLeft + kPlotWidth / 2, kHeight - 22, kTop + kPlotHeight / 2, kWidth - 18,
      kTop + kPlotHeight / 2);
}

void drawMarks(std::string& svg, const ReplayResult& r, const Scales& sc) {
  // Marks: ring start and end, camera on and off.
  auto mark = [&](double t, const char* colour, const char* dash, const char* label, int row) {
    svg += fmt::format(
        "<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\" stroke=\"{3}\" "
        "stroke-dasharray=\"{4}\"/>"
        "<text x=\"{5}\" y=\"{6}\" fill=\"{3}\" font-size=\"10\">{7}</text>\n",
        sc.x(t), kTop, kTop + kPlotHeight, colour, dash, sc.x(t) + 3, kTop + 12 + 12 * row, label);
  };
  for (const auto& ring : r.rings) {
    mark(ring.t, ring.ringing ? "#2a9d3a" : "#c0392b", "none",
         ring.ringing ? "ring start" : "ring end", 0);
  }
  for (const auto& c : r.camera) {
    mark(c.t, "#777", "4 3", c.start ? "camera on" : "camera off", 1);
  }
}

void drawFrames(std::string& svg, const ReplayResult& r, const Scales& sc) {
  // The threshold and each frame's brightness.
  const double threshold = static_cast<double>(r.final.number("pocketBrightness"));
  svg += fmt::format(
      "<line x1=\"{0}\" y1=\"{1}\" x2=\"{2}\" y2=\"{1}\" stroke=\"#1f5fbf\" "
      "stroke-dasharray=\"6 4\"/><text x=\"{3}\" y=\"{4}\" fill=\"#1f5fbf\" "
      "font-size=\"10\">threshold {5}</text>\n",
      kLeft, sc.yBrightness(threshold), kLeft + kPlotWidth, kLeft + 4,
      sc.yBrightness(threshold) - 4, threshold);
  for (const auto& f : r.frames) {
    if (!f.brightness) continue;
    svg += fmt::format("<circle cx=\"{}\" cy=\"{}\" r=\"2.5\" fill=\"#1f5fbf\"/>\n", sc.x(f.t),
                       sc.yBrightness(*f.brightness));
  }
}

void drawVolume(std::string& svg, const ReplayResult& r, const Scales& sc) {
  // The volume as a step line.
  std::string points = fmt::format("{},{}", sc.x(0), sc.yVolume(r.initialVolume));
  double level = r.initialVolume;
  for (const auto& v : r.volume) {
    if (v.category != "Ringtone") continue;
    points +=
        fmt::format(" {},{} {},{}", sc.x(v.t), sc.yVolume(level), sc.x(v.t), sc.yVolume(v.value));
    level = v.value;
  }
  points += fmt::format(" {},{}", sc.x(sc.end), sc.yVolume(level));
  svg += fmt::format(
      "<polyline points=\"{}\" fill=\"none\" stroke=\"#d9640b\" stroke-width=\"2\"/>\n", points);
}

}  // namespace

std::string svgPlot(const ReplayResult& r) {
  const Scales sc = scalesOf(r);
  std::string svg = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" "
      "viewBox=\"0 0 {0} {1}\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      "<text x=\"{2}\" y=\"22\" font-size=\"15\">Replay of {3}</text>\n",
      kWidth, kHeight, kLeft, escape(r.scenario.empty() ? "a scenario" : r.scenario));
  drawAxes(svg, sc);
  drawMarks(svg, r, sc);
  drawFrames(svg, r, sc);
  drawVolume(svg, r, sc);
  // Legend.
  svg += fmt::format(
      "<circle cx=\"{0}\" cy=\"18\" r=\"3\" fill=\"#1f5fbf\"/>"
      "<text x=\"{1}\" y=\"22\">frame brightness</text>"
      "<line x1=\"{2}\" y1=\"18\" x2=\"{3}\" y2=\"18\" stroke=\"#d9640b\" stroke-width=\"2\"/>"
      "<text x=\"{4}\" y=\"22\">Ringtone volume</text>\n",
      kWidth - 330, kWidth - 322, kWidth - 200, kWidth - 180, kWidth - 174);
  svg += "</svg>\n";
  return svg;
}

}  // namespace tonewell
