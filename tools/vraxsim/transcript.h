// The readable account vraxsim prints: numbered sections, one line per event, indented
// details. Every line also goes to an in-memory copy so a test can check what was printed.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vraxsim {

class transcript {
  public:
    explicit transcript(std::FILE* out) : out_(out) {}

    // Starts section n+1 with a title.
    void section(std::string_view title);
    // One event of the current section.
    void line(std::string_view text);
    // A detail under the previous line.
    void detail(std::string_view text);
    // The outcome of a check the scenario expects; a failed one is marked and counted.
    void expect(bool ok, std::string_view what);

    int failures() const { return failures_; }
    int section_number() const { return section_; }
    const std::vector<std::string>& lines() const { return lines_; }

  private:
    void emit(std::string text);

    std::FILE* out_;
    int section_ = 0;
    int failures_ = 0;
    std::vector<std::string> lines_;
};

}  // namespace vraxsim
