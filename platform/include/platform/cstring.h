// CString: the narrow (UTF-8) string class the system's interfaces pass by value.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

class CString {
public:
    CString() = default;
    CString(const char* text) : s_(text ? text : "") {}
    CString(const char* text, int length)
        : s_(text ? std::string(text, clampLength(length)) : "") {}
    CString(std::string text) : s_(std::move(text)) {}
    CString(std::string_view text) : s_(text) {}

    CString& operator=(const char* text) {
        s_ = text ? text : "";
        return *this;
    }
    CString& operator+=(const CString& other) {
        s_ += other.s_;
        return *this;
    }
    CString& operator+=(const char* text) {
        if (text)
            s_ += text;
        return *this;
    }
    CString& operator+=(char c) {
        s_ += c;
        return *this;
    }

    int GetLength() const { return static_cast<int>(s_.size()); }
    bool IsEmpty() const { return s_.empty(); }
    void Empty() { s_.clear(); }
    const char* GetString() const { return s_.c_str(); }
    operator const char*() const { return s_.c_str(); }
    char GetAt(int index) const { return s_.at(static_cast<size_t>(index)); }
    const std::string& str() const { return s_; }

    int Compare(const char* other) const { return std::strcmp(s_.c_str(), other ? other : ""); }

    CString Left(int count) const { return s_.substr(0, clampLength(count)); }
    CString Mid(int first) const {
        return first >= GetLength() ? CString() : s_.substr(clampLength(first));
    }
    CString Mid(int first, int count) const {
        return first >= GetLength() ? CString() : s_.substr(clampLength(first), clampLength(count));
    }
    CString Right(int count) const {
        const size_t n = std::min(clampLength(count), s_.size());
        return s_.substr(s_.size() - n);
    }
    int Find(char c, int start = 0) const { return toIndex(s_.find(c, clampLength(start))); }
    int Find(const char* sub, int start = 0) const {
        return toIndex(s_.find(sub ? sub : "", clampLength(start)));
    }
    int ReverseFind(char c) const { return toIndex(s_.rfind(c)); }

    CString& TrimLeft() {
        s_.erase(0, s_.find_first_not_of(" \t\r\n"));
        return *this;
    }
    CString& TrimRight() {
        s_.erase(s_.find_last_not_of(" \t\r\n") + 1);
        return *this;
    }
    CString& Trim() { return TrimRight().TrimLeft(); }

    // printf-style formatting; the result replaces the contents.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        FormatV(format, args);
        va_end(args);
    }
    void FormatV(const char* format, va_list args) {
        va_list copy;
        va_copy(copy, args);
        const int needed = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (needed < 0) {
            s_.clear();
            return;
        }
        s_.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(s_.data(), s_.size(), format, args);
        s_.resize(static_cast<size_t>(needed));
    }

    friend CString operator+(const CString& a, const CString& b) { return CString(a.s_ + b.s_); }
    friend CString operator+(const CString& a, const char* b) {
        return CString(a.s_ + (b ? b : ""));
    }
    friend CString operator+(const char* a, const CString& b) {
        return CString((a ? a : "") + b.s_);
    }
    friend bool operator==(const CString& a, const CString& b) { return a.s_ == b.s_; }
    friend bool operator==(const CString& a, const char* b) { return a.s_ == (b ? b : ""); }

private:
    static size_t clampLength(int n) { return n < 0 ? 0 : static_cast<size_t>(n); }
    static int toIndex(size_t pos) { return pos == std::string::npos ? -1 : static_cast<int>(pos); }

    std::string s_;
};
