// The tags zuvo-mpa-encode writes: the Tags struct, the checks their texts
// must pass (UTF-8, recording time, track number), the conversions of texts
// read from file headers, and the ID3v2.4 tag written before the first frame.
#pragma once

#include <string>
#include <vector>

namespace zuvo_tool {

struct Tags {
    std::string title, artist, album, year, track, genre, comment;
    bool empty() const;
};

// Every field of `overrides` that is set replaces the one of `base`.
Tags merge_tags(Tags base, const Tags& overrides);

// Well-formed UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool is_utf8(const std::string& text);
// Strings from file headers that are not UTF-8 are taken as Latin-1.
std::string to_utf8(const std::string& text);
// YYYY, YYYY-MM or YYYY-MM-DD: the forms an ID3v2.4 recording time takes.
bool is_year(const std::string& text);
// The longest leading part of a date string that is a recording time, or "".
std::string year_prefix(const std::string& date);
// N or N/TOTAL, up to six digits each.
bool is_track(const std::string& text);

// An ID3v2.4 tag of UTF-8 text frames (and a comment frame), no padding.
std::vector<unsigned char> id3v2_tag(const Tags& tags);

} // namespace zuvo_tool
