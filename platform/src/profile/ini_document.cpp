// IniDocument: parsing, lookups and line-preserving edits of an INI text.
#include "profile/ini_document.h"

#include <algorithm>

namespace platform::profile {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr size_t npos = static_cast<size_t>(-1);

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

char foldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return foldAscii(x) == foldAscii(y);
           });
}

void appendUnique(std::vector<std::string>& names, const std::string& name) {
    const bool seen = std::any_of(names.begin(), names.end(),
                                  [&](const std::string& n) { return sameName(n, name); });
    if (!seen) {
        names.push_back(name);
    }
}

} // namespace

IniDocument::Line IniDocument::classify(std::string text, std::string eol) {
    Line line;
    const std::string_view body = trim(text);
    if (body.empty()) {
        line.kind = LineKind::Blank;
    } else if (body.front() == ';' || body.front() == '#') {
        line.kind = LineKind::Comment;
    } else if (body.front() == '[' && body.find(']') != std::string_view::npos) {
        line.kind = LineKind::Section;
        line.name = std::string(trim(body.substr(1, body.find(']') - 1)));
    } else if (const size_t eq = body.find('=');
               eq != std::string_view::npos && !trim(body.substr(0, eq)).empty()) {
        line.kind = LineKind::Key;
        line.name = std::string(trim(body.substr(0, eq)));
    } else {
        line.kind = LineKind::Other;
    }
    line.text = std::move(text);
    line.eol = std::move(eol);
    return line;
}

IniDocument IniDocument::parse(std::string_view text) {
    IniDocument doc;
    if (text.substr(0, kBom.size()) == kBom) {
        doc.bom_ = true;
        text.remove_prefix(kBom.size());
    }
    bool sawLineEnding = false;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view content = text.substr(0, nl);
        std::string eol;
        if (nl == std::string_view::npos) {
            text = {};
        } else {
            eol = "\n";
            if (!content.empty() && content.back() == '\r') {
                content.remove_suffix(1);
                eol = "\r\n";
            }
            text.remove_prefix(nl + 1);
        }
        if (!sawLineEnding && !eol.empty()) {
            doc.newline_ = eol;
            sawLineEnding = true;
        }
        doc.lines_.push_back(classify(std::string(content), std::move(eol)));
    }
    return doc;
}

std::string IniDocument::serialise() const {
    std::string out;
    if (bom_) {
        out += kBom;
    }
    for (const Line& line : lines_) {
        out += line.text;
        out += line.eol;
    }
    return out;
}

size_t IniDocument::findSection(std::string_view section) const {
    const std::string_view wanted = trim(section);
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == LineKind::Section && sameName(lines_[i].name, wanted)) {
            return i;
        }
    }
    return npos;
}

size_t IniDocument::sectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != LineKind::Section) {
        ++i;
    }
    return i;
}

size_t IniDocument::findKey(size_t header, std::string_view key) const {
    const std::string_view wanted = trim(key);
    const size_t end = sectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
        if (lines_[i].kind == LineKind::Key && sameName(lines_[i].name, wanted)) {
            return i;
        }
    }
    return npos;
}

std::optional<std::string> IniDocument::value(std::string_view section,
                                              std::string_view key) const {
    const size_t header = findSection(section);
    if (header == npos) {
        return std::nullopt;
    }
    const size_t at = findKey(header, key);
    if (at == npos) {
        return std::nullopt;
    }
    const std::string& text = lines_[at].text;
    std::string_view v = trim(std::string_view(text).substr(text.find('=') + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
    }
    return std::string(v);
}

std::vector<std::string> IniDocument::sectionNames() const {
    std::vector<std::string> names;
    for (const Line& line : lines_) {
        if (line.kind == LineKind::Section) {
            appendUnique(names, line.name);
        }
    }
    return names;
}

std::vector<std::string> IniDocument::keyNames(std::string_view section) const {
    std::vector<std::string> names;
    const size_t header = findSection(section);
    if (header == npos) {
        return names;
    }
    const size_t end = sectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
        if (lines_[i].kind == LineKind::Key) {
            appendUnique(names, lines_[i].name);
        }
    }
    return names;
}

bool IniDocument::setValue(std::string_view section, std::string_view key, std::string_view value) {
    const std::string_view sectionName = trim(section);
    const std::string_view keyName = trim(key);
    size_t header = findSection(sectionName);
    if (header == npos) {
        if (!lines_.empty()) {
            if (lines_.back().eol.empty()) {
                lines_.back().eol = newline_;
            }
            if (lines_.back().kind != LineKind::Blank) {
                lines_.push_back(classify(std::string(), newline_));
            }
        }
        lines_.push_back(classify("[" + std::string(sectionName) + "]", newline_));
        header = lines_.size() - 1;
    }

    if (const size_t at = findKey(header, keyName); at != npos) {
        Line& line = lines_[at];
        std::string text = line.name + "=" + std::string(value);
        if (text == line.text) {
            return false;
        }
        line = classify(std::move(text), line.eol);
        return true;
    }

    // After the last key (or other content) line of the section, else right after the header.
    size_t after = header;
    const size_t end = sectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
        if (lines_[i].kind == LineKind::Key || lines_[i].kind == LineKind::Other) {
            after = i;
        }
    }
    if (lines_[after].eol.empty()) {
        lines_[after].eol = newline_;
    }
    const auto pos = lines_.begin() + static_cast<std::ptrdiff_t>(after + 1);
    lines_.insert(pos, classify(std::string(keyName) + "=" + std::string(value), newline_));
    return true;
}

bool IniDocument::removeKey(std::string_view section, std::string_view key) {
    const size_t header = findSection(section);
    if (header == npos) {
        return false;
    }
    const std::string_view wanted = trim(key);
    bool changed = false;
    for (size_t i = header + 1; i < lines_.size() && lines_[i].kind != LineKind::Section;) {
        if (lines_[i].kind == LineKind::Key && sameName(lines_[i].name, wanted)) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
            changed = true;
        } else {
            ++i;
        }
    }
    return changed;
}

bool IniDocument::removeSection(std::string_view section) {
    bool changed = false;
    for (size_t header = findSection(section); header != npos; header = findSection(section)) {
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
                     lines_.begin() + static_cast<std::ptrdiff_t>(sectionEnd(header)));
        changed = true;
    }
    return changed;
}

} // namespace platform::profile
