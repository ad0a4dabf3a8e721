// The ID3v2.4 tag zuvo-mpa-encode writes, byte for byte (header, frame
// order, synchsafe sizes, the comment's language), and the checks and
// conversions of tag texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "id3_tags.h"

using namespace zuvo_tool;

namespace {

using Bytes = std::vector<unsigned char>;

// A 28-bit size in four bytes of seven bits each; -1 when a top bit is set.
long synchsafe(const unsigned char* p) {
    if ((p[0] | p[1] | p[2] | p[3]) & 0x80) return -1;
    return long{p[0]} << 21 | long{p[1]} << 14 | long{p[2]} << 7 | p[3];
}

TEST(ToolId3Tags, TagLayout) {
    // No frames: the ten-byte header alone.
    EXPECT_EQ(id3v2_tag(Tags{}), (Bytes{'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0}));

    Tags one;
    one.title = "Hi";
    const Bytes frame = {'T', 'I', 'T', '2', 0, 0, 0, 3, 0, 0, 3, 'H', 'i'};
    Bytes expected = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, static_cast<unsigned char>(frame.size())};
    expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(id3v2_tag(one), expected);

    // The comment: UTF-8, language "eng", an empty description.
    Tags comment;
    comment.comment = "c";
    const Bytes with_comment = id3v2_tag(comment);
    EXPECT_EQ(Bytes(with_comment.begin() + 10, with_comment.end()),
              (Bytes{'C', 'O', 'M', 'M', 0, 0, 0, 6, 0, 0, 3, 'e', 'n', 'g', 0, 'c'}));
}

TEST(ToolId3Tags, SizesAreSynchsafeAndFramesInOrder) {
    Tags all;
    all.comment = "5";
    all.genre = "4";
    all.track = "3";
    all.year = "2000";
    all.album = "2";
    all.artist = std::string(200, 'a'); // 201 bytes with the encoding: 0x01 0x49 in 7-bit bytes
    all.title = "1";
    const Bytes tag = id3v2_tag(all);
    ASSERT_EQ(synchsafe(&tag[6]), static_cast<long>(tag.size()) - 10);
    EXPECT_GT(tag[8], 0); // the size spans more than one 7-bit byte
    std::vector<std::string> ids;
    std::size_t at = 10;
    while (at + 10 <= tag.size()) {
        ids.emplace_back(&tag[at], &tag[at] + 4);
        const long size = synchsafe(&tag[at + 4]);
        ASSERT_GE(size, 0) << ids.back();
        if (ids.back() == "TPE1") {
            EXPECT_EQ(Bytes(&tag[at + 4], &tag[at + 8]), (Bytes{0, 0, 1, 0x49}));
        }
        at += 10 + static_cast<std::size_t>(size);
    }
    EXPECT_EQ(at, tag.size());
    EXPECT_EQ(ids, (std::vector<std::string>{"TIT2", "TPE1", "TALB", "TDRC", "TRCK", "TCON", "COMM"}));
}

TEST(ToolId3Tags, TextChecks) {
    const struct {
        const char* text;
        bool utf8;
    } utf8_rows[] = {
        {"", true},
        {"plain", true},
        {"caf\xC3\xA9", true},                 // é
        {"\xE2\x82\xAC", true},                // €
        {"\xF0\x9F\x8E\xB5", true},            // U+1F3B5
        {"caf\xE9", false},                    // Latin-1
        {"\xC3", false},                       // cut short
        {"\xC0\xAF", false},                   // overlong
        {"\xE0\x80\xAF", false},               // overlong
        {"\xED\xA0\x80", false},               // surrogate
        {"\xF4\x90\x80\x80", false},           // past U+10FFFF
        {"\xE2\x28\xA1", false},               // bad continuation
    };
    for (const auto& row : utf8_rows) EXPECT_EQ(is_utf8(row.text), row.utf8) << row.text;

    for (const char* year : {"2024", "2024-05", "2024-05-17"}) EXPECT_TRUE(is_year(year)) << year;
    for (const char* year : {"", "99", "20245", "2024-5", "2024/05", "2024-05-1", "2024-05-17T"})
        EXPECT_FALSE(is_year(year)) << year;
    for (const char* track : {"1", "03/12", "123456/123456"}) EXPECT_TRUE(is_track(track)) << track;
    for (const char* track : {"", "/3", "3/", "2of9", "1234567", "-1", "1/2/3"}) EXPECT_FALSE(is_track(track)) << track;
}

TEST(ToolId3Tags, HeaderTextsBecomeTagTexts) {
    EXPECT_EQ(to_utf8("caf\xE9"), "caf\xC3\xA9");      // Latin-1 to UTF-8
    EXPECT_EQ(to_utf8("caf\xC3\xA9"), "caf\xC3\xA9");  // UTF-8 stays
    EXPECT_EQ(year_prefix("2024-05-17 10:00"), "2024-05-17");
    EXPECT_EQ(year_prefix("2024-05"), "2024-05");
    EXPECT_EQ(year_prefix("1999, live"), "1999");
    EXPECT_EQ(year_prefix("May 1999"), "");

    Tags from_file;
    from_file.title = "file title";
    from_file.year = "1999";
    Tags given;
    given.title = "given";
    given.genre = "rock";
    const Tags merged = merge_tags(from_file, given);
    EXPECT_EQ(merged.title, "given");
    EXPECT_EQ(merged.year, "1999");
    EXPECT_EQ(merged.genre, "rock");
}

} // namespace
