// The chart's SVG: plain shapes and text only, so any browser and rsvg-convert draw it alike.
#include "chart.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace vraxsim::chart {
namespace {

// Text for an SVG element: the five characters XML reserves are escaped, anything outside
// printable ASCII becomes '?', so a label taken from arbitrary bytes cannot break the file.
std::string xml(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
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
            case '\'':
                out += "&apos;";
                break;
            default:
                out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
        }
    }
    return out;
}

// At most `chars` characters, the cut marked with "...".
std::string clip(const std::string& text, std::size_t chars) {
    return text.size() <= chars ? text : text.substr(0, chars - 3) + "...";
}

std::string num(int v) {
    return std::to_string(v);
}

}  // namespace

int width_for(std::size_t lanes) {
    return 2 * margin + static_cast<int>(lanes) * lane_width;
}

int height_for(std::size_t rows) {
    return 2 * margin + header_height + static_cast<int>(rows) * row_height + row_height;
}

int lane_x(std::size_t index) {
    return margin + static_cast<int>(index) * lane_width + lane_width / 2;
}

std::string render(const std::vector<std::string>& lanes, std::vector<event> events) {
    std::map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        index.emplace(lanes[i], i);
    }
    auto known = [&](const event& e) {
        if (e.kind == style::section) {
            return true;
        }
        if (!index.contains(e.from)) {
            return false;
        }
        return e.kind == style::note || index.contains(e.to);
    };
    std::erase_if(events, [&](const event& e) { return !known(e); });
    std::stable_sort(events.begin(), events.end(),
                     [](const event& a, const event& b) { return a.order < b.order; });

    const int width = width_for(lanes.size());
    const int height = height_for(events.size());
    const int top = margin + header_height;
    const int bottom = height - margin;
    // Room for a label between two neighbouring lanes, in 7-pixel characters.
    const std::size_t label_chars = static_cast<std::size_t>(lane_width - 20) / 7;

    std::string s;
    s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) + "\" height=\"" +
         num(height) + "\" viewBox=\"0 0 " + num(width) + " " + num(height) +
         "\" font-family=\"DejaVu Sans Mono, Menlo, Consolas, monospace\" font-size=\"11\">\n";
    s += "<defs><marker id=\"head\" markerWidth=\"8\" markerHeight=\"8\" refX=\"7\" refY=\"4\" "
         "orient=\"auto\"><path d=\"M0,0 L8,4 L0,8 z\" fill=\"#222\"/></marker>"
         "<marker id=\"headred\" markerWidth=\"8\" markerHeight=\"8\" refX=\"7\" refY=\"4\" "
         "orient=\"auto\"><path d=\"M0,0 L8,4 L0,8 z\" fill=\"#b00\"/></marker></defs>\n";
    s += "<rect x=\"0\" y=\"0\" width=\"" + num(width) + "\" height=\"" + num(height) +
         "\" fill=\"#ffffff\"/>\n";

    // Lanes: a box with the name at the top, a light line down.
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        const int x = lane_x(i);
        s += "<line x1=\"" + num(x) + "\" y1=\"" + num(top) + "\" x2=\"" + num(x) + "\" y2=\"" +
             num(bottom) + "\" stroke=\"#c8c8c8\" stroke-width=\"1\"/>\n";
        s += "<rect x=\"" + num(x - lane_width / 2 + 10) + "\" y=\"" + num(margin) + "\" width=\"" +
             num(lane_width - 20) + "\" height=\"" + num(header_height - 10) +
             "\" rx=\"4\" fill=\"#e8eef8\" stroke=\"#345\" stroke-width=\"1\"/>\n";
        s += "<text x=\"" + num(x) + "\" y=\"" + num(margin + 20) +
             "\" text-anchor=\"middle\" font-size=\"13\" font-weight=\"bold\" fill=\"#123\">" +
             xml(clip(lanes[i], label_chars)) + "</text>\n";
    }

    int y = top + row_height;
    for (const event& e : events) {
        if (e.kind == style::section) {
            s += "<rect x=\"" + num(margin) + "\" y=\"" + num(y - row_height + 4) + "\" width=\"" +
                 num(width - 2 * margin) + "\" height=\"" + num(row_height - 2) +
                 "\" fill=\"#f3efe0\"/>\n";
            s += "<text x=\"" + num(margin + 6) + "\" y=\"" + num(y - 3) +
                 "\" font-weight=\"bold\" fill=\"#543\">" +
                 xml(clip(e.label, static_cast<std::size_t>(width - 2 * margin) / 7)) + "</text>\n";
            y += row_height;
            continue;
        }
        const int x1 = lane_x(index[e.from]);
        if (e.kind == style::note) {
            s += "<circle cx=\"" + num(x1) + "\" cy=\"" + num(y - 4) +
                 "\" r=\"3\" fill=\"#555\"/>\n";
            // The last lane has no room to its right: its notes end at the line instead.
            const bool last = index[e.from] + 1 == lanes.size() && lanes.size() > 1;
            s += "<text x=\"" + num(last ? x1 - 8 : x1 + 8) + "\" y=\"" + num(y) + "\"" +
                 (last ? " text-anchor=\"end\"" : "") + " fill=\"#555\">" +
                 xml(clip(e.label, label_chars)) + "</text>\n";
            y += row_height;
            continue;
        }
        const int x2 = lane_x(index[e.to]);
        const bool red = e.kind == style::failed;
        const bool dashed = e.kind == style::result || e.kind == style::failed;
        const char* colour = red ? "#b00" : e.kind == style::frame ? "#14a" : "#222";
        // A call to itself is drawn as a short loop to the right.
        if (x1 == x2) {
            s += "<path d=\"M" + num(x1) + "," + num(y - 8) +
                 " h24 v8 h-22\" fill=\"none\" "
                 "stroke=\"" +
                 colour + "\" marker-end=\"url(#" + (red ? "headred" : "head") + ")\"/>\n";
        } else {
            s += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x2) + "\" y2=\"" +
                 num(y) + "\" stroke=\"" + colour + "\" stroke-width=\"1.2\"" +
                 (dashed ? " stroke-dasharray=\"5,3\"" : "") + " marker-end=\"url(#" +
                 (red ? "headred" : "head") + ")\"/>\n";
        }
        // The label sits above the arrow, starting next to its tail, within one lane's width
        // so labels of neighbouring lanes do not run into each other.
        const int left = std::min(x1, x2);
        const std::size_t chars =
            x1 == x2 ? label_chars
            : static_cast<std::size_t>(std::abs(x2 - x1) - 16) / 7 > label_chars * 2
                ? label_chars * 2
                : static_cast<std::size_t>(std::abs(x2 - x1) - 16) / 7;
        s += "<text x=\"" + num(x1 == x2 ? x1 + 30 : left + 8) + "\" y=\"" + num(y - 4) +
             "\" fill=\"" + colour + "\">" + xml(clip(e.label, chars)) + "</text>\n";
        y += row_height;
    }
    s += "</svg>\n";
    return s;
}

}  // namespace vraxsim::chart
