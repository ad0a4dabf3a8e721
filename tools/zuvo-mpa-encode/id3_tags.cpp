// Tag texts and the ID3v2.4 writer (see id3_tags.h).
#include "id3_tags.h"

#include "common.h"

#include <cstdint>

namespace zuvo_tool {

namespace {

constexpr std::string Tags::*kFields[] = {&Tags::title, &Tags::artist, &Tags::album, &Tags::year,
                                          &Tags::track, &Tags::genre,  &Tags::comment};

void put_synchsafe(std::vector<unsigned char>& out, std::size_t value) {
    for (int shift = 21; shift >= 0; shift -= 7) out.push_back(static_cast<unsigned char>((value >> shift) & 0x7F));
}

} // namespace

bool Tags::empty() const {
    for (const auto field : kFields)
        if (!(this->*field).empty()) return false;
    return true;
}

Tags merge_tags(Tags base, const Tags& overrides) {
    for (const auto field : kFields) {
        if (!(overrides.*field).empty()) base.*field = overrides.*field;
    }
    return base;
}

bool is_utf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int follow = 0;
        std::uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            follow = 1;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            follow = 2;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            follow = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(follow) >= text.size()) return false;
        for (int k = 1; k <= follow; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((d & 0xC0) != 0x80) return false;
            code = code << 6 | (d & 0x3F);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF.
        if ((follow == 2 && code < 0x800) || (follow == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += static_cast<std::size_t>(follow) + 1;
    }
    return true;
}

std::string to_utf8(const std::string& text) {
    if (is_utf8(text)) return text;
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool is_year(const std::string& text) {
    if (!all_digits(text, 0, 4)) return false;
    if (text.size() == 4) return true;
    if (text.size() != 7 && text.size() != 10) return false;
    if (text[4] != '-' || !all_digits(text, 5, 2)) return false;
    return text.size() == 7 || (text[7] == '-' && all_digits(text, 8, 2));
}

std::string year_prefix(const std::string& date) {
    for (const std::size_t length : {std::size_t{10}, std::size_t{7}, std::size_t{4}}) {
        if (date.size() >= length && is_year(date.substr(0, length))) return date.substr(0, length);
    }
    return {};
}

bool is_track(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::string number = text.substr(0, slash);
    if (number.empty() || number.size() > 6 || !all_digits(number, 0, number.size())) return false;
    if (slash == std::string::npos) return true;
    const std::string total = text.substr(slash + 1);
    return !total.empty() && total.size() <= 6 && all_digits(total, 0, total.size());
}

std::vector<unsigned char> id3v2_tag(const Tags& tags) {
    std::vector<unsigned char> frames;
    auto frame = [&frames](const char* id, const std::string& prefix, const std::string& text) {
        if (text.empty()) return;
        frames.insert(frames.end(), id, id + 4);
        put_synchsafe(frames, 1 + prefix.size() + text.size());
        frames.push_back(0);
        frames.push_back(0);
        frames.push_back(3); // UTF-8
        frames.insert(frames.end(), prefix.begin(), prefix.end());
        frames.insert(frames.end(), text.begin(), text.end());
    };
    frame("TIT2", "", tags.title);
    frame("TPE1", "", tags.artist);
    frame("TALB", "", tags.album);
    frame("TDRC", "", tags.year);
    frame("TRCK", "", tags.track);
    frame("TCON", "", tags.genre);
    frame("COMM", std::string("eng\0", 4), tags.comment); // language, empty description
    std::vector<unsigned char> tag = {'I', 'D', '3', 4, 0, 0};
    put_synchsafe(tag, frames.size());
    tag.insert(tag.end(), frames.begin(), frames.end());
    return tag;
}

} // namespace zuvo_tool
