#include "reference_server/settings/utf8_text.h"

#include <cstdio>

namespace reference_server {

std::size_t utf8_sequence_length(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) {
            return 0;
        }
    }
    return length;
}

std::string valid_utf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence_length(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string escaped_for_log(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto hex_escape = [&](unsigned char byte) {
        char escape[5];
        std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
        out += escape;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8_sequence_length(text, i);
        if (length == 0) {
            hex_escape(byte);
            ++i;
            continue;
        }
        if (length > 1) {
            // U+0080 to U+009F: the C1 controls, which some terminals obey.
            const auto second = static_cast<unsigned char>(text[i + 1]);
            if (byte == 0xc2 && second < 0xa0) {
                char escape[7];
                std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(second));
                out += escape;
            } else {
                out.append(text, i, length);
            }
            i += length;
            continue;
        }
        switch (byte) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                hex_escape(byte);
            } else {
                out += static_cast<char>(byte);
            }
            break;
        }
        ++i;
    }
    return out;
}

}  // namespace reference_server
