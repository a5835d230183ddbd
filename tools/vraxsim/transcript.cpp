#include "transcript.h"

namespace vraxsim {

void transcript::section(std::string_view title) {
    ++section_;
    if (section_ > 1) {
        emit("");
    }
    emit(std::to_string(section_) + ". " + std::string(title));
}

void transcript::line(std::string_view text) {
    emit("   " + std::string(text));
}

void transcript::detail(std::string_view text) {
    emit("       " + std::string(text));
}

void transcript::expect(bool ok, std::string_view what) {
    if (!ok) {
        ++failures_;
    }
    emit(std::string(ok ? "   ok    " : "   FAIL  ") + std::string(what));
}

void transcript::emit(std::string text) {
    if (out_ != nullptr) {
        std::fprintf(out_, "%s\n", text.c_str());
    }
    lines_.push_back(std::move(text));
}

}  // namespace vraxsim
