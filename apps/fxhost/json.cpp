#include "apps/fxhost/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace fxhost {

std::string JsonWriter::Quote(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += ch;  // UTF-8 passes through
                }
        }
    }
    return out + "\"";
}

void JsonWriter::NewLine() {
    out_ << '\n' << std::string(2 * open_.size(), ' ');
}

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (open_.empty())
        return;
    Container& c = open_.back();
    if (c.inlined) {
        if (c.hasItems)
            out_ << ", ";
    } else {
        if (c.hasItems)
            out_ << ',';
        NewLine();
    }
    c.hasItems = true;
}

JsonWriter& JsonWriter::Open(char bracket) {
    BeforeValue();
    out_ << bracket;
    open_.push_back({});
    return *this;
}

JsonWriter& JsonWriter::BeginInlineArray() {
    Open('[');
    open_.back().inlined = true;
    return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
    const Container c = open_.back();
    open_.pop_back();
    if (c.hasItems && !c.inlined)
        NewLine();
    out_ << bracket;
    if (open_.empty())
        out_ << '\n';
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
    BeforeValue();
    out_ << Quote(name) << ": ";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
    BeforeValue();
    out_ << Quote(text);
    return *this;
}

JsonWriter& JsonWriter::RawNumber(std::string_view number) {
    BeforeValue();
    out_ << number;
    return *this;
}

JsonWriter& JsonWriter::Number(double value) {
    if (!std::isfinite(value))
        return Null();
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return RawNumber(ec == std::errc() ? std::string_view(buf, end - buf) : "0");
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    out_ << (value ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    out_ << "null";
    return *this;
}

}  // namespace fxhost
