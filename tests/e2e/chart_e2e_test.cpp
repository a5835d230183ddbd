// The sequence chart, rendered the way a reader sees it: rsvg-convert turns the SVG into a
// PNG, and the picture must have the size the SVG declares and ink in every lane, so a chart
// that does not parse, draws nothing or loses a lane fails here.
#include <gtest/gtest.h>
#include <png.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "chart.h"
#include "scenario.h"

namespace {

struct picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> gray;  // one byte per pixel, row by row
    unsigned char at(int x, int y) const { return gray[static_cast<std::size_t>(y) * width + x]; }
};

bool have_rsvg() {
    return std::system("command -v rsvg-convert >/dev/null 2>&1") == 0;
}

std::string temp_path(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/vrax-chart-" + std::to_string(getpid()) +
           "-" + name;
}

// Renders `svg_file` to PNG with rsvg-convert and reads it back as gray pixels.
bool render(const std::string& svg_file, picture& out, std::string& error) {
    const std::string png_file = svg_file + ".png";
    const std::string command = "rsvg-convert -o '" + png_file + "' '" + svg_file + "' 2>&1";
    const int status = std::system(command.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "rsvg-convert failed on " + svg_file;
        return false;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, png_file.c_str())) {
        error = std::string("not a PNG: ") + image.message;
        return false;
    }
    image.format = PNG_FORMAT_GRAY;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.gray.assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, out.gray.data(), 0, nullptr)) {
        error = std::string("PNG unreadable: ") + image.message;
        png_image_free(&image);
        return false;
    }
    std::remove(png_file.c_str());
    return true;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Rows, below the lane headers, with a dark pixel within 8 pixels of lane `i`'s line: arrows
// start or end there, notes sit on it. The lane line itself is light grey and does not count.
int rows_with_ink(const picture& p, std::size_t lane) {
    const int x = vraxsim::chart::lane_x(lane);
    int rows = 0;
    for (int y = vraxsim::chart::margin + vraxsim::chart::header_height; y < p.height; ++y) {
        for (int dx = -8; dx <= 8; ++dx) {
            if (x + dx >= 0 && x + dx < p.width && p.at(x + dx, y) < 128) {
                ++rows;
                break;
            }
        }
    }
    return rows;
}

double dark_share(const picture& p) {
    std::size_t dark = 0;
    for (unsigned char g : p.gray) {
        dark += g < 128 ? 1 : 0;
    }
    return static_cast<double>(dark) / static_cast<double>(p.gray.size());
}

TEST(Chart, TheFullStoryRendersWithInkInEveryLane) {
    if (!have_rsvg()) {
        GTEST_SKIP() << "rsvg-convert is not installed (Debian package librsvg2-bin; "
                        "scripts/install-deps.sh installs it): the chart is not rendered";
    }
    const std::string svg = temp_path("full.svg");
    vraxsim::scenario_options o;
    o.chart = svg;
    vraxsim::transcript t(nullptr);
    ASSERT_EQ(vraxsim::run_scenario(o, &t), 0);
    picture p;
    std::string error;
    ASSERT_TRUE(render(svg, p, error)) << error;
    const std::string text = read_file(svg);
    std::remove(svg.c_str());

    // Lanes: seven programs, the kernel client, the driver, the modem.
    const std::vector<std::string> lanes{"client-a", "client-b", "watcher", "client-c", "client-d",
                                         "client-e", "client-f", "vraxkc",  "VRAX",     "modem"};
    EXPECT_EQ(p.width, vraxsim::chart::width_for(lanes.size()));
    EXPECT_NE(text.find("width=\"" + std::to_string(p.width) + "\" height=\"" +
                        std::to_string(p.height) + "\""),
              std::string::npos)
        << "the PNG has the size the SVG declares";
    // Every section, call, result and frame is a row: two hundred and more.
    EXPECT_GT(p.height, vraxsim::chart::height_for(150));
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        EXPECT_NE(text.find(">" + lanes[i] + "</text>"), std::string::npos) << lanes[i];
        EXPECT_GE(rows_with_ink(p, i), 20) << "lane " << lanes[i] << " is blank";
    }
    const double share = dark_share(p);
    EXPECT_GT(share, 0.001) << "the picture is blank";
    EXPECT_LT(share, 0.2) << "the picture is mostly ink";
}

// Labels come from program names, Win32 results and frames: characters XML reserves and
// bytes outside ASCII must not break the file.
TEST(Chart, LabelsThatAreNotPlainTextStillRender) {
    if (!have_rsvg()) {
        GTEST_SKIP() << "rsvg-convert is not installed (Debian package librsvg2-bin)";
    }
    using vraxsim::chart::event;
    using vraxsim::chart::style;
    std::vector<event> events{
        {1, "", "", "1. <section> & \"quotes\" 'too'", style::section},
        {2, "a<b", "VRAX", "DeviceIoControl(\"x\" & <y>)", style::call},
        {3, "VRAX", "a<b", std::string("FALSE, \x01\xff\x80 bytes"), style::failed},
        {4, "VRAX", "modem", std::string(500, 'x'), style::frame},
        {5, "modem", "", "note & more", style::note},
        {6, "nobody", "VRAX", "dropped: not a lane", style::call},
    };
    const std::string svg = temp_path("labels.svg");
    {
        std::ofstream out(svg, std::ios::binary);
        out << vraxsim::chart::render({"a<b", "VRAX", "modem"}, events);
    }
    picture p;
    std::string error;
    ASSERT_TRUE(render(svg, p, error)) << error;
    const std::string text = read_file(svg);
    std::remove(svg.c_str());
    EXPECT_EQ(p.width, vraxsim::chart::width_for(3));
    EXPECT_EQ(p.height, vraxsim::chart::height_for(5)) << "the event on no lane is left out";
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    EXPECT_NE(text.find("a&lt;b"), std::string::npos);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_GE(rows_with_ink(p, i), 1) << i;
    }
}

}  // namespace
