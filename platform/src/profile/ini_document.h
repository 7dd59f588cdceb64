// IniDocument: an INI text held line by line, so that an edit changes only what it must.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::profile {

// The model of a settings file that the private-profile functions read and edit.
//
// Every line is kept with its own text and line ending, so serialise() gives back the parsed
// text byte for byte until an edit, and an edit touches only the lines it must. Lines are:
//  - section headers: '[' (after optional blanks), a name, ']'; the name is what lies between
//    '[' and the first ']', blanks trimmed; anything after ']' is ignored;
//  - comments: ';' or '#' as the first non-blank character;
//  - key lines: "key = value"; the key is the text before the first '=', the value the text
//    after it, both with surrounding blanks (spaces, tabs) trimmed; an empty key is not a key;
//  - blank lines, and any other text, kept but never read.
// Lines before the first header belong to no section and are never read. Sections and keys
// match without regard to ASCII case. Where a section name or a key repeats, the first one is
// the one read and written (the later ones are kept as they are).
//
// Who calls: the profile functions, under their own lock; the class itself is not shared.
class IniDocument {
public:
    static IniDocument parse(std::string_view text);

    std::string serialise() const;

    // The value of section/key with one pair of enclosing quotes (single or double) removed,
    // or nothing when the section or key is missing.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    // Section names in file order, each name once (its first spelling).
    std::vector<std::string> sectionNames() const;
    // Key names of the section in file order, each once; empty when the section is missing.
    std::vector<std::string> keyNames(std::string_view section) const;

    // Edits. Each returns whether the text changed. Names and values must already have been
    // checked not to break the structure (no line breaks, no '=' in a key, no ']' in a
    // section name).
    //
    // Sets section/key to `value`: an existing key line becomes "key=value" with the key's
    // spelling and line ending kept; a new key goes after the last key line of its section
    // (before the section's trailing blank lines and comments); a new section goes at the end,
    // after a blank line.
    bool setValue(std::string_view section, std::string_view key, std::string_view value);
    // Removes every line of the key in its section.
    bool removeKey(std::string_view section, std::string_view key);
    // Removes every section of that name: header and lines up to the next header.
    bool removeSection(std::string_view section);

private:
    enum class LineKind { Blank, Comment, Section, Key, Other };

    struct Line {
        std::string text; // without its line ending
        std::string eol;  // "\n", "\r\n" or "" (the last line of a file without a final one)
        LineKind kind = LineKind::Other;
        std::string name; // section name or key, trimmed; empty for other kinds
    };

    static Line classify(std::string text, std::string eol);
    // Index of the first header of `section`, or npos.
    size_t findSection(std::string_view section) const;
    // One past the last line of the section whose header is at `header`.
    size_t sectionEnd(size_t header) const;
    // Index of the first line of `key` in the section at `header`, or npos.
    size_t findKey(size_t header, std::string_view key) const;

    bool bom_ = false;           // a UTF-8 byte-order mark opened the text
    std::string newline_ = "\n"; // for new lines: the file's first line ending, else "\n"
    std::vector<Line> lines_;
};

} // namespace platform::profile
