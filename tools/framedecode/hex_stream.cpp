// Hex text to bytes, and a byte stream to frames.
#include "framedecode/hex_stream.h"

#include <cstddef>

namespace framedecode {
namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool is_separator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' || c == ',';
}

bool parse_token(std::string_view token, std::vector<std::uint8_t>& out, std::string& error) {
    std::string_view digits = token;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
    }
    if (digits.empty()) {
        error = "\"" + std::string(token) + "\" has no hex digits";
        return false;
    }
    for (char c : digits) {
        if (digit_value(c) < 0) {
            error = "\"" + std::string(token) + "\" is not hex";
            return false;
        }
    }
    if (digits.size() <= 2) {
        int v = 0;
        for (char c : digits) {
            v = v * 16 + digit_value(c);
        }
        out.push_back(static_cast<std::uint8_t>(v));
        return true;
    }
    if (digits.size() % 2 != 0) {
        error = "\"" + std::string(token) + "\" has an odd number of hex digits";
        return false;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(digit_value(digits[i]) * 16 + digit_value(digits[i + 1])));
    }
    return true;
}

}  // namespace

bool parse_hex(std::string_view text, std::vector<std::uint8_t>& out, std::string& error) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (is_separator(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !is_separator(text[end])) {
            ++end;
        }
        if (!parse_token(text.substr(i, end - i), out, error)) {
            return false;
        }
        i = end;
    }
    return true;
}

std::vector<stream_piece> split_stream(std::span<const std::uint8_t> stream) {
    std::vector<stream_piece> pieces;
    while (!stream.empty()) {
        if (stream.size() < 3) {
            pieces.push_back({stream, false});
            break;
        }
        const std::size_t size = static_cast<std::size_t>(stream[1] | (stream[2] << 8)) + 1;
        if (size > stream.size()) {
            pieces.push_back({stream, false});
            break;
        }
        pieces.push_back({stream.first(size), true});
        stream = stream.subspan(size);
    }
    return pieces;
}

}  // namespace framedecode
