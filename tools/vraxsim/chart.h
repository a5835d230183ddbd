// A message sequence chart of a vraxsim run, as SVG: one lane per participant (the programs,
// a kernel client, the driver, the modem) from left to right, time running down, one row per
// event: an arrow for each call, result and frame, a note on a lane for what stays inside a
// participant, and a band across the chart where a transcript section starts.
//
//     chart::event e{order, "client-a", "VRAX", "DeviceIoControl(BIND 1)", chart::style::call};
//     std::string svg = chart::render({"client-a", "VRAX", "modem"}, events);
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vraxsim::chart {

enum class style {
    call,     // a program's or kernel client's request to the driver
    result,   // what came back (dashed)
    failed,   // a result that is a failure (dashed, red)
    frame,    // a frame on the channel
    note,     // on the `from` lane only
    section,  // a band across every lane; `label` is the section's title
};

struct event {
    std::uint64_t order = 0;  // events are drawn in this order (ties keep their given order)
    std::string from;
    std::string to;  // unused for note and section
    std::string label;
    style kind = style::note;
};

// Layout, in pixels; the test of the rendered picture checks against these.
inline constexpr int lane_width = 300;
inline constexpr int margin = 20;
inline constexpr int header_height = 40;
inline constexpr int row_height = 20;

// Width and height of the picture render() draws for `lanes` lanes and `rows` events.
int width_for(std::size_t lanes);
int height_for(std::size_t rows);
// The x coordinate of lane `index`'s line.
int lane_x(std::size_t index);

// The SVG document. Events naming a lane not in `lanes` are left out.
std::string render(const std::vector<std::string>& lanes, std::vector<event> events);

}  // namespace vraxsim::chart
